"""``halvex run DB -o OUT``: the whole night, from the facts to the pages (halvex.nightly).

    halvex run facts.duckdb -o runs/ [--model MODEL_DIR] [--strict] [--horizon 3]
               [--origins 6] [--max-borrower-drop 0.10] [--rd-column COL] [--title TEXT]

Publishes runs/<period>/ whole and points runs/latest at it; prints a short summary. A gate
that fails under --strict ends the run with status 3 and publishes nothing.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from halvex._progress import Progress
from halvex.commands import _arguments as arg
from halvex.commands.features import check_database, database_errors

# Not bad input nor a fault: the data was read and failed a check before publishing.
EXIT_GATE = 3


def _share(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be a share from 0 to 1, not {text}")
    return value


def register(subparsers) -> None:
    from halvex.nightly import DEFAULT_MAX_BORROWER_DROP

    p = arg.command(subparsers, "run", run,
                    help="the nightly run: features, model, document and pages in one folder",
                    description="Build the features of a DuckDB fact database, back-test and train "
                                "the close-monitoring model (or score with a saved one), build the "
                                "scoreboard document and render its pages into OUT/<period>/, then "
                                "point OUT/latest at it.")
    arg.database(p)
    arg.output(p, "folder of the run folders", required=True, type=Path)
    p.add_argument("--model", type=Path, help="saved model folder to score with (default: train "
                                              "tonight's model, not validated)")
    p.add_argument("--strict", action="store_true",
                   help=f"a failed gate ends the run (status {EXIT_GATE}) instead of a warning")
    arg.horizon(p, None, "default 3, or the saved model's")
    arg.origins(p, 0, 6, help="back-test origins, with a saved model too (default 6; 0: no back-test, "
                              "no caught / missed marks)")
    p.add_argument("--max-borrower-drop", type=_share, default=DEFAULT_MAX_BORROWER_DROP,
                   help="a fall in borrowers against the last run beyond this share fails its "
                        f"gate (default {DEFAULT_MAX_BORROWER_DROP:g})")
    arg.document_text(p, "the pages' title")
    arg.keep_first(p)


def run(args: argparse.Namespace) -> int:
    from halvex.nightly import GateFailure, run_night

    check_database(args.db)
    try:
        with database_errors(args.db), Progress("run", "starting") as progress:
            result = run_night(args.db, args.output, model_dir=args.model, strict=args.strict,
                               horizon=args.horizon, origins=args.origins,
                               max_borrower_drop=args.max_borrower_drop, rd_column=args.rd_column,
                               title=args.title, keep_first=args.keep_first, progress=progress.stage)
    except GateFailure as exc:
        print(f"halvex run: gate failed, nothing published: {exc}", file=sys.stderr)
        return EXIT_GATE
    for line in result.summary:
        print(f"  {line}")
    return 0
