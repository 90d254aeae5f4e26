"""What a run folder's manifest records of its inputs: fingerprints and library versions."""

from __future__ import annotations

import hashlib
import os
import platform
from datetime import datetime, timezone
from importlib import metadata

# Read in blocks: a fact database may be many times the memory a hash needs.
_BLOCK = 1 << 20
_LIBRARIES = ("halvex", "duckdb", "pyarrow", "pandas", "numpy", "lightgbm", "scikit-learn")


def file_fingerprint(path) -> dict | None:
    """Size, modification time (UTC) and SHA-256 of a file; None when there is none."""
    path = os.fspath(path)
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return None
    h = hashlib.sha256()
    with open(path, "rb") as fh:
        while block := fh.read(_BLOCK):
            h.update(block)
    return {"path": os.path.abspath(path), "bytes": st.st_size,
            "modified": datetime.fromtimestamp(st.st_mtime, timezone.utc).isoformat(timespec="seconds"),
            "sha256": h.hexdigest()}


def versions() -> dict:
    out = {"python": platform.python_version()}
    for name in _LIBRARIES:
        try:
            out[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            out[name] = None
    return out
