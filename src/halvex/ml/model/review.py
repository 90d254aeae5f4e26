"""What the card says of a model's quality, from the model's own windows: its metrics on
the out-of-time validation window (beside the current score alone), and the stability of
its score and features between the training window and the period it is trained at.

Both use only rows the model may see at its origin. Stability is measured on evenly spaced
samples of the training rows and of the origin's candidates (at most ``STABILITY_SAMPLE``
each): a PSI over ten bins is as good on 200,000 rows as on ten million, and scoring every
training row again would cost a third of the training time.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
from sklearn.metrics import roc_auc_score

from halvex.ml.features import FEATURE_COLS
from halvex.ml.model import metrics as mx

STABILITY_SAMPLE = 200_000
# A borrower without a score ranks below every scored one when the score alone is judged.
_NO_SCORE = -1.0


def evenly_spaced(n: int, limit: int = STABILITY_SAMPLE) -> np.ndarray:
    """Positions of at most ``limit`` rows spread over ``n`` (all of them when n <= limit)."""
    if n <= limit:
        return np.arange(n)
    return np.unique(np.linspace(0, n - 1, limit).round().astype(np.int64))


def score_alone_auc(frame: pd.DataFrame, y: np.ndarray) -> float | None:
    """AUC of the current score (``qvr_score``) as the ranking, the yardstick the model has
    to beat; None for a single class."""
    if len(np.unique(y)) < 2:
        return None
    score = frame["qvr_score"].to_numpy(dtype=np.float64, na_value=np.nan)
    return float(roc_auc_score(y, np.where(np.isnan(score), _NO_SCORE, score)))


def validation_block(frame: pd.DataFrame, y: np.ndarray, raw: np.ndarray,
                     prob: np.ndarray) -> dict:
    """The metrics block of the validation window and the score-alone AUC on the same rows."""
    block = mx.as_dict(mx.evaluate(y, raw, prob))
    block["score_alone_auc"] = score_alone_auc(frame, y)
    return block


def stability_block(period, train_frame: pd.DataFrame, train_raw: np.ndarray,
                    now_frame: pd.DataFrame, now_raw: np.ndarray, now_rows: int) -> dict | None:
    """Score and feature PSI of ``now_frame`` (a sample of the ``now_rows`` candidates of
    ``period``) against the training rows given (a sample too); None when either side is
    empty."""
    if len(train_frame) == 0 or len(now_frame) == 0:
        return None
    score = mx.psi(train_raw, now_raw)
    features = mx.feature_psi(train_frame, now_frame, FEATURE_COLS)
    return {"period": period, "train_sample_rows": int(len(train_frame)),
            "rows": int(now_rows), "sample_rows": int(len(now_frame)),
            "score_psi": {"value": score, "band": mx.psi_band(score)},
            "feature_psi": {k: {"value": v.value, "band": v.band} for k, v in features.items()}}
