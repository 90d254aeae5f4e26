"""A model folder on disk: written whole or not at all, read only after its files check out.

Saving goes through the package's atomic folder writer (halvex._output); only an empty
folder or an earlier model is replaced. Loading checks each file's size and SHA-256 against
the card before anything parses it: LightGBM kills the process on a model text cut short.
"""

from __future__ import annotations

import json
import os

from halvex._output import write_folder_atomic
from halvex.ml.model.card import CALIBRATION_FILE, CARD_FILE, MODEL_FILE, RUN_FILE, check_card, sha256


def _replaceable(folder: str) -> bool:
    # Only an empty folder or an earlier model is replaced; anything else is someone's data.
    names = os.listdir(folder)
    return not names or CARD_FILE in names


def write_folder(folder, files: dict[str, bytes]) -> str:
    """Writes ``files`` (name to content) as the model folder ``folder``, atomically."""
    return write_folder_atomic(folder, files, replaceable=_replaceable,
                               what="a folder with other files than a halvex model")


def _read(folder: str, name: str) -> bytes:
    try:
        with open(os.path.join(folder, name), "rb") as fh:
            return fh.read()
    except FileNotFoundError:
        raise ValueError(f"{folder}: not a model folder ({name} is missing)") from None


def read_folder(folder) -> tuple[dict, bytes, bytes]:
    """(card, model text, calibration JSON) of a model folder, each file checked against the
    card; ValueError naming what is wrong."""
    folder = os.fspath(folder)
    if not os.path.isdir(folder):
        raise ValueError(f"{folder}: no such model folder")
    try:
        card = json.loads(_read(folder, CARD_FILE).decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError):
        raise ValueError(f"{folder}: {CARD_FILE} is not valid JSON (damaged?)") from None
    check_card(card, folder)
    out = []
    for name in (MODEL_FILE, CALIBRATION_FILE):
        data = _read(folder, name)
        entry = card["files"][name]
        if len(data) != entry["bytes"] or sha256(data) != entry["sha256"]:
            raise ValueError(f"{folder}: {name} is corrupt or truncated ({len(data)} bytes; the "
                             f"card records {entry['bytes']} bytes with another hash)")
        out.append(data)
    return card, out[0], out[1]


def read_run(folder: str) -> dict | None:
    """The training record of a model folder; None when absent or unreadable (it only
    informs, the model does not depend on it)."""
    try:
        with open(os.path.join(folder, RUN_FILE), "rb") as fh:
            run = json.loads(fh.read().decode("utf-8"))
    except (OSError, UnicodeDecodeError, json.JSONDecodeError):
        return None
    return run if isinstance(run, dict) else None
