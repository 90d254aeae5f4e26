"""Training: LightGBM on the rows the split allows, early stopping and calibration on the
out-of-time validation window."""

from __future__ import annotations

import time
from concurrent.futures import ThreadPoolExecutor

import lightgbm as lgb
import numpy as np
import pandas as pd

from halvex.ml.features import FEATURE_COLS
from halvex.ml.model.calibration import Calibration
from halvex.ml.model.card import CARD_FORMAT, CAVEATS, fingerprint, library_versions, training_run
from halvex.ml.model.model import Model
from halvex.ml.model.params import (CATEGORICAL, DEFAULT_SEED, EARLY_STOPPING_ROUNDS,
                                    MONOTONE_INCREASING, NUM_BOOST_ROUND, chosen_params,
                                    lightgbm_params)
from halvex.ml.model.periods import period_position
from halvex.ml.model.population import YI_SCORE, drop_repeated, is_candidate
from halvex.ml.model.review import evenly_spaced, stability_block, validation_block
from halvex.ml.model.schema import LABEL, check_columns, feature_array
from halvex.ml.model.split import DEFAULT_VALID_PERIODS, split_at, timeline

DEFAULT_HORIZON = 3


def train(matrix: pd.DataFrame, horizon: int = DEFAULT_HORIZON, *, params: dict | None = None,
          threads: int | None = None, seed: int = DEFAULT_SEED, origin=None,
          valid_periods: int = DEFAULT_VALID_PERIODS, keep: str | None = None,
          num_boost_round: int = NUM_BOOST_ROUND,
          early_stopping_rounds: int = EARLY_STOPPING_ROUNDS) -> Model:
    """Trains the close-monitoring model on the matrix of ``build_features`` (built with
    ``target_horizon=horizon``), as it would have been trained at ``origin`` (a ``donem``
    value; default the latest period): only rows whose label windows end by then.

    ``params`` overrides LightGBM defaults (not the objective, seed, threads or
    constraints); ``threads`` None lets LightGBM choose (the trees do not depend on it).
    ``keep="first"`` keeps the first of repeated (entity_id, donem) rows instead of refusing
    them. ``matrix`` is never changed. ValueError for a matrix that cannot train a model.
    """
    started = time.perf_counter()
    check_columns(matrix, need_label=True)
    lgb_params = lightgbm_params(params, threads=threads, seed=seed)
    frame = drop_repeated(matrix, keep)
    line = timeline(frame, horizon)
    split = split_at(frame, line, origin, valid_periods=valid_periods)

    train_rows, valid_rows = frame.loc[split.train], frame.loc[split.valid]
    x_train, x_valid = feature_array(train_rows), feature_array(valid_rows)
    y_train = train_rows[LABEL].to_numpy(dtype=np.float64)
    y_valid = valid_rows[LABEL].to_numpy(dtype=np.float64)
    if len(np.unique(y_train)) < 2:
        raise ValueError(f"the training window ({len(y_train)} rows) holds a single class: "
                         "no borrower both reaches and stays out of close monitoring")

    # The data hash runs beside LightGBM's binning and training (hashing and Arrow release
    # the GIL) rather than after it on one core.
    hashing = ThreadPoolExecutor(max_workers=1)
    prints = hashing.submit(lambda: {"train": fingerprint(train_rows, x_train, y_train),
                                     "valid": fingerprint(valid_rows, x_valid, y_valid)})
    hashing.shutdown(wait=False)
    names = list(FEATURE_COLS)
    dtrain = lgb.Dataset(x_train, y_train, feature_name=names, categorical_feature=list(CATEGORICAL),
                         params=lgb_params, free_raw_data=True)
    dvalid = lgb.Dataset(x_valid, y_valid, reference=dtrain, params=lgb_params)
    booster = lgb.train(lgb_params, dtrain, num_boost_round=num_boost_round, valid_sets=[dvalid],
                        valid_names=["valid"],
                        callbacks=[lgb.early_stopping(early_stopping_rounds, verbose=False)])
    best = booster.best_iteration if booster.best_iteration > 0 else booster.current_iteration()
    text = booster.model_to_string(num_iteration=best)
    del booster, dtrain, dvalid

    # Calibrated on what the stored text predicts, so a loaded model maps the same way.
    stored = lgb.Booster(model_str=text)
    raw_valid = stored.predict(x_valid, raw_score=True)
    calibration = Calibration.fit(raw_valid, y_valid)
    validation = validation_block(valid_rows, y_valid, raw_valid, calibration.apply(raw_valid))
    picked = evenly_spaced(len(train_rows))
    sample = train_rows.iloc[picked]
    at = line.codes == period_position(line.periods, split.origin)
    now = np.flatnonzero(at & is_candidate(frame))
    now_sample = frame.iloc[now[evenly_spaced(len(now))]]
    sample_raw = stored.predict(x_train[picked], raw_score=True) if len(picked) else np.zeros(0)
    stability = stability_block(split.origin, sample, sample_raw, now_sample,
                                _raw(stored, now_sample), now_rows=len(now))
    card = {
        "format": CARD_FORMAT,
        "model": "halvex close-monitoring (YI) model: LightGBM gradient-boosted trees",
        "purpose": f"ranks borrowers not yet under close monitoring by the chance that their "
                   f"score is \"YI\" within the next {horizon} rows of their history",
        "not_for": "borrowers already under close monitoring (score \"YI\" or 1000 or more); "
                   "decisions on a single borrower without an analyst's review",
        "horizon": int(horizon),
        "features": names,
        "categorical": list(CATEGORICAL),
        "monotone_increasing": list(MONOTONE_INCREASING),
        "not_candidate": f"qvr_score >= {YI_SCORE:g}",
        "params": lgb_params,
        "num_boost_round": int(num_boost_round),
        "early_stopping_rounds": int(early_stopping_rounds),
        "best_iteration": int(best),
        "split": split.describe(),
        "data": prints.result(),
        "calibration": "isotonic regression of the raw score, fitted on the validation window",
        "validation": validation,
        "stability": stability,
        "backtest": None,
        "versions": library_versions(),
        "caveats": list(CAVEATS),
    }
    return Model(text, calibration, card, run=training_run(time.perf_counter() - started, lgb_params))


def settings_of(card: dict) -> dict:
    """The arguments of ``train`` (and ``backtest``) that made the model of ``card``, horizon
    included: the same recipe trained again, at another origin or on other data."""
    params = card["params"]
    return {"horizon": int(card["horizon"]), "params": chosen_params(params), "seed": int(params["seed"]),
            "valid_periods": len(card["split"]["valid_periods"]),
            "num_boost_round": int(card["num_boost_round"]),
            "early_stopping_rounds": int(card["early_stopping_rounds"])}


def _raw(booster: lgb.Booster, rows: pd.DataFrame) -> np.ndarray:
    return booster.predict(feature_array(rows), raw_score=True) if len(rows) else np.zeros(0)
