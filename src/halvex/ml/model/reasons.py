"""Per-row reasons: the features that raise a row's raw score most.

LightGBM's ``pred_contrib`` splits each raw score (log-odds) into one signed contribution
per feature plus a constant; the reasons are the features with the largest contributions,
largest first. They cost far more than the score itself, so callers ask for them only on
the rows that are read.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

REASONS = 3


def reason_columns() -> list[str]:
    cols = []
    for i in range(1, REASONS + 1):
        cols += [f"reason_{i}", f"reason_{i}_label", f"reason_{i}_logodds"]
    return cols


def top_reasons(booster, x: np.ndarray, names: list[str], labels: dict) -> pd.DataFrame:
    """Reason columns for the rows of ``x`` (``names`` its feature columns)."""
    out: dict = {}
    if len(x) == 0:
        contrib = np.zeros((0, len(names)))
    else:
        contrib = booster.predict(x, pred_contrib=True)[:, : len(names)]
    # Largest first; equal contributions in feature order.
    top = np.argsort(-contrib, axis=1, kind="stable")[:, :REASONS]
    name_arr = np.array(names, dtype=object)
    label_arr = np.array([labels.get(n, n) for n in names], dtype=object)
    rows = np.arange(len(x))[:, None]
    for i in range(REASONS):
        idx = top[:, i] if top.shape[1] > i else np.zeros(len(x), dtype=int)
        out[f"reason_{i + 1}"] = name_arr[idx]
        out[f"reason_{i + 1}_label"] = label_arr[idx]
        out[f"reason_{i + 1}_logodds"] = contrib[rows[:, 0], idx] if len(x) else np.zeros(0)
    return pd.DataFrame(out)
