"""``halvex scoreboard DB -o DOC.json``: the scoreboard document of a fact database, the input
of ``halvex render``.

    halvex scoreboard facts.duckdb -o run/json/scoreboard.json [--risk-periods 3]
                      [--rd-column nakdi_risk] [--title TEXT]

Written atomically (UTF-8 JSON); prints the borrowers, periods and where the file is.
"""

from __future__ import annotations

import argparse

from halvex._output import check_output_path, refuse_input
from halvex._progress import Progress
from halvex.commands import _arguments as arg
from halvex.commands._support import whole_number
from halvex.commands.features import check_database, database_errors


def register(subparsers) -> None:
    p = arg.command(subparsers, "scoreboard", run,
                    help="build the scoreboard document (JSON) from a DuckDB fact database",
                    description="Build the scoreboard document that `halvex render` reads from the "
                                "fact_periodic, dim_entity and (when present) fact_findings tables "
                                "of a DuckDB file (opened read-only).")
    arg.database(p)
    arg.output(p, "the document's JSON file", required=True)
    p.add_argument("--risk-periods", type=whole_number(0), default=3,
                   help="the last N periods carry risk amounts (default 3)")
    arg.document_text(p, "the page's title")


def run(args: argparse.Namespace) -> int:
    from halvex.scoreboard import DEFAULT_TITLE, build_scoreboard

    check_output_path(args.output)
    check_database(args.db)
    refuse_input(args.output, {"the database": args.db})
    with database_errors(args.db), Progress("scoreboard", "building the document"):
        done = build_scoreboard(args.db, args.output, risk_periods=args.risk_periods,
                                rd_column=args.rd_column, title=args.title or DEFAULT_TITLE)
    print(f"  Skorkart: {done['rows']} firma, {done['periods']} dönem (son: {done['latest']})")
    print(f"  Written: {done['path']}")
    return 0
