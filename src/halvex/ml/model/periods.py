"""Period order: the sorted distinct ``donem`` values, never arithmetic on them.

``donem`` may be an integer (202401), text ("202401", "2024-01-31") or anything else that
sorts chronologically, as the feature builder assumes when it sorts by it.
"""

from __future__ import annotations

import numpy as np
import pandas as pd


def period_codes(donem: pd.Series) -> tuple[list, np.ndarray]:
    """(the distinct periods in order, each row's position in that list)."""
    if donem.isna().any():
        raise ValueError(f"{int(donem.isna().sum())} rows have no period (donem missing)")
    try:
        codes, uniques = pd.factorize(donem, sort=True)
    except TypeError:
        kinds = sorted({type(v).__name__ for v in donem.unique()})
        raise ValueError(f"periods (donem) of mixed kinds ({', '.join(kinds)}) have no order") from None
    return list(uniques), codes.astype(np.int64)


def period_position(periods: list, value) -> int:
    """Position of ``value`` in ``periods``; ValueError when the data has no such period."""
    for i, p in enumerate(periods):
        if p == value or str(p) == str(value):
            return i
    raise ValueError(f"period {value!r} is not in the data ({periods[0]!r} to {periods[-1]!r})")


def borrower_period_order(entity: np.ndarray, codes: np.ndarray, n_periods: int) -> np.ndarray:
    """Row order by borrower code, then period position, ties in row order: what
    ``np.lexsort((codes, entity))`` gives, from one integer key (a stable sort of an
    already ordered matrix runs in linear time; lexsort of millions of rows takes seconds)."""
    key = entity.astype(np.int64) * max(int(n_periods), 1) + codes
    return np.argsort(key, kind="stable")
