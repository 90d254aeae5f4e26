"""No look-ahead: label windows over gapped histories, and a model trained at an origin
that cannot see past it."""

from __future__ import annotations

import numpy as np
import pytest

from halvex.ml.model import split_at, timeline, train
from model_matrices import YI, matrix_from_histories, random_histories

PERIODS = list(range(1, 17))
FAST = {"num_leaves": 7, "min_data_in_leaf": 5, "min_data_per_group": 5, "learning_rate": 0.2}


def _ends(frame, line):
    return {(e, d): (line.periods[w] if w < len(line.periods) else None)
            for e, d, w in zip(frame["entity_id"], frame["donem"], line.window_end)}


def test_label_window_ends_at_the_hth_following_row_of_a_gapped_history():
    frame = matrix_from_histories({
        "A": [(1, 500), (2, 510), (4, 520), (7, 530), (8, 540), (10, 550)],
        "B": [(1, 400), (3, 410), (5, 420)],   # leaves at 5: settled from period 6 on
        "C": [(9, 300), (10, 310)],
    }, horizon=2)
    ends = _ends(frame, timeline(frame, 2))
    # By rows, not by "t + 2": 1 -> 4, 2 -> 7, 4 -> 8, 7 -> 10.
    assert [ends["A", d] for d in (1, 2, 4, 7)] == [4, 7, 8, 10]
    # The last rows of a borrower still in the data at the end are never settled.
    assert ends["A", 8] is None and ends["A", 10] is None and ends["C", 9] is None
    # A borrower who left: the short window is settled at the data's next period after its
    # last row (6 is no period of the data).
    assert ends["B", 1] == 5 and ends["B", 3] == 7 and ends["B", 5] is None


def test_periods_are_ordered_as_text_and_shuffled_rows_change_nothing():
    histories = random_histories(60, PERIODS, seed=3)
    frame = matrix_from_histories(histories, horizon=3)
    as_text = frame.assign(donem=frame["donem"].map(lambda p: f"2024-{p:02d}-01"))
    shuffled = as_text.sample(frac=1.0, random_state=1)
    a, b = timeline(as_text, 3), timeline(shuffled, 3)
    assert a.periods == b.periods == [f"2024-{p:02d}-01" for p in PERIODS]
    ends_a = dict(zip(zip(as_text["entity_id"], as_text["donem"]), a.window_end))
    ends_b = dict(zip(zip(shuffled["entity_id"], shuffled["donem"]), b.window_end))
    assert ends_a == ends_b


def _truncated_labels(histories, origin, horizon):
    """Each row's label as known at ``origin`` (rows after it not yet seen), None when not
    yet settled then."""
    known = {}
    for entity, history in histories.items():
        seen = [(d, s) for d, s in history if d <= origin]
        gone = len(seen) == len(history) and history[-1][0] < origin  # left before the origin
        for i, (d, _) in enumerate(seen):
            ahead = [s for _, s in seen[i + 1:i + 1 + horizon]]
            complete = len(ahead) == horizon or gone
            scored = [s for s in ahead if not np.isnan(s)]
            known[entity, d] = (1.0 if YI in ahead else 0.0) if (complete and scored) else None
    return known


@pytest.mark.parametrize("origin", [9, 12, 16])
def test_every_row_learnt_from_has_its_label_known_at_the_origin(origin):
    histories = random_histories(300, PERIODS, seed=origin)
    frame = matrix_from_histories(histories, horizon=3)
    split = split_at(frame, timeline(frame, 3), origin)
    known = _truncated_labels(histories, origin, 3)
    used = frame.loc[split.train | split.valid]
    assert len(used) > 0
    for e, d, label in zip(used["entity_id"], used["donem"], used["label"]):
        assert known[e, d] == label, (e, d)
    # Training labels end by the first validation period.
    first_valid = min(split.valid_periods)
    train_known = _truncated_labels(histories, first_valid, 3)
    for e, d, label in zip(frame.loc[split.train, "entity_id"], frame.loc[split.train, "donem"],
                           frame.loc[split.train, "label"]):
        assert train_known[e, d] == label, (e, d)


def _rewrite_future(histories, origin, seed):
    rng = np.random.default_rng(seed)
    return {e: [(d, s if d <= origin else (YI if rng.random() < 0.5 else float(rng.integers(0, 999))))
                for d, s in h] for e, h in histories.items()}


def test_a_planted_leak_of_the_future_does_not_reach_the_model():
    # A feature that copies the label: rows whose windows end after the origin carry the
    # future in it. Rewriting everything after the origin must leave the model unchanged.
    origin = 12
    histories = random_histories(400, PERIODS, seed=7)
    models = []
    for h in (histories, _rewrite_future(histories, origin, seed=1)):
        frame = matrix_from_histories(h, horizon=3)
        frame["diag_sql_diskalma"] = frame["label"].fillna(0.0)
        models.append(train(frame, 3, origin=origin, params=FAST, threads=1, num_boost_round=40))
    assert models[0].card["split"] == models[1].card["split"]
    assert models[0].card["data"] == models[1].card["data"]  # the same rows, labels, features
    assert models[0].model_text == models[1].model_text
    assert models[0].calibration == models[1].calibration


def test_a_matrix_built_for_a_longer_horizon_is_refused():
    frame = matrix_from_histories({"A": [(1, 500), (2, 600), (3, 700), (4, YI), (5, 500)]}, horizon=3)
    with pytest.raises(ValueError, match="1 positive labels have no \"YI\" score within 2"):
        timeline(frame, 2)


def test_too_few_periods_for_the_horizon_is_a_clear_error():
    frame = matrix_from_histories(random_histories(50, [1, 2, 3, 4, 5], seed=1), horizon=3)
    with pytest.raises(ValueError, match="too few periods for the horizon"):
        split_at(frame, timeline(frame, 3))
    with pytest.raises(ValueError, match="period 99 is not in the data"):
        split_at(frame, timeline(frame, 3), origin=99)


def test_a_matrix_without_rows_or_labels_is_a_clear_error():
    frame = matrix_from_histories(random_histories(50, PERIODS, seed=2), horizon=3)
    with pytest.raises(ValueError, match="the matrix has no rows"):
        train(frame.iloc[:0], 3)
    with pytest.raises(ValueError, match="no labelled rows"):
        train(frame.assign(label=np.nan), 3)
