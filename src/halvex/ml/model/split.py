"""No look-ahead: which rows a model evaluated at an origin period may learn from.

A row's label looks ``horizon`` rows ahead in the borrower's own history, and histories
have gaps, so the label window of a row ends at the period of its h-th following row of the
same borrower, not at "t + h". A borrower with fewer than h rows left has a label over the
rows it has; that label is settled only once a period passes without the borrower (the
period after its last row), since until then more rows could still come. Periods are
compared by their position in the sorted distinct ``donem`` values.

A model evaluated at origin t learns only from rows whose label windows end at or before t.
Its validation window (early stopping, calibration) is the last ``valid_periods`` periods
holding such rows; its training rows are those whose windows end at or before the first
period of the validation window, so no training label sees past what validation scores.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from halvex.ml.model.periods import borrower_period_order, period_codes, period_position
from halvex.ml.model.population import YI_SCORE, has_label, is_candidate
from halvex.ml.model.schema import LABEL

DEFAULT_VALID_PERIODS = 2


@dataclass(frozen=True)
class Timeline:
    periods: list            # distinct periods in order
    codes: np.ndarray        # each row's period position
    window_end: np.ndarray   # position of the period where each row's label window ends;
                             # len(periods) or more: not settled within the data


def timeline(frame: pd.DataFrame, horizon: int) -> Timeline:
    """Period positions and label-window ends of ``frame``'s rows (in its row order).

    ``frame`` must hold each (entity_id, donem) once and every row of each borrower the
    labels were built from: the windows count rows. ValueError when a positive label has no
    "YI" score within ``horizon`` following rows (a matrix built with a longer horizon).
    """
    if isinstance(horizon, bool) or not isinstance(horizon, (int, np.integer)) or horizon < 1:
        raise ValueError(f"horizon must be a whole number of periods, 1 or more, not {horizon!r}")
    periods, codes = period_codes(frame["donem"])
    n = len(frame)
    entity = pd.factorize(frame["entity_id"], use_na_sentinel=False)[0]
    order = borrower_period_order(entity, codes, len(periods))
    ent_s, code_s = entity[order], codes[order]
    new_group = np.ones(n, dtype=bool)
    new_group[1:] = ent_s[1:] != ent_s[:-1]
    starts = np.flatnonzero(new_group)
    sizes = np.diff(np.append(starts, n))
    group = np.cumsum(new_group) - 1
    following = (starts + sizes)[group] - np.arange(n) - 1
    last_code = code_s[(starts + sizes - 1)[group]]

    end_s = np.full(n, len(periods), dtype=np.int64)
    full = following >= horizon
    end_s[full] = code_s[np.flatnonzero(full) + horizon]
    short = (following > 0) & ~full
    end_s[short] = last_code[short] + 1

    score_s = frame["qvr_score"].to_numpy(dtype=np.float64, na_value=np.nan)[order]
    yi_ahead = np.zeros(n, dtype=bool)
    for h in range(1, horizon + 1):
        within = following >= h
        idx = np.flatnonzero(within)
        yi_ahead[idx] |= score_s[idx + h] >= YI_SCORE
    label_s = frame[LABEL].to_numpy(dtype=np.float64, na_value=np.nan)[order] \
        if LABEL in frame.columns else np.full(n, np.nan)
    unexplained = int(((label_s == 1.0) & ~yi_ahead).sum())
    if unexplained:
        raise ValueError(f"{unexplained} positive labels have no \"YI\" score within {horizon} "
                         "following rows of the borrower: the matrix was built with another "
                         "horizon, or rows of it were left out")

    window_end = np.empty(n, dtype=np.int64)
    window_end[order] = end_s
    return Timeline(periods=periods, codes=codes, window_end=window_end)


@dataclass(frozen=True)
class Split:
    origin: object
    train: np.ndarray   # row masks over the frame the timeline was made from
    valid: np.ndarray
    train_periods: list
    valid_periods: list

    def describe(self) -> dict:
        return {
            "origin": _plain(self.origin),
            "train_periods": [_plain(p) for p in self.train_periods],
            "valid_periods": [_plain(p) for p in self.valid_periods],
            "train_rows": int(self.train.sum()),
            "valid_rows": int(self.valid.sum()),
        }


def _plain(value):
    return value.item() if isinstance(value, np.generic) else value


def usable_at(frame: pd.DataFrame, line: Timeline, origin_code: int) -> np.ndarray:
    """Candidates with a label settled at or before the origin: what may be learnt from."""
    return is_candidate(frame) & has_label(frame) & (line.window_end <= origin_code)


def split_at(frame: pd.DataFrame, line: Timeline, origin=None, *,
             valid_periods: int = DEFAULT_VALID_PERIODS) -> Split:
    """The training and validation rows of a model evaluated at ``origin`` (a ``donem``
    value; default the latest period). ValueError when either would be empty."""
    if valid_periods < 1:
        raise ValueError(f"valid_periods must be 1 or more, not {valid_periods!r}")
    if not line.periods:
        raise ValueError("the matrix has no rows")
    origin_code = len(line.periods) - 1 if origin is None else period_position(line.periods, origin)
    usable = usable_at(frame, line, origin_code)
    seen = np.unique(line.codes[usable])
    if len(seen) == 0:
        raise ValueError(f"no labelled rows whose label window ends by {line.periods[origin_code]!r}:"
                         " the data has too few periods for the horizon")
    valid_codes = seen[-valid_periods:]
    valid = usable & np.isin(line.codes, valid_codes)
    train = usable & (line.window_end <= valid_codes[0])
    if not train.any():
        raise ValueError(f"no training rows before the validation window starting at "
                         f"{line.periods[valid_codes[0]]!r}: the data has too few periods for "
                         "the horizon")
    train_codes = np.unique(line.codes[train])
    return Split(origin=line.periods[origin_code], train=train, valid=valid,
                 train_periods=[line.periods[c] for c in train_codes],
                 valid_periods=[line.periods[c] for c in valid_codes])
