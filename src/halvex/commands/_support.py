"""Helpers shared by the sub-commands: the renderer module and output files."""

from __future__ import annotations

import argparse
import functools
import importlib
import io
import math
import os
import sys
from pathlib import Path

from halvex._interrupt import interrupt_in
from halvex._output import write_text

RENDERER_MODULE = "halvex.pipeline.vitrum"
# Exit statuses besides 0 (README: Exit statuses): an unexpected failure, and bad arguments
# or bad input the user can fix.
EXIT_FAILURE = 1
EXIT_BAD_INPUT = 2
# The largest count the C++ side takes (a signed 64-bit integer).
MAX_COUNT = 2 ** 63 - 1


def whole_number(low: int, high: int | None = MAX_COUNT):
    """An argparse type: a whole number from low to high (None: no bound), refused at parse
    time otherwise."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < low or (high is not None and value > high):
            bounds = f"from {low} to {high}" if high is not None else f"{low} or more"
            raise argparse.ArgumentTypeError(f"must be a whole number {bounds}, not {text}")
        return value

    return parse


def size_limit(text: str) -> float:
    """An argparse type: a size in MB, 0 or more (0: no limit)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if math.isnan(value) or value < 0:
        raise argparse.ArgumentTypeError(f"must be a number of 0 or more, not {text}")
    return value


def load_renderer(command: str):
    """The compiled renderer module, or None (with a note on stderr) when it is not built."""
    try:
        return importlib.import_module(RENDERER_MODULE)
    except ImportError as exc:
        # A signal during the module's initialisation is no missing module.
        stopped = interrupt_in(exc)
        if stopped is not None:
            raise stopped from None
        print(f"halvex {command}: {RENDERER_MODULE} is not available ({exc}); "
              "build it with `make install`", file=sys.stderr)
        return None


def with_renderer(command: str):
    """Decorator of a sub-command that needs the compiled renderer: its run function gets the
    module as a second argument, or the command ends with status 1 when it is not built."""

    def wrap(run):
        @functools.wraps(run)
        def run_with_renderer(args: argparse.Namespace) -> int:
            vitrum = load_renderer(command)
            return EXIT_FAILURE if vitrum is None else run(args, vitrum)

        return run_with_renderer

    return wrap


def write_text_atomic(path, text: str) -> Path:
    """Write UTF-8 text to ``path`` through the package's atomic writer (halvex._output)."""
    write_text(path, text)
    return Path(path)


def writes_to_stdout(path) -> bool:
    """True when ``path`` is this process's standard output (``-o /dev/stdout | gzip``), so
    progress lines must go to standard error instead of into the output."""
    try:
        a, b = os.stat(path), os.fstat(sys.stdout.fileno())
    except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
        return False
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def trending_page(section: str) -> str:
    """A trending section as a page of its own, so a browser reads it as UTF-8."""
    return ("<!DOCTYPE html>\n<html lang=\"tr\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<title>Trending Listeler</title>\n</head>\n<body style=\"background:#f4f6f8\">"
            f"{section}\n</body>\n</html>\n")
