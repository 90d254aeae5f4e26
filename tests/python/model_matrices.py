"""Hand-made feature matrices for the model tests: the 42 columns of ``build_features``,
with labels computed as the builder does (a "YI" score is 1000)."""

from __future__ import annotations

import numpy as np
import pandas as pd

from halvex.ml.features import FEATURE_COLS

YI = 1000.0


def matrix_from_histories(histories: dict, horizon: int) -> pd.DataFrame:
    """``histories``: entity -> list of (donem, score), in period order (NaN: no score)."""
    rows = []
    for entity, history in histories.items():
        scores = [s for _, s in history]
        for i, (donem, score) in enumerate(history):
            ahead = scores[i + 1:i + 1 + horizon]
            scored = [s for s in ahead if not np.isnan(s)]
            label = (1.0 if any(s == YI for s in ahead) else 0.0) if scored else np.nan
            prev = scores[i - 1] if i else np.nan
            row = dict.fromkeys(FEATURE_COLS, 0)
            row.update(entity_id=entity, donem=donem, qvr_score=score, qvr_lag_1=prev,
                       qvr_delta_1=score - prev, label=label)
            rows.append(row)
    frame = pd.DataFrame(rows, columns=["entity_id", "donem", *FEATURE_COLS, "label"])
    for col in FEATURE_COLS:
        frame[col] = frame[col].astype(np.float64)
    return frame


def random_histories(n_entities: int, periods: list, seed: int, *, gap_rate: float = 0.15) -> dict:
    """Score walks in which a high score leads to "YI" for a few periods; some periods are
    missing from each history."""
    rng = np.random.default_rng(seed)
    out = {}
    for e in range(n_entities):
        score, yi_left, history = rng.normal(550, 150), 0, []
        for p in periods:
            score = float(np.clip(score + rng.normal(5, 40), 0, 999))
            if yi_left:
                yi_left -= 1
            elif rng.random() < 1 / (1 + np.exp(-(score - 800) / 50)) * 0.5:
                yi_left = int(rng.integers(1, 4))
            if rng.random() < gap_rate:
                continue
            history.append((p, YI if yi_left else round(score)))
        if history:
            out[f"E{e:05d}"] = history
    return out
