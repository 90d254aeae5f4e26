"""The ``halvex`` command line: one sub-command per module of ``halvex.commands``."""

from __future__ import annotations

import argparse
import importlib
import os
import sys

from halvex._interrupt import exit_status

# Each module defines register(subparsers), which adds its parser and sets ``func``.
_COMMAND_MODULES = ("render", "features", "trending", "demo")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
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
    # A NUL cannot be in a path; the C++ side would see the path cut short at it.
    for name, value in vars(args).items():
        if isinstance(value, (str, os.PathLike)) and "\0" in os.fspath(value):
            raise ValueError(f"embedded null byte in {name}")


@exit_status
def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        _check_paths(args)
        result = args.func(args)
    except (OSError, ValueError, TypeError, KeyError) as exc:
        print(f"halvex {args.command}: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1
    return int(result or 0)


if __name__ == "__main__":
    sys.exit(main())
