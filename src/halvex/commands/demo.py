"""``halvex demo``: the nightly run (``halvex run``) on the sample fact database.

    DIR/facts/facts.duckdb            sample facts (24 periods, close monitoring with a hazard)
    DIR/facts/cache/                  their diagnostic file
    DIR/runs/<period>/                the run folder: document, pages, model, back-test
    DIR/runs/latest                   link to it
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from halvex._progress import Progress
from halvex.commands import _arguments as arg
from halvex.commands._support import whole_number

DEFAULT_ROWS = 2000
# The sample generator holds every fact row in memory a few times over.
MAX_ROWS = 100_000_000
DEFAULT_OUT = "demo_out"
SAMPLE_PERIODS = 24


def register(subparsers) -> None:
    p = arg.command(subparsers, "demo", run, help="run the nightly run on sample data",
                    description="Write a sample fact database and run `halvex run` on it: features, "
                                "model back-test, scoreboard document and the dashboard pages.")
    p.add_argument("--rows", type=whole_number(0, MAX_ROWS), default=DEFAULT_ROWS,
                   help=f"number of sample borrowers (default {DEFAULT_ROWS})")
    p.add_argument("--out", type=Path, default=Path(DEFAULT_OUT),
                   help=f"output folder (default {DEFAULT_OUT})")
    p.add_argument("--seed", type=whole_number(0, None), default=0, help="seed of the sample data (default 0)")


def run(args: argparse.Namespace) -> int:
    from halvex.nightly import run_night
    from halvex.sample.facts_db import write_sample_db

    with Progress("demo", "writing the sample database") as progress:
        db = write_sample_db(args.out / "facts" / "facts.duckdb", n_entities=args.rows,
                             n_periods=SAMPLE_PERIODS, seed=args.seed)
        print(f"Örnek veri: {args.rows} firma, {SAMPLE_PERIODS} dönem: {db}")
        result = run_night(db, args.out / "runs", progress=progress.stage)
    m, files = result.manifest, result.manifest["files"]
    auc = m["auc"]
    print(f"AUC model {_auc(auc['model'])}, yalnız mevcut skor {_auc(auc['score_alone'])} "
          f"(geri test, {m['model'].get('note', '')})")
    print("Sayfalar:")
    for name in ("page", "admin_page", "v300_page", "report_page"):
        if name in files:
            print(f"  {Path(result.folder) / files[name]}")
    print("Çalıştırma:")
    for line in result.summary:
        print(f"  {line}")
    sys.stdout.flush()
    return 0


def _auc(value) -> str:
    return "tanımsız" if value is None else f"{value:.3f}"
