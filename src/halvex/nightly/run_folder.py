"""The folders of the nightly runs: OUT/<period>/ per data period, written whole into a
temporary folder beside it and renamed into place, and OUT/latest, a symbolic link to the
newest, swapped atomically."""

from __future__ import annotations

import json
import os
import shutil
import tempfile

from halvex._output import check_output_path, publish_folder, swap_link

LATEST = "latest"
MANIFEST = "manifest.json"


def folder_name(period) -> str:
    """The run folder's name for a period: its text, with no path separator."""
    name = str(period).replace(os.sep, "_")
    if name in ("", ".", "..", LATEST) or name.startswith("."):
        raise ValueError(f"period {period!r} cannot name a run folder")
    return name


def check_out(out) -> str:
    """OUT as an absolute path, refused when it or its ``latest`` is of the wrong kind."""
    path = os.path.abspath(check_output_path(os.fspath(out)))
    if os.path.lexists(path) and not os.path.isdir(path):
        raise NotADirectoryError(f"{out}: exists and is not a folder")
    latest = os.path.join(path, LATEST)
    if os.path.lexists(latest) and not os.path.islink(latest):
        raise ValueError(f"{latest}: exists and is not a symbolic link; not replaced")
    return path


def previous_manifest(out: str) -> dict | None:
    """The manifest of the run ``latest`` points at; None when there is none to read."""
    try:
        with open(os.path.join(out, LATEST, MANIFEST), encoding="utf-8") as fh:
            manifest = json.load(fh)
    except (OSError, ValueError):
        return None
    return manifest if isinstance(manifest, dict) else None


class Staging:
    """A temporary folder beside the run folder; removed unless published."""

    def __init__(self, out: str, name: str):
        os.makedirs(out, exist_ok=True)
        self.out, self.name = out, name
        self.path = tempfile.mkdtemp(prefix=f".{name}.", suffix=".tmp", dir=out)

    def publish(self) -> str:
        """The run folder in place and ``latest`` pointing at it; returns its path."""
        target = os.path.join(self.out, self.name)
        publish_folder(self.path, target)
        swap_link(os.path.join(self.out, LATEST), self.name)
        return target

    def discard(self) -> None:
        shutil.rmtree(self.path, ignore_errors=True)
