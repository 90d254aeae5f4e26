"""Peak memory of ``halvex features DB -o OUT.parquet`` against the size of the fact table.

    .venv/bin/python benchmarks/bench_partitions.py [--entities 250000,1000000,2500000]
                                                    [--periods 12] [--dir build/bench-partitions]

For each entity count a gap-free sample database (entities x periods fact rows, a
diagnostic file for 30% of them) is generated once into --dir and reused; the command then
runs once under ``/usr/bin/time -v``, which reports the process's peak resident size and
wall time. Large tables are built in entity partitions (halvex.ml.partitions), so the peak
should stay flat as the table grows. ``--partition-rows`` sets HALVEX_PARTITION_ROWS.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
HALVEX = Path(sys.executable).with_name("halvex")


def database(folder: Path, entities: int, periods: int) -> Path:
    db = folder / f"e{entities}_p{periods}" / "facts.duckdb"
    if not db.exists():
        t0 = time.perf_counter()
        # A child of its own: the generator's arrays do not stay in this process.
        subprocess.run([sys.executable, "-c",
                        "import sys; from halvex.sample.facts_db import write_sample_db; "
                        "write_sample_db(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), seed=1, gap_rate=0)",
                        str(db), str(entities), str(periods)], check=True)
        print(f"generated {db} in {time.perf_counter() - t0:.0f} s", file=sys.stderr)
    return db


def measure(db: Path, partition_rows: int | None) -> dict:
    out = db.with_name("features.parquet")
    env = dict(os.environ)
    if partition_rows:
        env["HALVEX_PARTITION_ROWS"] = str(partition_rows)
    run = subprocess.run(["/usr/bin/time", "-v", str(HALVEX), "features", str(db), "-o", str(out)],
                         env=env, capture_output=True, text=True)
    if run.returncode != 0:
        raise SystemExit(run.stdout + run.stderr)
    peak_kb = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", run.stderr).group(1))
    wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", run.stderr).group(1)
    seconds = sum(float(x) * 60 ** i for i, x in enumerate(reversed(wall.split(":"))))
    rows = int(re.search(r"Written: .* \((\d+) rows", run.stdout).group(1))
    return {"fact_db": str(db), "output_rows": rows, "peak_rss_mib": round(peak_kb / 1024),
            "seconds": round(seconds, 1), "output_mib": round(out.stat().st_size / 2**20)}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--entities", default="250000,1000000,2500000")
    ap.add_argument("--periods", type=int, default=12)
    ap.add_argument("--dir", type=Path, default=HERE.parent / "build" / "bench-partitions")
    ap.add_argument("--partition-rows", type=int, default=None)
    args = ap.parse_args()
    for entities in (int(e) for e in args.entities.split(",")):
        db = database(args.dir, entities, args.periods)
        result = {"fact_rows": entities * args.periods, **measure(db, args.partition_rows)}
        print(json.dumps(result), flush=True)


if __name__ == "__main__":
    main()
