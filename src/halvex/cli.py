"""The ``halvex`` command line: one sub-command per module of ``halvex.commands``.

Exit statuses (README: Exit statuses): 0 success; 2 bad arguments or bad input the user can
fix; 1 an unexpected failure; 130 / 143 after SIGINT / SIGTERM (halvex._interrupt). Every
failure is one line on standard error, never a traceback.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys

from halvex._interrupt import check_pending, exit_status, interrupt_in
from halvex._output import check_path_text
from halvex.commands._support import EXIT_BAD_INPUT, EXIT_FAILURE

# Each module defines register(subparsers), which adds its parser and sets ``func``.
_COMMAND_MODULES = ("render", "features", "scoreboard", "trending", "demo", "model", "run")

# What bad input raises: files that are missing, unreadable or of the wrong kind (OSError), and
# values that cannot be used (UnicodeDecodeError and json.JSONDecodeError are ValueErrors;
# RecursionError is a document nested past the reader's depth limit). Memory is not among
# them: a build refused before it runs out (MemoryError) is status 1 like any other shortage.
_BAD_INPUT = (OSError, ValueError, TypeError, KeyError, OverflowError, RecursionError)


class _Parser(argparse.ArgumentParser):
    """Argument errors in one line, with the exit status of bad input."""

    def error(self, message: str):
        self.exit(EXIT_BAD_INPUT, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="halvex",
        description="Early-warning scoreboard: dashboard pages and YI model features.",
    )
    subparsers = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name in _COMMAND_MODULES:
        try:
            module = importlib.import_module(f"halvex.commands.{name}")
        except ModuleNotFoundError as exc:
            if exc.name != f"halvex.commands.{name}":
                raise
            continue
        module.register(subparsers)
    return parser


def _check_paths(args: argparse.Namespace) -> None:
    for name, value in vars(args).items():
        if isinstance(value, (str, os.PathLike)):
            check_path_text(os.fspath(value), name)


def _one_line(exc: BaseException) -> str:
    """The error's kind and the first line of its message (DuckDB's run on for many lines)."""
    lines = str(exc).strip().splitlines()
    return f"{type(exc).__name__}: {lines[0]}" if lines else type(exc).__name__


def _stopped_by_signal(exc: BaseException) -> None:
    """Raises the signal's own exception when `exc` is what a library made of it (DuckDB's
    "Query interrupted", the ImportError of an interrupted import), so the run ends as
    interrupted rather than as a failure of its own."""
    check_pending()
    stop = interrupt_in(exc)
    if stop is not None:
        raise stop


@exit_status
def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    # A command with actions of its own (``model train``) names the action too.
    name = " ".join(filter(None, (args.command, getattr(args, "action", None))))
    try:
        _check_paths(args)
        result = args.func(args)
    except _BAD_INPUT as exc:
        _stopped_by_signal(exc)
        print(f"halvex {name}: {_one_line(exc)}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except Exception as exc:  # noqa: BLE001 - one line instead of a traceback
        _stopped_by_signal(exc)
        print(f"halvex {name}: internal error: {_one_line(exc)}", file=sys.stderr)
        return EXIT_FAILURE
    return int(result or 0)


if __name__ == "__main__":
    sys.exit(main())
