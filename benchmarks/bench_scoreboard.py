"""Benchmark of the scoreboard document against the feature build on the same database.

    .venv/bin/python benchmarks/bench_scoreboard.py [--entities 200000] [--periods 12] [--repeat 3]
        [--cases scoreboard-file,build_features]

Times, each in a fresh process (its peak memory above the size it had before the call is its
own): ``scoreboard-file`` (build_scoreboard writing the JSON file), ``scoreboard-dict``
(the document returned as a dict, json.loads of its text included) and ``build_features``
(the feature matrix as a DataFrame). The database (sample data with its diagnostic file, gaps
included) is written once under --dir and reused. The cases run in turn --repeat times
(interleaved: a busy spell of the machine falls on all of them alike); each case's median
wall time, CPU time and peak memory are shown.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from _measure import ensure_facts_db, run_case  # noqa: E402

CASES = {
    "scoreboard-file": "from halvex.scoreboard import build_scoreboard\n"
                       "begin(); build_scoreboard(DB, OUT); end()",
    "scoreboard-dict": "from halvex.scoreboard import build_scoreboard\n"
                       "begin(); doc = build_scoreboard(DB); end()",
    "build_features": "from halvex.ml.features import build_features\n"
                      "with contextlib.redirect_stdout(io.StringIO()):\n"
                      "    begin(); m = build_features(DB); end()",
}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--entities", type=int, default=200_000)
    ap.add_argument("--periods", type=int, default=12)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--dir", default="/tmp/halvex-bench-scoreboard")
    ap.add_argument("--cases", default=",".join(CASES),
                    help="comma-separated cases to run (default: all)")
    args = ap.parse_args()
    names = [n for n in args.cases.split(",") if n]
    if not set(names) <= set(CASES) or not {"scoreboard-file", "build_features"} <= set(names):
        ap.error(f"--cases: among {', '.join(CASES)}, with scoreboard-file and build_features (compared)")
    cases = {name: CASES[name] for name in names}

    folder = Path(args.dir) / f"db_{args.entities}x{args.periods}"
    db = ensure_facts_db(folder, args.entities, args.periods)
    out = folder / "scoreboard.json"
    # DuckDB, pyarrow and pandas are imported before the call in every case alike.
    prelude = f"import halvex.ml._sources\nDB = {str(db)!r}\nOUT = {str(out)!r}\n"
    runs: dict[str, list[dict]] = {name: [] for name in cases}
    for _ in range(args.repeat):
        for name, code in cases.items():
            runs[name].append(run_case(prelude + code))
    med = {name: {k: statistics.median(r[k] for r in rs) for k in ("elapsed", "cpu", "extra_mb")}
           for name, rs in runs.items()}
    print(f"{args.entities:,} borrowers x {args.periods} periods, median of {args.repeat} "
          f"(load average {os.getloadavg()[0]:.1f}):")
    for name, m in med.items():
        fastest = min(r["elapsed"] for r in runs[name])
        print(f"  {name:16s} wall {m['elapsed']:6.2f} s (fastest {fastest:5.2f})   CPU {m['cpu']:6.2f} s   "
              f"peak +{m['extra_mb']:5.0f} MiB")
    if out.exists():
        print(f"  document file: {os.path.getsize(out) / 2**20:.0f} MiB")
    for what, key in (("wall", "elapsed"), ("CPU", "cpu")):
        ratio = med["scoreboard-file"][key] / med["build_features"][key]
        print(f"  scoreboard-file / build_features, {what}: {ratio:.2f} (target: at most 1.00)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
