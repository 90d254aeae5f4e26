"""A/B timing of the installed halvex against another build of it, interleaved.

    .venv/bin/python benchmarks/ab_compare.py --baseline DIR --db FACTS.duckdb --doc SCOREBOARD.json
        [--rounds 5] [--cases features render v300 scoreboard]

DIR holds another build's ``halvex`` package (``pip install --no-deps --target DIR <checkout>``).
Each round runs every case once with each build, in fresh processes, the builds' order
alternating from round to round, so a busy spell of the shared machine falls on both alike.
Printed per case: the median wall time, CPU time and peak memory above the start of each
build, and the ratio of the medians (installed / baseline).
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from _measure import run_case  # noqa: E402

CASES = {
    "features": "from halvex.ml.features import build_features\n"
                "with contextlib.redirect_stdout(io.StringIO()):\n"
                "    begin(); m = build_features(DB); end()",
    "render": "from halvex.pipeline.vitrum import render_html\n"
              "begin(); render_html(DOC, os.path.join(OUT, 'page.html')); end()",
    "v300": "from halvex.pipeline.vitrum import render_html_v300\n"
            "begin(); render_html_v300(DOC, os.path.join(OUT, 'v300.html')); end()",
    "scoreboard": "from halvex.scoreboard import build_scoreboard\n"
                  "begin(); build_scoreboard(DB, os.path.join(OUT, 'scoreboard.json')); end()",
}


def _measure(code: str, baseline: Path | None) -> dict:
    saved = os.environ.get("PYTHONPATH")
    if baseline is not None:
        os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(baseline), saved]))
    try:
        return run_case(code)
    finally:
        if saved is None:
            os.environ.pop("PYTHONPATH", None)
        else:
            os.environ["PYTHONPATH"] = saved


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--baseline", type=Path, required=True, help="folder holding the other build's halvex")
    ap.add_argument("--db", required=True, help="fact database for the features and scoreboard cases")
    ap.add_argument("--doc", required=True, help="scoreboard document for the render cases")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--cases", nargs="*", default=list(CASES), choices=list(CASES))
    args = ap.parse_args()
    if not (args.baseline / "halvex").is_dir():
        ap.error(f"no halvex package in {args.baseline}")

    with tempfile.TemporaryDirectory(prefix="halvex-ab-") as out:
        prelude = (f"import halvex.ml._sources\nDB = {args.db!r}\nDOC = {args.doc!r}\n"
                   f"OUT = {out!r}\n")
        runs = {(case, side): [] for case in args.cases for side in ("installed", "baseline")}
        for r in range(args.rounds):
            for case in args.cases:
                order = ("installed", "baseline") if r % 2 == 0 else ("baseline", "installed")
                for side in order:
                    result = _measure(prelude + CASES[case], args.baseline if side == "baseline" else None)
                    runs[case, side].append(result)
                    print(f"round {r + 1} {case:<10} {side:<9} {result['elapsed']:7.2f} s", flush=True)

    print(f"\nmedians of {args.rounds} interleaved rounds (installed / baseline)")
    for case in args.cases:
        med = {side: {k: statistics.median(x[k] for x in runs[case, side]) for k in ("elapsed", "cpu", "extra_mb")}
               for side in ("installed", "baseline")}
        a, b = med["installed"], med["baseline"]
        print(f"{case:<10} wall {a['elapsed']:6.2f} / {b['elapsed']:6.2f} s ({a['elapsed'] / b['elapsed']:.3f})"
              f"  cpu {a['cpu']:6.2f} / {b['cpu']:6.2f} s  peak {a['extra_mb']:6.0f} / {b['extra_mb']:6.0f} MiB")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
