"""Rolling-origin back-test: which origins exist, no origin's model sees past it, the saved
files agree with the summary, and the same input gives the same bytes."""

from __future__ import annotations

import json

import numpy as np
import pytest

from halvex.ml.features import build_features
from halvex.ml.model import backtest, periods_to_yi, timeline
from halvex.sample.facts_db import write_sample_db
from model_matrices import YI, matrix_from_histories, random_histories

FAST = {"num_leaves": 7, "min_data_in_leaf": 5, "min_data_per_group": 5, "learning_rate": 0.2}
HORIZON = 3


def _run(matrix, **kw):
    return backtest(matrix, HORIZON, params=FAST, threads=1, top_n=20, **kw)


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    db = write_sample_db(tmp_path_factory.mktemp("bt") / "facts.duckdb", n_entities=250,
                         n_periods=24, seed=5)
    return build_features(db, target_horizon=HORIZON)


@pytest.fixture(scope="module")
def result(sample):
    return _run(sample)


@pytest.fixture(scope="module")
def saved(result, tmp_path_factory):
    folder = tmp_path_factory.mktemp("out") / "backtest"
    result.save(folder)
    return folder


def _strict(path):
    def refuse(name):
        raise AssertionError(f"{path.name} holds {name}")
    return json.loads(path.read_text(encoding="utf-8"), parse_constant=refuse)


def test_origins_are_the_last_six_and_short_data_gives_fewer(sample, result):
    summary = result.backtest_summary
    assert summary["origins_used"] == 6 and summary["origins_possible"] >= 6
    periods = timeline(sample, HORIZON).periods
    used = [o["origin"] for o in summary["origins"]]
    # The last periods with settled labels: the final `horizon` periods have none.
    assert used == list(periods[-HORIZON - 6:-HORIZON])

    short = matrix_from_histories(random_histories(200, list(range(1, 14)), seed=2), HORIZON)
    few = _run(short).backtest_summary
    assert 1 <= few["origins_possible"] == few["origins_used"] < 6
    assert len(few["origins"]) == few["origins_used"]
    tiny = matrix_from_histories(random_histories(50, [1, 2, 3, 4], seed=2), HORIZON)
    with pytest.raises(ValueError, match="no origin to back-test"):
        _run(tiny)


def test_no_origin_learns_from_a_label_settled_after_it(sample, result):
    # A label window spans `horizon` following rows, each in a later period, so a row whose
    # window ends by the origin lies at least `horizon` periods before it.
    position = {p: i for i, p in enumerate(timeline(sample, HORIZON).periods)}
    for o in result.backtest_summary["origins"]:
        seen = o["train_periods"] + o["valid_periods"]
        assert max(position[p] for p in seen) + HORIZON <= position[o["origin"]]
        last_train = max(position[p] for p in o["train_periods"])
        assert last_train + HORIZON <= position[o["valid_periods"][0]]


def test_gapped_histories_keep_training_before_the_origin():
    histories = random_histories(300, list(range(1, 17)), seed=7, gap_rate=0.35)
    frame = matrix_from_histories(histories, HORIZON)
    line = timeline(frame, HORIZON)
    for o in _run(frame, origins=3).backtest_summary["origins"]:
        origin = line.periods.index(o["origin"])
        first_valid = line.periods.index(o["valid_periods"][0])
        ends = line.window_end[np.isin(frame["donem"], o["train_periods"])]
        # Every row of a training period that was learnt from ended by the validation start.
        assert (np.sort(ends)[:o["train_rows"]] <= first_valid).all()
        assert first_valid <= origin


def test_caught_and_missed_follow_from_the_saved_firma(result, saved):
    summary = _strict(saved / "backtest_summary.json")
    firma = _strict(saved / "backtest_firma.json")
    for o in summary["origins"]:
        key = str(o["origin"])
        rows = [v[key] for v in firma.values() if key in v]
        assert o["caught"] == sum(r["alerted"] and r["outcome"] == 1 for r in rows)
        assert o["missed"] == sum(not r["alerted"] and r["outcome"] == 1 for r in rows)
        assert o["false_alarms"] == sum(r["alerted"] and r["outcome"] == 0 for r in rows)
        assert o["positives"] == o["caught"] + o["missed"]
    assert summary["overall"]["caught"] == sum(o["caught"] for o in summary["origins"])
    # Only borrowers with an alert or a YI outcome are listed.
    assert all(r["alerted"] or r["outcome"] == 1 for v in firma.values() for r in v.values())


def test_saved_json_round_trips_without_nan(result, saved):
    assert _strict(saved / "backtest_summary.json") == result.backtest_summary
    assert _strict(saved / "backtest_firma.json") == result.backtest_firma
    predictions = _strict(saved / "ml_predictions.json")
    assert predictions == result.ml_predictions
    assert [p["rank"] for p in predictions] == list(range(1, 21))
    assert all(len(p["reasons"]) == 3 for p in predictions)


def test_same_input_gives_the_same_files(sample, saved, tmp_path):
    _run(sample.sample(frac=1.0, random_state=3)).save(tmp_path)
    for name in ("backtest_summary.json", "backtest_firma.json", "ml_predictions.json"):
        assert (tmp_path / name).read_bytes() == (saved / name).read_bytes(), name


def test_periods_to_yi_counts_rows_of_the_borrowers_history_not_months():
    frame = matrix_from_histories({
        "A": [(1, 500), (2, 510), (6, 520), (9, YI), (10, 300)],
        "B": [(1, 400), (2, YI), (3, YI)],
        "C": [(1, 400), (5, 410)],
    }, horizon=3)
    k = dict(zip(zip(frame["entity_id"], frame["donem"]), periods_to_yi(frame, 3)))
    assert [k["A", d] for d in (1, 2, 6)] == [3, 2, 1]   # 6 -> 9 is one row, three months
    assert np.isnan(k["A", 9]) and np.isnan(k["A", 10])
    assert k["B", 1] == 1 and k["B", 2] == 1             # the nearest YI row counts
    assert np.isnan(k["C", 1]) and np.isnan(k["C", 5])


def test_the_latest_model_carries_the_backtests_figures_and_beats_the_score_alone(result):
    summary, card = result.backtest_summary, result.model.card
    overall = summary["overall"]
    assert card["backtest"]["origins"] == [o["origin"] for o in summary["origins"]]
    assert (card["backtest"]["auc"], card["backtest"]["rows"]) == (overall["auc"], overall["rows"])
    assert card["split"]["origin"] == summary["latest"]["period"]
    assert card["stability"]["score_psi"] == summary["latest"]["score_psi"]
    # The sample's hazard depends on more than the score: the model ranks better than it.
    assert overall["auc"] > overall["score_alone_auc"]
