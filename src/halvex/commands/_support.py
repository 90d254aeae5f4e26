"""Helpers shared by the sub-commands: the renderer module and atomic file writes."""

from __future__ import annotations

import importlib
import os
import sys
from pathlib import Path

RENDERER_MODULE = "halvex.pipeline.vitrum"


def load_renderer(command: str):
    """The compiled renderer module, or None (with a note on stderr) when it is not built."""
    try:
        return importlib.import_module(RENDERER_MODULE)
    except ImportError as exc:
        print(f"halvex {command}: {RENDERER_MODULE} is not available ({exc}); "
              "build it with `make install`", file=sys.stderr)
        return None


def write_text_atomic(path, text: str) -> Path:
    """Write UTF-8 text next to ``path`` and rename it over the target."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    try:
        with open(tmp, "w", encoding="utf-8") as fh:
            fh.write(text)
        os.replace(tmp, path)
    finally:
        if tmp.exists():
            tmp.unlink()
    return path


def trending_page(section: str) -> str:
    """A trending section as a page of its own, so a browser reads it as UTF-8."""
    return ("<!DOCTYPE html>\n<html lang=\"tr\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<title>Trending Listeler</title>\n</head>\n<body style=\"background:#f4f6f8\">"
            f"{section}\n</body>\n</html>\n")
