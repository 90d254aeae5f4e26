"""Plain-Python statements of what the renderer computes, for the tests to compare with.

Imported by the pytest and browser tests (tests/conftest.py puts this folder on the path).
"""

from __future__ import annotations

import math


def mio(v):
    """An amount in TL as the pages hold it, in million TL: None when it is no number; a whole
    number (halves to even, as round() does) from one million up in absolute value; below that
    rounded to one decimal."""
    if v is None:
        return None
    try:
        x = float(v)
    except (TypeError, ValueError):
        return None
    if math.isnan(x):
        return None
    m = x / 1000000
    return int(round(m)) if abs(m) >= 1 else round(m, 1)


def score(v):
    """The score code of one period: -1 for "YI", the integer value, else None."""
    if v is None:
        return None
    if v == "YI":
        return -1
    try:
        return int(v)
    except (TypeError, ValueError):
        return None
