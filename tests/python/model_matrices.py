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


def hazard_panel(n_entities: int, n_periods: int, seed: int, horizon: int = 3,
                 gap_rate: float = 0.1) -> pd.DataFrame:
    """A matrix whose close-monitoring entries follow a known hazard of several features,
    not only the score: the score's level and 3-period change, diagnostic findings (more so
    in one segment), the bank's flag and a jump in risk, with noise. A borrower enters "YI"
    at period t with probability sigmoid(z) of its features at t - 1 and stays 1 to 4
    periods. Some rows are missing from each history; lags, changes and labels are those of
    the rows kept, as the feature builder computes them."""
    rng = np.random.default_rng(seed)
    n, t = n_entities, n_periods
    score = np.empty((n, t))
    score[:, 0] = rng.normal(520, 160, n)
    drift = rng.normal(0, 12, n)
    for j in range(1, t):
        score[:, j] = score[:, j - 1] + drift + rng.normal(0, 35, n)
    score = np.clip(score, 0, 999).round()
    risk = np.exp(rng.normal(13, 1.2, n))[:, None] * np.exp(np.cumsum(rng.normal(0, 0.15, (n, t)), 1))
    kobi = rng.random(n) < 0.4
    findings = rng.poisson(np.where(rng.random(n) < 0.15, 2.0, 0.2)[:, None], (n, t)).astype(float)
    flag = (rng.random((n, t)) < 0.02 + 0.1 * (score > 800)).astype(float)
    delta3 = np.zeros((n, t))
    delta3[:, 3:] = score[:, 3:] - score[:, :-3]
    jump = np.zeros((n, t))
    jump[:, 1:] = (risk[:, 1:] / risk[:, :-1] - 1) > 0.25
    z = (-5.8 + 1.5 * (score - 600) / 300 + 0.015 * delta3 + 0.5 * findings
         + 0.6 * findings * kobi[:, None] + 1.5 * flag + 1.2 * jump
         + rng.normal(0, 0.5, n)[:, None])
    yi = np.zeros((n, t), dtype=bool)
    left = np.zeros(n, dtype=int)
    for j in range(1, t):
        left = np.maximum(left - 1, 0)
        enter = (left == 0) & (rng.random(n) < 1 / (1 + np.exp(-z[:, j - 1])))
        left = np.where(enter, rng.integers(1, 5, n), left)
        yi[:, j] = left > 0
    shown = np.where(yi, YI, score)

    ent, per = np.meshgrid(np.arange(n), np.arange(t), indexing="ij")
    keep = rng.random((n, t)) >= gap_rate
    frame = pd.DataFrame({"entity_id": ent[keep], "donem": 202401 + per[keep] % 12
                          + 100 * (per[keep] // 12),
                          "qvr_score": shown[keep], "risk_current": risk[keep],
                          "diag_bulgu_sayisi": findings[keep], "yi_flag_current": flag[keep]})
    g = frame.groupby("entity_id", sort=False)
    for k in (1, 2, 3):
        frame[f"qvr_lag_{k}"] = g["qvr_score"].shift(k)
    frame["qvr_delta_1"] = frame["qvr_score"] - frame["qvr_lag_1"]
    frame["qvr_delta_3"] = frame["qvr_score"] - frame["qvr_lag_3"]
    frame["risk_delta_pct"] = frame["risk_current"] / g["risk_current"].shift(1) - 1
    frame["was_yi_prev"] = (frame["qvr_lag_1"] == YI).astype(float)
    frame["seg_KOBI"] = kobi[frame["entity_id"]].astype(float)
    frame["bolge_kodu"] = (frame["entity_id"] * 7 % 81 + 1).astype(float)
    ahead = np.column_stack([g["qvr_score"].shift(-k).to_numpy() for k in range(1, horizon + 1)])
    frame["label"] = np.where(np.isnan(ahead).all(1), np.nan, (ahead == YI).any(1).astype(float))
    for col in FEATURE_COLS:
        if col not in frame:
            frame[col] = 0.0
    frame["entity_id"] = frame["entity_id"].map("H{:06d}".format)
    return frame[["entity_id", "donem", *FEATURE_COLS, "label"]].reset_index(drop=True)
