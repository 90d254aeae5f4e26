"""Which rows count: repeated keys refused, borrowers already under close monitoring left out.

A row whose current score is "YI" (``qvr_score`` 1000 in the matrix; a numeric score of
1000 or more is treated the same) is never a candidate: it is not trained on, not scored
and not counted. A row with a missing label is not trained on or evaluated, but scored.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from halvex.ml.model.schema import KEYS, LABEL

YI_SCORE = 1000.0
KEEP_CHOICES = (None, "first")


def drop_repeated(matrix: pd.DataFrame, keep: str | None = None) -> pd.DataFrame:
    """``matrix`` without repeated (entity_id, donem) rows: refused with a ValueError naming
    the count unless ``keep="first"``, which keeps each key's first row. Never changes
    ``matrix``; returns it unchanged when no key repeats."""
    if keep not in KEEP_CHOICES:
        raise ValueError(f"keep must be None or 'first', not {keep!r}")
    # One integer per (entity, period) pair: hashing it is twice as fast as hashing the
    # pairs themselves, and the common case (no repeats) stops at the uniqueness check.
    entity = pd.factorize(matrix[KEYS[0]], use_na_sentinel=False)[0].astype(np.int64)
    period = pd.factorize(matrix[KEYS[1]], use_na_sentinel=False)[0].astype(np.int64)
    pair = pd.Index(entity * (int(period.max(initial=-1)) + 1) + period)
    if pair.is_unique:
        return matrix
    repeated = pair.duplicated(keep="first")
    count = int(repeated.sum())
    if count == 0:
        return matrix
    if keep is None:
        raise ValueError(f"{count} rows repeat an (entity_id, donem) pair already seen (a "
                         "diagnostic file with repeated keys multiplies rows); pass "
                         "keep='first' to keep the first row of each pair")
    return matrix.loc[~repeated]


def is_candidate(frame: pd.DataFrame) -> np.ndarray:
    """True where the current score is not "YI" (a missing score is a candidate)."""
    score = frame["qvr_score"].to_numpy(dtype=np.float64, na_value=np.nan)
    return ~(score >= YI_SCORE)


def has_label(frame: pd.DataFrame) -> np.ndarray:
    return frame[LABEL].notna().to_numpy()
