"""A trained model: scores a feature matrix, saves and loads its folder."""

from __future__ import annotations

import json
import os

import lightgbm as lgb
import numpy as np
import pandas as pd

from halvex.ml.features import FEATURE_COLS, FEATURE_LABELS
from halvex.ml.model.calibration import Calibration
from halvex.ml.model.card import (CALIBRATION_FILE, CARD_FILE, MODEL_FILE, RUN_FILE, model_id,
                                  sha256)
from halvex.ml.model.periods import period_codes
from halvex.ml.model.population import drop_repeated, is_candidate
from halvex.ml.model.reasons import reason_columns, top_reasons
from halvex.ml.model.schema import check_columns, feature_array
from halvex.ml.model.store import read_folder, read_run, write_folder

# Rows of each period that get reasons by default: the top of the list an analyst reads.
DEFAULT_REASONS_TOP_N = 1000


class Model:
    """A LightGBM booster (kept as its text model), its calibration and its card; ``run``
    records when and how long the training ran (None when unknown)."""

    def __init__(self, model_text: str, calibration: Calibration, card: dict,
                 run: dict | None = None) -> None:
        self._text = model_text
        self._booster = _booster(model_text, "the model text")
        self.calibration = calibration
        self.card = card
        self.run = run

    @property
    def model_id(self) -> str:
        return model_id(self._text.encode("utf-8"))

    def attach_backtest(self, summary: dict) -> None:
        """Records the back-test's overall figures in the card (``backtest_summary`` of
        ``backtest``): origins, rows, positives, AUC, Gini, KS, PR-AUC, Brier, alerts."""
        overall = summary["overall"]
        keep = ("rows", "positives", "auc", "score_alone_auc", "gini", "ks", "pr_auc", "brier", "alerted", "caught",
                "missed", "false_alarms", "mean_lead_time")
        self.card = {**self.card, "backtest": {
            "origins": [o["origin"] for o in summary["origins"]],
            "alert_rule": summary["alert_rule"],
            **{k: overall.get(k) for k in keep},
            "by_origin": [{"origin": o["origin"], "auc": o["auc"], "rows": o["rows"],
                           "positives": o["positives"]} for o in summary["origins"]]}}

    @property
    def horizon(self) -> int:
        return int(self.card["horizon"])

    @property
    def booster(self) -> lgb.Booster:
        return self._booster

    @property
    def model_text(self) -> str:
        return self._text

    def raw_score(self, x: np.ndarray) -> np.ndarray:
        """Log-odds for a float array in ``FEATURE_COLS`` order."""
        if len(x) == 0:
            return np.zeros(0)
        return self._booster.predict(x, raw_score=True)

    def predict(self, matrix: pd.DataFrame, *, reasons_top_n: int = DEFAULT_REASONS_TOP_N,
                reasons_share: float = 0.0, keep: str | None = None) -> pd.DataFrame:
        """Scores the candidates of ``matrix`` (rows already "YI" are left out).

        Columns: ``entity_id``, ``donem``, ``score`` (raw log-odds; ranking uses it),
        ``prob`` (calibrated probability, 0..1), ``rank`` (1 = riskiest within its period),
        and for i = 1..3 ``reason_i`` (feature name), ``reason_i_label`` (its display text)
        and ``reason_i_logodds`` (signed contribution to ``score``, in log-odds). Reasons
        are computed for the first ``max(reasons_top_n, ceil(reasons_share * rows))``
        ranks of each period; other rows have None and NaN there. Rows come in period
        order, then by rank. ``matrix`` is never changed.
        """
        if isinstance(reasons_top_n, bool) or not isinstance(reasons_top_n, int) or reasons_top_n < 0:
            raise ValueError(f"reasons_top_n must be a whole number, 0 or more, not {reasons_top_n!r}")
        if not 0.0 <= float(reasons_share) <= 1.0:
            raise ValueError(f"reasons_share must be within 0..1, not {reasons_share!r}")
        check_columns(matrix, need_label=False)
        frame = drop_repeated(matrix, keep)
        frame = frame.loc[is_candidate(frame)]
        n = len(frame)
        if n == 0:
            return pd.DataFrame({"entity_id": frame["entity_id"].reset_index(drop=True),
                                 "donem": frame["donem"].reset_index(drop=True), "score": np.zeros(0),
                                 "prob": np.zeros(0), "rank": np.zeros(0, dtype=np.int64),
                                 **{c: np.zeros(0) if c.endswith("_logodds") else
                                    np.zeros(0, dtype=object) for c in reason_columns()}})
        x = feature_array(frame)
        raw = self.raw_score(x)
        codes = period_codes(frame["donem"])[1]
        # By period, riskiest first (stable: ties in row order); one period needs no lexsort.
        order = np.argsort(-raw, kind="stable") if codes.min() == codes.max() \
            else np.lexsort((-raw, codes))
        new_period = np.r_[True, codes[order][1:] != codes[order][:-1]]
        starts = np.flatnonzero(new_period)
        sizes = np.diff(np.append(starts, n))
        group = np.cumsum(new_period) - 1
        rank = np.arange(n) - starts[group] + 1
        wanted = np.maximum(reasons_top_n, np.ceil(float(reasons_share) * sizes).astype(np.int64))
        with_reasons = rank <= wanted[group]

        out = pd.DataFrame({
            # Keys keep the caller's types (text stays text).
            "entity_id": frame["entity_id"].take(order).reset_index(drop=True),
            "donem": frame["donem"].take(order).reset_index(drop=True),
            "score": raw[order],
            "prob": self.calibration.apply(raw[order]),
            "rank": rank.astype(np.int64),
        })
        for col in reason_columns():
            out[col] = np.nan if col.endswith("_logodds") else None
        idx = np.flatnonzero(with_reasons)
        if len(idx):
            reasons = top_reasons(self._booster, x[order[idx]], list(FEATURE_COLS), dict(FEATURE_LABELS))
            for col in reason_columns():
                out.loc[idx, col] = reasons[col].to_numpy()
        return out

    def save(self, folder) -> str:
        """Writes the model folder atomically: ``model.txt`` (LightGBM's text model),
        ``calibration.json``, ``model_card.json`` and, when known, ``training_run.json``
        (when and how long: the one file two identical trainings do not share). Returns
        its path."""
        model_bytes = self._text.encode("utf-8")
        calib_bytes = (json.dumps(self.calibration.to_json(), indent=1) + "\n").encode("utf-8")
        card = dict(self.card)
        card["model_id"] = model_id(model_bytes)
        card["files"] = {MODEL_FILE: {"bytes": len(model_bytes), "sha256": sha256(model_bytes)},
                         CALIBRATION_FILE: {"bytes": len(calib_bytes), "sha256": sha256(calib_bytes)}}
        card_bytes = (json.dumps(card, ensure_ascii=False, indent=2, allow_nan=False,
                                 default=_json_value) + "\n").encode("utf-8")
        self.card = card
        files = {MODEL_FILE: model_bytes, CALIBRATION_FILE: calib_bytes, CARD_FILE: card_bytes}
        if self.run is not None:
            files[RUN_FILE] = (json.dumps(self.run, indent=1) + "\n").encode("utf-8")
        return write_folder(folder, files)

    @classmethod
    def load(cls, folder) -> "Model":
        """Reads a model folder; ValueError for another feature set or a damaged file."""
        card, model_bytes, calib_bytes = read_folder(folder)
        where = os.fspath(folder)
        try:
            calibration = Calibration.from_json(json.loads(calib_bytes.decode("utf-8")))
        except (UnicodeDecodeError, json.JSONDecodeError):
            raise ValueError(f"{where}: {CALIBRATION_FILE} is not valid JSON") from None
        try:
            text = model_bytes.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError(f"{where}: {MODEL_FILE} is not a LightGBM text model") from None
        model = cls(text, calibration, card, run=read_run(where))
        if model._booster.feature_name() != list(FEATURE_COLS):
            raise ValueError(f"{where}: {MODEL_FILE} was trained on another feature set than "
                             "its card names")
        return model


def _booster(text: str, what: str) -> lgb.Booster:
    try:
        return lgb.Booster(model_str=text)
    except lgb.basic.LightGBMError as exc:
        raise ValueError(f"{what} is not a LightGBM model: {exc}") from None


def _json_value(value):
    # Periods may be numpy scalars or dates; anything else is written as its text.
    if isinstance(value, np.generic):
        return value.item()
    return str(value)
