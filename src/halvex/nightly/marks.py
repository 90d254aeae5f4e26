"""The model's marks on the scoreboard document: tonight's probability and alert, and the
back-test's caught / missed at its latest origin."""

from __future__ import annotations

import numpy as np
import pandas as pd

from halvex.ml.model import metrics as mx


def alert_share(card: dict) -> float:
    """The share of a period's candidates alerted, by the back-test's rule in the model's
    card: the share it names, or its multiple of the YI rate of the training window."""
    rule = (card.get("backtest") or {}).get("alert_rule") or {}
    if rule.get("share") is not None:
        return float(rule["share"])
    multiple = float(rule.get("multiple", mx.ALERT_RATE_MULTIPLE))
    train = card["data"]["train"]
    rate = train["positives"] / train["rows"] if train["rows"] else 0.0
    return float(min(mx.MAX_ALERT_SHARE, multiple * rate))


def alerted(scored: pd.DataFrame, share: float) -> np.ndarray:
    """Which rows of one period's predictions are alerted: the top ``share`` by raw score."""
    return mx.top_mask(scored["score"].to_numpy(dtype=float), share)


def latest_origin_outcomes(backtest_summary: dict | None, backtest_firma: dict | None) -> tuple:
    """(origin, {entity key: (caught, missed)}) at the back-test's latest origin; (None, {})
    without a back-test."""
    if not backtest_summary or not backtest_summary.get("origins"):
        return None, {}
    origin = backtest_summary["origins"][-1]["origin"]
    key = str(origin)
    found = {}
    for entity, by_origin in (backtest_firma or {}).items():
        at = by_origin.get(key)
        if at is not None and (at["caught"] or at["missed"]):
            found[entity] = (bool(at["caught"]), bool(at["missed"]))
    return origin, found


def model_columns(scored: pd.DataFrame, is_alerted: np.ndarray, outcomes: dict) -> dict:
    """The ``model`` argument of build_scoreboard: the scored borrowers with their
    probability and alert, and the back-test's caught / missed (borrowers it names that
    were not scored tonight have no probability)."""
    from halvex.scoreboard import _key_text

    keys = [_key_text(v) for v in scored["entity_id"].tolist()]
    prob = scored["prob"].astype(float).tolist()
    flags = [bool(v) for v in is_alerted]
    seen = set(keys)
    extra = [k for k in outcomes if k not in seen]
    keys += extra
    prob += [float("nan")] * len(extra)
    flags += [False] * len(extra)
    caught = [outcomes.get(k, (False, False))[0] for k in keys]
    missed = [outcomes.get(k, (False, False))[1] for k in keys]
    return {"entity_id": keys, "prob": prob, "alerted": flags, "caught": caught, "missed": missed}
