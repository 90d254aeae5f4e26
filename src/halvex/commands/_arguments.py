"""Arguments that several sub-commands take, declared once: the same flag has the same type,
bounds and wording wherever it appears."""

from __future__ import annotations

from pathlib import Path

from halvex.commands._support import whole_number

# Far beyond any history a bank keeps; the feature builder counts the horizon in an int.
MAX_HORIZON = 10_000


def command(subparsers, name: str, run, help: str, description: str):
    """A sub-command's (or an action's) parser, with the function that runs it."""
    p = subparsers.add_parser(name, help=help, description=description)
    p.set_defaults(func=run)
    return p


def database(p) -> None:
    p.add_argument("db", type=Path, help="DuckDB database file")


def keep_first(p) -> None:
    p.add_argument("--keep-first", action="store_true",
                   help="keep the first of repeated (entity_id, donem) rows instead of refusing them")


def horizon(p, default: int | None, default_text: str) -> None:
    p.add_argument("--horizon", type=whole_number(1, MAX_HORIZON), default=default,
                   help=f"periods ahead in which a YI score sets the label ({default_text})")


def origins(p, low: int, default: int, help: str) -> None:
    p.add_argument("--origins", type=whole_number(low, None), default=default, help=help)


def output(p, help: str, **options) -> None:
    p.add_argument("-o", "--output", help=help, **options)


def model_folder(p) -> None:
    p.add_argument("--model", required=True, type=Path, help="model folder of `halvex model train`")


def document_text(p, title_help: str) -> None:
    """The scoreboard document's second risk series and title."""
    p.add_argument("--rd-column", help="fact_periodic column of the second risk series (rd)")
    p.add_argument("--title", help=title_help)
