"""Lead time: how many rows of its own history a borrower has until its first "YI" score.

Counted by row order within the borrower, as the label counts its horizon, never by
arithmetic on ``donem`` values: with a gap, the k-th following row may lie more than k
months ahead.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from halvex.ml.model.periods import borrower_period_order, period_codes
from halvex.ml.model.population import YI_SCORE


def periods_to_yi(frame: pd.DataFrame, horizon: int) -> np.ndarray:
    """Per row of ``frame`` (its row order): k (1..horizon) when the borrower's k-th
    following row is its first with a "YI" score (``qvr_score`` 1000 or more), NaN when none
    of the next ``horizon`` rows is. ``frame`` holds each (entity_id, donem) once."""
    if isinstance(horizon, bool) or not isinstance(horizon, (int, np.integer)) or horizon < 1:
        raise ValueError(f"horizon must be a whole number of periods, 1 or more, not {horizon!r}")
    n = len(frame)
    out = np.full(n, np.nan)
    if n == 0:
        return out
    periods, codes = period_codes(frame["donem"])
    entity = pd.factorize(frame["entity_id"], use_na_sentinel=False)[0]
    order = borrower_period_order(entity, codes, len(periods))
    ent_s = entity[order]
    yi_s = frame["qvr_score"].to_numpy(dtype=np.float64, na_value=np.nan)[order] >= YI_SCORE
    k_s = np.full(n, np.nan)
    # Nearest first: a later k never overwrites an earlier one.
    for k in range(horizon, 0, -1):
        if k >= n:
            continue
        same = ent_s[k:] == ent_s[:-k]
        hit = np.flatnonzero(same & yi_s[k:])
        k_s[hit] = k
    out[order] = k_s
    return out
