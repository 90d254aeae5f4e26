"""The model card: what a reviewer needs to know about a trained model, written by the
code that trained it, from the same numbers."""

from __future__ import annotations

import hashlib
import os
import platform
from datetime import datetime, timezone
from importlib import metadata

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

from halvex.ml.features import FEATURE_COLS

CARD_FORMAT = 1
MODEL_FILE = "model.txt"
CALIBRATION_FILE = "calibration.json"
CARD_FILE = "model_card.json"
RUN_FILE = "training_run.json"

CAVEATS = (
    "Borrowers who leave the data have no label for their last row, and a shorter label "
    "window for the rows before it: they drop out of training and evaluation once no row "
    "follows.",
    "A missing diagnostic row reads as no findings (the feature builder's defaults), so a "
    "borrower without diagnostics looks like one with nothing found.",
    "Rows whose current score is already \"YI\" (1000 or more) are not candidates: never "
    "trained on, scored or counted.",
    "The probability is calibrated on the validation window; ranking and alerts use the "
    "raw score.",
)


def library_versions() -> dict:
    out = {"python": platform.python_version()}
    for name in ("halvex", "lightgbm", "scikit-learn", "numpy", "pandas"):
        try:
            out[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            out[name] = None
    return out


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def fingerprint(frame: pd.DataFrame, x: np.ndarray, label: np.ndarray) -> dict:
    """Rows, periods, positives and a hash of the rows a model learnt from (keys, features,
    labels, in the frame's order)."""
    h = hashlib.sha256()
    for col in ("entity_id", "donem"):
        h.update(_joined_text(frame[col]))
        h.update(b"\x1e")
    _hash_rows(h, x)
    _hash_rows(h, label)
    return {
        "rows": int(len(frame)),
        "periods": int(frame["donem"].nunique()),
        "positives": int((label == 1.0).sum()),
        "sha256": h.hexdigest(),
    }


def _joined_text(column: pd.Series) -> bytes:
    """``"\\x1f".join(map(str, column))`` as UTF-8; joined by Arrow for text and integer
    columns without missing values (millions of keys: no Python string per row)."""
    kind = column.dtype.kind if isinstance(column.dtype, np.dtype) else None
    arrow = getattr(column.array, "__arrow_array__", None)
    if kind in ("i", "u") or (arrow is not None and column.dtype == "str"):
        chunked = pa.chunked_array(arrow() if arrow is not None else [column.to_numpy()])
        if chunked.null_count == 0 and (pa.types.is_integer(chunked.type)
                                        or pa.types.is_string(chunked.type)
                                        or pa.types.is_large_string(chunked.type)):
            sep = pa.scalar("\x1f", pa.large_string())
            parts = []
            for chunk in filter(len, chunked.chunks):
                text = pc.cast(chunk, pa.large_string())
                whole = pa.LargeListArray.from_arrays(pa.array([0, len(text)], pa.int64()), text)
                parts.append(pc.binary_join(whole, sep)[0].as_py().encode("utf-8"))
            return b"\x1f".join(parts)
    return "\x1f".join(map(str, column.tolist())).encode("utf-8", "surrogatepass")


# Rows per block: a few MB copied at a time instead of the whole matrix (gigabytes).
_HASH_BLOCK_ROWS = 1 << 15


def _hash_rows(h, values: np.ndarray) -> None:
    """Feeds ``values`` to ``h`` as little-endian float64 in C order, the same bytes as
    ``ascontiguousarray(values, "<f8").tobytes()``, without a copy of the whole array
    (pandas hands out column-major feature arrays)."""
    if values.dtype == np.dtype("<f8") and values.flags.c_contiguous:
        h.update(memoryview(values).cast("B"))
        return
    for start in range(0, len(values), _HASH_BLOCK_ROWS):
        block = np.ascontiguousarray(values[start:start + _HASH_BLOCK_ROWS], dtype="<f8")
        h.update(memoryview(block).cast("B"))


def check_card(card, folder: str) -> None:
    """ValueError unless ``card`` is a card this version reads, for ``FEATURE_COLS``."""
    if not isinstance(card, dict) or card.get("format") != CARD_FORMAT:
        raise ValueError(f"{folder}: {CARD_FILE} is not a halvex model card of format {CARD_FORMAT}")
    features = card.get("features")
    if features != list(FEATURE_COLS):
        if not isinstance(features, list):
            raise ValueError(f"{folder}: {CARD_FILE} has no feature list")
        missing = [f for f in FEATURE_COLS if f not in features]
        extra = [f for f in features if f not in FEATURE_COLS]
        detail = "; ".join(filter(None, (
            f"missing {', '.join(missing)}" if missing else "",
            f"unknown {', '.join(map(str, extra))}" if extra else "",
            "same names in another order" if not (missing or extra) else "")))
        raise ValueError(f"{folder}: the model was trained on another feature set than this "
                         f"halvex builds ({detail})")
    files = card.get("files")
    for name in (MODEL_FILE, CALIBRATION_FILE):
        entry = files.get(name) if isinstance(files, dict) else None
        if not (isinstance(entry, dict) and isinstance(entry.get("sha256"), str)
                and isinstance(entry.get("bytes"), int)):
            raise ValueError(f"{folder}: {CARD_FILE} records no hash for {name}")
    if not isinstance(card.get("horizon"), int) or isinstance(card.get("horizon"), bool):
        raise ValueError(f"{folder}: {CARD_FILE} has no horizon")



def training_run(seconds: float, params: dict) -> dict:
    """When and how long a training ran: kept beside the card, not in it, so that the same
    data and parameters give the same card byte for byte."""
    return {
        "trained_at": datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
        "training_seconds": round(seconds, 3),
        "num_threads": params.get("num_threads"),
        "cpu_count": os.cpu_count(),
    }


def model_id(model_bytes: bytes) -> str:
    """A short name of a model: the start of its text's SHA-256, the same wherever it is."""
    return sha256(model_bytes)[:12]
