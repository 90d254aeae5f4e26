"""The file-reading render paths alone (render_html and render_html_v300 from a document
file), each repeated in fresh processes; reports the best and median time and the peak extra
memory, to compare a change of the reading layer against the build before it.

    .venv/bin/python benchmarks/bench_file_paths.py [--rows 200000] [--repeat 5] [--out bench_out]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _measure import ensure_document, run_case  # noqa: E402

# Wall time on a shared machine says little; the CPU time of all the call's threads is kept too.
CASES = {
    "render_html, from file": """
from halvex.pipeline.vitrum import render_html
with contextlib.redirect_stdout(io.StringIO()):
    c0 = time.process_time(); begin(); r = render_html({doc_path!r}, output_html={out!r} + '/file.html'); end()
extra = dict(cpu=time.process_time() - c0)
""",
    "render_html_v300": """
from halvex.pipeline.vitrum import render_html_v300
with contextlib.redirect_stdout(io.StringIO()):
    c0 = time.process_time(); begin(); r = render_html_v300({doc_path!r}, output_html={out!r} + '/v300.html'); end()
extra = dict(cpu=time.process_time() - c0)
""",
}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=200_000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--out", default="bench_out")
    args = ap.parse_args()
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    doc_path = ensure_document(out, args.rows)
    print(f"document file: {os.path.getsize(doc_path) / 2**20:.1f} MB, {args.rows:,} rows")
    for name, body in CASES.items():
        code = body.format(out=out, doc_path=doc_path)
        times, cpus, mems = [], [], []
        for _ in range(args.repeat):
            r = run_case(code)
            times.append(r["elapsed"])
            cpus.append(r["extra"]["cpu"])
            mems.append(r["extra_mb"])
        print(f"{name:24s} wall best {min(times):6.3f} s median {statistics.median(times):6.3f} s  "
              f"cpu best {min(cpus):6.3f} s median {statistics.median(cpus):6.3f} s  "
              f"extra memory {max(mems):7.1f} MB", flush=True)


if __name__ == "__main__":
    main()
