"""Which rows a model learns from and scores, and what it refuses."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from halvex.ml.features import FEATURE_COLS
from halvex.ml.model import train
from model_matrices import YI, matrix_from_histories, random_histories

FAST = {"num_leaves": 7, "min_data_in_leaf": 5, "min_data_per_group": 5, "learning_rate": 0.2}
PERIODS = list(range(1, 15))


@pytest.fixture(scope="module")
def matrix():
    return matrix_from_histories(random_histories(300, PERIODS, seed=11), horizon=3)


@pytest.fixture(scope="module")
def model(matrix):
    return train(matrix, 3, params=FAST, threads=1, num_boost_round=30)


def test_rows_already_yi_are_never_scored_and_unlabelled_rows_are(model, matrix):
    frame = matrix.copy()
    frame.loc[frame.index[:5], "qvr_score"] = 1250.0   # numeric 1000 or more counts as "YI"
    frame.loc[frame.index[5:10], "qvr_score"] = np.nan  # no score: still a candidate
    before = frame.copy()
    out = model.predict(frame)
    pd.testing.assert_frame_equal(frame, before)      # the caller's frame is left alone
    scored = set(zip(out["entity_id"], out["donem"]))
    yi = frame["qvr_score"] >= YI
    assert not scored & set(zip(frame.loc[yi, "entity_id"], frame.loc[yi, "donem"]))
    assert len(out) == int((~yi).sum())
    unlabelled = frame["label"].isna() & ~yi
    assert unlabelled.any()
    assert set(zip(frame.loc[unlabelled, "entity_id"], frame.loc[unlabelled, "donem"])) <= scored
    assert out["prob"].between(0, 1).all()


def test_rank_follows_the_raw_score_within_each_period(model, matrix):
    out = model.predict(matrix, reasons_top_n=2)
    for _, period in out.groupby("donem", sort=False):
        assert list(period["rank"]) == list(range(1, len(period) + 1))
        assert period["score"].is_monotonic_decreasing
        assert period["prob"].is_monotonic_decreasing   # calibration keeps the order
        assert period["reason_1"].notna().sum() == min(2, len(period))
        top = period.iloc[0]
        assert top["reason_1"] in FEATURE_COLS and top["reason_1_logodds"] >= top["reason_2_logodds"]


def test_reasons_are_the_largest_contributions_of_the_raw_score(model, matrix):
    out = model.predict(matrix, reasons_top_n=5)
    latest = matrix[matrix["donem"] == matrix["donem"].max()]
    x = latest[FEATURE_COLS].to_numpy(np.float64)
    contrib = model.booster.predict(x, pred_contrib=True)
    # Contributions plus the constant add up to the raw score (log-odds).
    np.testing.assert_allclose(contrib.sum(axis=1), model.booster.predict(x, raw_score=True))
    best = latest.assign(top=[FEATURE_COLS[i] for i in np.argmax(contrib[:, :-1], axis=1)])
    got = out[out["donem"] == matrix["donem"].max()].head(5)
    want = dict(zip(best["entity_id"], best["top"]))
    assert [want[e] for e in got["entity_id"]] == list(got["reason_1"])


def test_training_leaves_out_yi_rows_and_counts_only_candidates(matrix):
    frame = matrix.copy()
    yi = frame["qvr_score"] >= YI
    model = train(frame, 3, params=FAST, threads=1, num_boost_round=30)
    # Rows already "YI" are not candidates: changing their features cannot change the model.
    frame.loc[yi, "diag_kik_bulgu"] = 99.0
    again = train(frame, 3, params=FAST, threads=1, num_boost_round=30)
    assert model.model_text == again.model_text
    assert model.card["data"] == again.card["data"]


def test_repeated_rows_are_refused_unless_the_first_is_kept(model, matrix):
    doubled = pd.concat([matrix, matrix.iloc[[3, 8]].assign(qvr_score=1.0)], ignore_index=True)
    with pytest.raises(ValueError, match=r"^2 rows repeat an \(entity_id, donem\) pair"):
        model.predict(doubled)
    with pytest.raises(ValueError, match="2 rows repeat"):
        train(doubled, 3, params=FAST)
    pd.testing.assert_frame_equal(model.predict(doubled, keep="first"), model.predict(matrix))


def test_a_matrix_with_other_columns_is_refused(model, matrix):
    with pytest.raises(ValueError, match="missing qvr_lag_2"):
        model.predict(matrix.drop(columns=["qvr_lag_2"]))
    with pytest.raises(ValueError, match="unknown extra"):
        model.predict(matrix.assign(extra=1))
    with pytest.raises(ValueError, match="missing label"):
        train(matrix.drop(columns=["label"]), 3)
    with pytest.raises(ValueError, match="non-numeric feature columns: risk_mio"):
        model.predict(matrix.assign(risk_mio="x"))


def test_a_single_class_cannot_train(matrix):
    flat = matrix.assign(qvr_score=np.where(matrix["qvr_score"] >= YI, 500.0, matrix["qvr_score"]),
                         label=np.where(matrix["label"].notna(), 0.0, np.nan))
    with pytest.raises(ValueError, match="single class"):
        train(flat, 3, params=FAST)


@pytest.mark.parametrize("with_diag", [False, True])
def test_the_matrix_of_build_features_trains_as_it_is(tmp_path, with_diag):
    # Without a diagnostic file donem stays an integer, with one it becomes text.
    from halvex.ml.features import build_features
    from halvex.sample.facts_db import write_sample_db
    db = write_sample_db(tmp_path / "f.duckdb", n_entities=1500, n_periods=12, seed=2,
                         with_diag=with_diag)
    frame = build_features(db)
    before = frame.copy()
    model = train(frame, 3, params=FAST, threads=1, num_boost_round=20)
    pd.testing.assert_frame_equal(frame, before)
    split = model.card["split"]
    assert [str(p) for p in split["valid_periods"]] == ["202309", "202310"]
    assert str(split["origin"]) == "202312"
    out = model.predict(frame)
    assert len(out) == int((frame["qvr_score"] < 1000).sum() + frame["qvr_score"].isna().sum())
    assert out["donem"].dtype == frame["donem"].dtype and out["entity_id"].dtype == frame["entity_id"].dtype
    assert model.predict(frame.iloc[:0]).empty
