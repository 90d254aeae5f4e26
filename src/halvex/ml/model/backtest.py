"""Rolling-origin back-test: the model as it would have been trained at each of the last
origins, scored on that origin's candidates and compared with what happened.

An origin is a period followed by at least ``horizon`` periods of the data, whose
candidates include rows with a label settled within the data (their label window ends at a
period of the data; only those rows are judged) and at which a model can be trained by the
no-look-ahead rule (training rows of both classes, a validation window). The last
``origins`` such periods are used; ``possible`` says how many there were.
"""

from __future__ import annotations

import hashlib
import json
import math
import os
from dataclasses import dataclass, field
from typing import Callable

import numpy as np
import pandas as pd

from halvex._output import atomic_output
from halvex.ml.features import FEATURE_COLS
from halvex.ml.model import metrics as mx
from halvex.ml.model.lead import periods_to_yi
from halvex.ml.model.model import DEFAULT_REASONS_TOP_N, Model
from halvex.ml.model.params import DEFAULT_SEED, EARLY_STOPPING_ROUNDS, NUM_BOOST_ROUND
from halvex.ml.model.periods import borrower_period_order
from halvex.ml.model.population import drop_repeated, has_label, is_candidate
from halvex.ml.model.reasons import REASONS
from halvex.ml.model.review import score_alone_auc
from halvex.ml.model.schema import LABEL, check_columns, feature_array
from halvex.ml.model.split import DEFAULT_VALID_PERIODS, split_at, timeline, usable_at
from halvex.ml.model.train import DEFAULT_HORIZON, train

DEFAULT_ORIGINS = 6
SUMMARY_FORMAT = 1
SUMMARY_FILE = "backtest_summary.json"
FIRMA_FILE = "backtest_firma.json"
PREDICTIONS_FILE = "ml_predictions.json"
CURVES_FILE = "backtest_curves.json"
CURVES_FORMAT = 1


@dataclass
class Backtest:
    """The JSON-ready results (plain dicts, lists, text, numbers, bools, None); the curves
    are the ROC, precision-recall and capture points of each origin and of all pooled.
    ``model`` is the model trained at the latest period, its card holding the back-test's
    figures (not saved with the results)."""
    backtest_summary: dict
    backtest_firma: dict
    ml_predictions: list = field(default_factory=list)
    backtest_curves: dict = field(default_factory=dict)
    model: Model | None = None

    def save(self, folder) -> list[str]:
        """Writes backtest_summary.json, backtest_firma.json, ml_predictions.json and
        backtest_curves.json into ``folder`` (created when missing), each file atomically.
        Returns their paths.

        The curves, written last, carry the SHA-256 of the summary written with them
        (``summary_sha256``): a reader tells a pair of one run from files of two."""
        folder = os.fspath(folder)
        os.makedirs(folder, exist_ok=True)
        paths = []
        files = ((SUMMARY_FILE, self.backtest_summary), (FIRMA_FILE, self.backtest_firma),
                 (PREDICTIONS_FILE, self.ml_predictions), (CURVES_FILE, self.backtest_curves))
        summary_sha256 = None
        for name, value in files:
            if name == CURVES_FILE:
                value = {**value, "summary_sha256": summary_sha256}
            text = json.dumps(value, ensure_ascii=False, allow_nan=False, indent=1) + "\n"
            if name == SUMMARY_FILE:
                summary_sha256 = hashlib.sha256(text.encode("utf-8")).hexdigest()
            path = os.path.join(folder, name)
            with atomic_output(path) as fh:
                fh.write(text)
            paths.append(path)
        return paths


def backtest(matrix: pd.DataFrame, horizon: int = DEFAULT_HORIZON, origins: int = DEFAULT_ORIGINS,
             *, params: dict | None = None, threads: int | None = None, seed: int = DEFAULT_SEED,
             valid_periods: int = DEFAULT_VALID_PERIODS, keep: str | None = None,
             alert_multiple: float = mx.ALERT_RATE_MULTIPLE, alert_share: float | None = None,
             top_n: int = DEFAULT_REASONS_TOP_N, num_boost_round: int = NUM_BOOST_ROUND,
             early_stopping_rounds: int = EARLY_STOPPING_ROUNDS, latest_model: bool = True,
             progress: Callable[[int, int], None] | None = None) -> Backtest:
    """Back-tests the close-monitoring model over the last ``origins`` origins of
    ``matrix`` (``build_features(..., target_horizon=horizon)``) and scores its latest
    period with a model trained there (the top ``top_n`` with reasons). Without
    ``latest_model`` (a caller scoring with a model of its own) no model is trained there:
    the result has no model, no predictions and no ``latest`` stability block.

    Alerts: the top ``alert_share`` of each origin's candidates, by default
    ``alert_multiple`` times the YI rate of that origin's training window. ``progress``
    is called with (models done, models in all). ValueError when no origin is possible.
    """
    if isinstance(origins, bool) or not isinstance(origins, (int, np.integer)) or origins < 1:
        raise ValueError(f"origins must be a whole number, 1 or more, not {origins!r}")
    if isinstance(top_n, bool) or not isinstance(top_n, (int, np.integer)) or top_n < 0:
        raise ValueError(f"top_n must be a whole number, 0 or more, not {top_n!r}")
    check_columns(matrix, need_label=True)
    frame = _canonical(drop_repeated(matrix, keep), horizon)
    line = timeline(frame, horizon)
    n_periods = len(line.periods)
    candidate = is_candidate(frame)
    # Rows whose outcome is known in the data: what an origin is judged on.
    judged = candidate & has_label(frame) & (line.window_end < n_periods)
    labels = frame[LABEL].to_numpy(dtype=np.float64, na_value=np.nan)

    # An origin needs `horizon` later periods: nearer the end, only borrowers who left the
    # data have settled labels, a few rows that say nothing of the rest.
    possible = [c for c in range(n_periods - int(horizon)) if judged[line.codes == c].any()
                and _trainable(frame, line, c, labels, valid_periods)]
    if not possible:
        raise ValueError(f"no origin to back-test: no period has candidates with a settled "
                         f"label and enough earlier labelled rows of both classes to train on "
                         f"({n_periods} periods, horizon {horizon})")
    used = possible[-int(origins):]
    total = len(used) + int(bool(latest_model))
    lead = periods_to_yi(frame, horizon)
    fit = dict(horizon=horizon, params=params, threads=threads, seed=seed,
               valid_periods=valid_periods, num_boost_round=num_boost_round,
               early_stopping_rounds=early_stopping_rounds)

    per_origin, pooled, firma, origin_curves = [], [], {}, []
    for i, code in enumerate(used):
        origin = line.periods[code]
        model = train(frame, origin=origin, **fit)
        split = split_at(frame, line, origin, valid_periods=valid_periods)
        rows = judged & (line.codes == code)
        x = feature_array(frame.loc[rows])
        s = model.raw_score(x)
        p = model.calibration.apply(s)
        y = labels[rows].astype(np.int8)
        share = mx.alert_share(labels[split.train], alert_multiple, alert_share)
        al = mx.alerts(y, s, share, lead[rows])
        sub = frame.loc[rows]
        entry = {"origin": _key(origin), **split.describe(),
                 "train_positives": int(np.nansum(labels[split.train])),
                 "best_iteration": int(model.card["best_iteration"]),
                 "alert_share": share, "alert_threshold": al.cutoff,
                 **_block(sub, y, s, p, al, lead[rows]),
                 "score_psi": model.card["stability"]["score_psi"]}
        per_origin.append(entry)
        pooled.append((sub, y, s, p, al, lead[rows]))
        origin_curves.append({"origin": _key(origin), **mx.curves(y, s)})
        _add_firma(firma, origin, sub["entity_id"].to_numpy(), p, s, al, y)
        if progress is not None:
            progress(i + 1, total)

    overall = _block(pd.concat([t[0] for t in pooled]), *(np.concatenate([t[k] for t in pooled])
                                                            for k in (1, 2, 3)),
                     _merge_alerts([t[4] for t in pooled]), np.concatenate([t[5] for t in pooled]))
    latest = predictions = stability = None
    if latest_model:
        latest = train(frame, **fit)
        predictions = _latest_predictions(frame, line, latest, top_n)
        stability = {**(latest.card["stability"] or {"period": _key(line.periods[-1]), "rows": 0}),
                     "train_periods": [_key(v) for v in latest.card["split"]["train_periods"]]}
    if progress is not None and latest_model:
        progress(total, total)

    summary = {
        "format": SUMMARY_FORMAT,
        "horizon": int(horizon),
        "origins_requested": int(origins),
        "origins_possible": len(possible),
        "origins_used": len(used),
        "alert_rule": {"share": alert_share, "multiple": float(alert_multiple)},
        "origins": per_origin,
        "overall": overall,
        "latest": stability,
    }
    curves = {"format": CURVES_FORMAT, "horizon": int(horizon), "max_points": mx.CURVE_POINTS,
              "origins": origin_curves,
              "overall": mx.curves(*(np.concatenate([t[k] for t in pooled]) for k in (1, 2)))}
    firma = {k: firma[k] for k in sorted(firma)}
    summary = _plain(summary)
    if latest is not None:
        latest.attach_backtest(summary)
    return Backtest(summary, _plain(firma), _plain(predictions or []), _plain(curves), latest)


def _canonical(frame: pd.DataFrame, horizon: int) -> pd.DataFrame:
    """Rows by borrower, then period: LightGBM's trees depend on row order, the back-test of
    the same rows must not."""
    line = timeline(frame, horizon)  # also refuses periods without an order
    try:
        entity = pd.factorize(frame["entity_id"], sort=True, use_na_sentinel=False)[0]
    except TypeError:
        entity = pd.factorize(frame["entity_id"].astype(str), sort=True, use_na_sentinel=False)[0]
    return frame.take(borrower_period_order(entity, line.codes, len(line.periods))).reset_index(drop=True)


def _trainable(frame, line, code, labels, valid_periods) -> bool:
    """Whether the no-look-ahead split at ``code`` has training rows of both classes and a
    validation window of both classes (what training and calibration need)."""
    if not usable_at(frame, line, code).any():
        return False
    try:
        split = split_at(frame, line, line.periods[code], valid_periods=valid_periods)
    except ValueError:
        return False
    return (len(np.unique(labels[split.train])) == 2 and len(np.unique(labels[split.valid])) == 2)


def _counts(al: mx.Alerts, mask=None) -> dict:
    pick = slice(None) if mask is None else mask
    return {"alerted": int(al.alerted[pick].sum()), "caught": int(al.caught[pick].sum()),
            "missed": int(al.missed[pick].sum()), "false_alarms": int(al.false_alarm[pick].sum())}


def _mean_lead(al: mx.Alerts, lead: np.ndarray, mask=None) -> float | None:
    caught = al.caught if mask is None else al.caught & mask
    return float(lead[caught].mean()) if caught.any() else None


def _block(sub: pd.DataFrame, y, s, p, al: mx.Alerts, lead) -> dict:
    """Metrics, alert counts and lead time of a set of judged rows, whole and by segment."""
    seg = mx.segment_of(sub).to_numpy()
    segments = {}
    for name in sorted(set(seg)):
        m = seg == name
        segments[name] = {**mx.as_dict(mx.evaluate(y[m], s[m], p[m])), **_counts(al, m),
                          "mean_lead_time": _mean_lead(al, lead, m)}
    return {**mx.as_dict(mx.evaluate(y, s, p)), "score_alone_auc": score_alone_auc(sub, y),
            **_counts(al), "mean_lead_time": _mean_lead(al, lead), "segments": segments}


def _merge_alerts(parts: list[mx.Alerts]) -> mx.Alerts:
    # Each origin's alerts come from its own threshold; pooled they are only counted.
    cat = lambda name: np.concatenate([getattr(a, name) for a in parts])  # noqa: E731
    return mx.Alerts(share=math.nan, cutoff=math.nan, alerted=cat("alerted"), caught=cat("caught"),
                     missed=cat("missed"), false_alarm=cat("false_alarm"), mean_lead_time=None)


def _add_firma(firma: dict, origin, entities, p, s, al: mx.Alerts, y) -> None:
    keep = al.alerted | (y == 1)
    for i in np.flatnonzero(keep):
        firma.setdefault(str(_key(entities[i])), {})[str(_key(origin))] = {
            "prob": float(p[i]), "score": float(s[i]), "alerted": bool(al.alerted[i]),
            "outcome": int(y[i]), "caught": bool(al.caught[i]), "missed": bool(al.missed[i])}


def _latest_predictions(frame, line, model, top_n) -> list:
    """The top ``top_n`` candidates of the latest period with their reasons."""
    now = frame.loc[line.codes == len(line.periods) - 1]
    return prediction_entries(model.predict(now, reasons_top_n=int(top_n)), top_n)


def prediction_entries(scored: pd.DataFrame, top_n: int) -> list:
    """The ``ml_predictions`` entries of the first ``top_n`` ranks of ``Model.predict``'s
    output (one period), with their reasons."""
    top = scored.loc[scored["rank"] <= top_n]
    predictions = []
    for r in top.itertuples(index=False):
        reasons = [{"feature": getattr(r, f"reason_{i}"), "label": getattr(r, f"reason_{i}_label"),
                    "logodds": getattr(r, f"reason_{i}_logodds")} for i in range(1, REASONS + 1)
                   if getattr(r, f"reason_{i}") is not None]
        predictions.append({"entity_id": str(_key(r.entity_id)), "donem": _key(r.donem),
                            "prob": r.prob, "score": r.score, "rank": int(r.rank),
                            "reasons": reasons})
    return _plain(predictions)


def _key(value):
    """A period or id as JSON has it: numbers and text as they are, anything else as text."""
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, (bool, int, float, str)) or value is None:
        return value
    return str(value)


def _plain(value):
    """JSON-ready copy: numpy scalars to Python, NaN and infinities to None."""
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, (bool, int, float, str)) or value is None:
        return value
    return str(value)
