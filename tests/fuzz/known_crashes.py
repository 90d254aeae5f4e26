"""Minimal reproducers of the crashes the conversion fuzzer found, each run in a child process.

Prints, for each, whether it still crashes (a signal), raises a Python exception, or returns;
exits 1 while any still crashes. Run it after a change to the bindings' conversions:

    .venv/bin/python tests/fuzz/known_crashes.py

Two kinds: unbounded recursion in the conversion of Python values (no cycle check, no depth
limit), where CPython's json raises ValueError("Circular reference detected") or
RecursionError; and objects used after a hook freed them (the items of a list emptied by an
item's __str__ / __repr__, the rows of a document emptied by the rows' __iter__).
"""

from __future__ import annotations

import signal
import subprocess
import sys

SETUP = """
import atexit, os, shutil, tempfile
from halvex.pipeline import vitrum as v
cyc = []; cyc.append(cyc)
cyd = {}; cyd["1"] = cyd
deep = 1
for _ in range(200_000): deep = [deep]
out_dir = tempfile.mkdtemp()
atexit.register(shutil.rmtree, out_dir, True)
out = os.path.join(out_dir, "page.html")
doc = lambda **kw: {"meta": {"donemler": ["2025-01"]}, "rows": [{"muta": 1, **kw}]}
victim = []
class Clears:  # empties `victim` while it is being converted
    def __repr__(self):
        victim.clear()
        return "h"
    __str__ = __repr__
victim.extend([Clears(), "x" * 30, True])
class EmptiesDoc(list):  # rows whose iteration empties the document that holds them
    def __iter__(self):
        target.clear()
        return list.__iter__(self)
target = {"meta": {"donemler": ["2025-01"]}}
target["rows"] = EmptiesDoc([{"muta": 1}, {"muta": 2}])
"""

CASES = {
    "_mio of a list holding itself": "v._mio(cyc)",
    "_mio of a list nested 200000 deep": "v._mio(deep)",
    "_row_to_array with a member nested 200000 deep": "v._row_to_array({'unvan': deep}, [], [], {}, {})",
    "_row_to_array_v300 with a cyclic member": "v._row_to_array_v300({'unvan': cyc}, [], [])",
    "_slim_diag_index of a dict holding itself": "v._slim_diag_index(cyd)",
    "_build_trending_html with a cyclic list": "v._build_trending_html({'regime_change': cyc})",
    "_build_trending_html with a cyclic row member": "v._build_trending_html({'regime_change': [{'unvan': cyc}]})",
    "_build_bolge_sube_maps with a cyclic region code": "v._build_bolge_sube_maps([{'bolge_kodu': cyc}], None)",
    "render_html with a cyclic row member": "v.render_html(doc(unvan=cyc), output_html=out)",
    "render_html with cyclic extra_data": "v.render_html(doc(), output_html=out, extra_data={'page_mode': 'admin', 'ml_predictions': cyc})",
    # A hook that frees what the conversion still holds borrowed (use after free).
    "_slim_diag_index of a list emptied by an item's __str__": "v._slim_diag_index(victim)",
    "_build_trending_html of a list emptied by an item's __str__": "v._build_trending_html({'regime_change': victim})",
    "render_html of a document emptied by its rows' __iter__": "v.render_html(target, output_html=out)",
}


def main() -> int:
    crashing = 0
    for name, call in CASES.items():
        proc = subprocess.run([sys.executable, "-c", SETUP + call], stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=300)
        if proc.returncode < 0:
            crashing += 1
            outcome = f"CRASH ({signal.Signals(-proc.returncode).name})"
        elif proc.returncode:
            last = proc.stderr.decode("utf-8", "replace").strip().splitlines()[-1:]
            outcome = f"raises: {last[0][:100] if last else proc.returncode}"
        else:
            outcome = "returns"
        print(f"{outcome:60s} {name}: {call}")
    print(f"{crashing} of {len(CASES)} still crash")
    return 1 if crashing else 0


if __name__ == "__main__":
    sys.exit(main())
