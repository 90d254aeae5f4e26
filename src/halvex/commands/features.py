"""``halvex features DB``: build the YI model's feature matrix from a fact database.

    halvex features facts.duckdb [--horizon N] [-o features.parquet | -o features.csv]

Prints the feature builder's summary lines; with ``-o`` writes the matrix (Parquet or CSV,
by the file's suffix) through the package's atomic writer: a temporary file beside the
target, renamed into place when complete.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
from pathlib import Path

from halvex._output import atomic_output, check_output_path
from halvex._progress import Progress
from halvex.commands._support import writes_to_stdout

_WRITERS = {".parquet": "parquet", ".csv": "csv"}


def register(subparsers) -> None:
    p = subparsers.add_parser(
        "features", help="build the YI model feature matrix from a DuckDB fact database",
        description="Build the feature matrix of the close-monitoring (YI) model from the "
                    "fact_periodic and dim_entity tables of a DuckDB file (opened read-only).")
    p.add_argument("db", type=Path, help="DuckDB database file")
    p.add_argument("--horizon", type=int, default=3,
                   help="periods ahead in which a YI score sets the label (default 3)")
    p.add_argument("-o", "--output", default=None,
                   help="write the matrix to this .parquet or .csv file")
    p.set_defaults(func=run)


def write_matrix(frame, target) -> Path:
    kind = _WRITERS.get(Path(target).suffix.lower())
    if kind is None:
        raise ValueError(f"output must end in .parquet or .csv, not {Path(target).name!r}")
    if kind == "parquet":
        with atomic_output(target, "wb") as fh:
            frame.to_parquet(fh, index=False)
    else:
        with atomic_output(target, newline="") as fh:
            frame.to_csv(fh, index=False)
    return Path(target)


def run(args: argparse.Namespace) -> int:
    # Checked first, so a bad name costs no feature build.
    if args.output is not None:
        check_output_path(args.output)
        if Path(args.output).suffix.lower() not in _WRITERS:
            raise ValueError(f"output must end in .parquet or .csv, not {Path(args.output).name!r}")
    if not args.db.exists():
        raise FileNotFoundError(f"no database at {args.db}")
    from halvex.ml.features import build_features

    # A matrix streamed to standard output (a link to it named .csv) gets no summary lines.
    to_stdout = args.output is not None and writes_to_stdout(args.output)
    sys.stdout.flush()
    with contextlib.redirect_stdout(sys.stderr if to_stdout else sys.stdout), \
            Progress("features", "building features") as progress:
        frame = build_features(args.db, args.horizon)
        if args.output is not None:
            progress.stage(f"writing {Path(args.output).name}")
            write_matrix(frame, args.output)
            print(f"  Written: {args.output} ({len(frame)} rows, {len(frame.columns)} columns)")
    return 0
