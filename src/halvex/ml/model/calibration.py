"""Raw score to probability: isotonic regression fitted on the validation window only.

Ranking uses the raw score; the calibration only maps it to a probability. It is stored
as its breakpoints (JSON numbers) and applied as the piecewise-linear curve through them,
constant beyond the ends, which is what scikit-learn's fitted regression computes.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
from sklearn.isotonic import IsotonicRegression


@dataclass(frozen=True)
class Calibration:
    x: tuple[float, ...]   # raw scores, increasing
    y: tuple[float, ...]   # probabilities there, non-decreasing, within 0..1

    @classmethod
    def fit(cls, raw: np.ndarray, label: np.ndarray) -> "Calibration":
        if len(np.unique(label)) < 2:
            raise ValueError("the validation window holds a single class: the calibration "
                             "needs positives and negatives")
        iso = IsotonicRegression(y_min=0.0, y_max=1.0, out_of_bounds="clip").fit(raw, label)
        return cls(tuple(float(v) for v in iso.X_thresholds_),
                   tuple(float(v) for v in iso.y_thresholds_))

    def apply(self, raw: np.ndarray) -> np.ndarray:
        return np.interp(np.asarray(raw, dtype=np.float64), self.x, self.y)

    def to_json(self) -> dict:
        return {"method": "isotonic", "x": list(self.x), "y": list(self.y)}

    @classmethod
    def from_json(cls, data) -> "Calibration":
        """ValueError for anything but a well-formed curve."""
        try:
            if data.get("method") != "isotonic":
                raise ValueError
            x = tuple(float(v) for v in data["x"])
            y = tuple(float(v) for v in data["y"])
        except (AttributeError, KeyError, TypeError, ValueError):
            raise ValueError("calibration.json is not an isotonic calibration curve") from None
        ok = (len(x) == len(y) >= 1 and all(map(math.isfinite, x + y))
              and all(a < b for a, b in zip(x, x[1:])) and all(a <= b for a, b in zip(y, y[1:]))
              and all(0.0 <= v <= 1.0 for v in y))
        if not ok:
            raise ValueError("calibration.json is not an isotonic calibration curve")
        return cls(x, y)
