"""Model metrics: scikit-learn's own answers on the same arrays, hand-made tables with known
alerts and captures, and PSI on known distributions."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("sklearn")
from sklearn.calibration import calibration_curve  # noqa: E402
from sklearn.metrics import (average_precision_score, brier_score_loss, roc_auc_score,  # noqa: E402
                             roc_curve)

from halvex.ml.model import metrics as M  # noqa: E402


def _arrays(kind: str):
    rng = np.random.default_rng(5)
    y = (rng.random(400) < 0.15).astype(int)
    if kind == "ties":
        s = np.round(rng.normal(size=400) + y, 0)  # a handful of distinct scores
    elif kind == "all equal":
        s = np.full(400, 3.0)
    elif kind == "inverted":  # worse than chance: KS stays max(TPR - FPR), not its size
        s = rng.normal(size=400) - 1.5 * y
    else:
        s = rng.normal(size=400) + 1.5 * y
    p = 1.0 / (1.0 + np.exp(-s))
    return y, s, p


@pytest.mark.parametrize("kind", ["continuous", "ties", "all equal", "inverted"])
def test_ranking_metrics_are_scikit_learns(kind):
    y, s, p = _arrays(kind)
    got = M.evaluate(y, s, p)
    fpr, tpr, _ = roc_curve(y, s)
    assert (got.rows, got.positives) == (400, int(y.sum()))
    assert got.auc == pytest.approx(roc_auc_score(y, s), abs=1e-12)
    assert got.gini == pytest.approx(2 * roc_auc_score(y, s) - 1, abs=1e-12)
    assert got.ks == pytest.approx(np.max(tpr - fpr), abs=1e-12)
    assert got.pr_auc == pytest.approx(average_precision_score(y, s), abs=1e-12)
    assert got.brier == pytest.approx(brier_score_loss(y, p), abs=1e-12)
    assert sum(b.rows for b in got.calibration) == 400
    if kind == "all equal":
        assert got.auc == 0.5 and got.ks == 0.0 and len(got.calibration) == 1


def test_calibration_table_cuts_as_calibration_curve_does():
    y, s, p = _arrays("continuous")  # p rises with s: score deciles are probability deciles
    table = M.calibration_by_decile(y, s, p)
    observed, predicted = calibration_curve(y, p, n_bins=10, strategy="quantile")
    assert len(table) == 10
    np.testing.assert_allclose([b.observed_rate for b in table], observed, atol=1e-12)
    np.testing.assert_allclose([b.mean_prob for b in table], predicted, atol=1e-12)


def test_tied_scores_share_a_calibration_bin():
    y, s, p = _arrays("ties")
    table = M.calibration_by_decile(y, s, p)
    assert len(table) < 10
    for a, b in zip(table, table[1:]):
        assert a.score_max < b.score_min  # no score value split over two bins
    by_value = pd.Series(y).groupby(s).size()
    assert [b.rows for b in table if b.score_min == b.score_max] == \
        [int(by_value[b.score_min]) for b in table if b.score_min == b.score_max]


@pytest.mark.parametrize("y, reason", [([0] * 6, "no positives"), ([1] * 6, "no negatives")])
def test_single_class_gives_none_with_reason(y, reason):
    got = M.evaluate(y, np.arange(6.0), np.full(6, 0.3))
    assert got.auc is got.gini is got.ks is got.pr_auc is None
    assert reason in got.undefined
    assert got.brier == pytest.approx(brier_score_loss(y, np.full(6, 0.3), labels=[0, 1]))
    assert all(c.capture is None and c.lift is None for c in got.capture) or reason == "no negatives"
    empty = M.evaluate([], [], [])
    assert (empty.rows, empty.auc, empty.brier, empty.undefined) == (0, None, None, "no rows")


@pytest.mark.parametrize("y, s, p, message", [
    ([0, 1, 1], [0.1, 0.2, 0.3], [0.1, np.nan, 0.3], "probabilities are missing"),
    ([0, 1, 1], [0.1, np.nan, 0.3], [0.1, 0.2, 0.3], "scores are missing"),
    ([0, np.nan, 1], [0.1, 0.2, 0.3], [0.1, 0.2, 0.3], "labels are missing"),
    ([0, 2, 1], [0.1, 0.2, 0.3], [0.1, 0.2, 0.3], "0 or 1"),
    ([0, 1, 1], [0.1, 0.2, 0.3], [0.1, 1.2, 0.3], "between 0 and 1"),
    ([0, 1, 1], [0.1, 0.2], [0.1, 0.2, 0.3], "shape"),
])
def test_bad_vectors_are_refused(y, s, p, message):
    with pytest.raises(ValueError, match=message):
        M.evaluate(y, s, p)


# Twenty rows, scores 20 down to 1; YI at the ranks 1, 3, 12 and 20.
HAND_S = np.arange(20, 0, -1, dtype=float)
HAND_Y = np.isin(np.arange(1, 21), [1, 3, 12, 20]).astype(int)


def test_capture_and_lift_on_a_hand_made_table():
    got = {c.share: c for c in M.capture_lift(HAND_Y, HAND_S, (0.01, 0.05, 0.10, 0.15, 1.0))}
    # 1 % of 20 rows rounds up to one row, as 5 % does: the top row is a YI.
    assert [(got[x].rows, got[x].positives) for x in (0.01, 0.05, 0.10, 0.15, 1.0)] == \
        [(1, 1), (1, 1), (2, 1), (3, 2), (20, 4)]
    assert got[0.05].capture == 0.25 and got[0.05].lift == pytest.approx(5.0)
    assert got[0.15].capture == 0.5 and got[0.15].lift == pytest.approx(0.5 / 0.15)
    assert got[1.0].lift == pytest.approx(1.0)


def test_a_tie_at_the_cut_widens_the_top_without_inflating_lift():
    s = np.array([5, 5, 5, 1, 1, 1, 1, 1, 1, 1], dtype=float)
    y = np.array([1, 0, 0, 1, 0, 0, 0, 0, 0, 0])
    (top,) = M.capture_lift(y, s, (0.10,))
    assert (top.rows, top.positives, top.capture) == (3, 1, 0.5)
    assert top.lift == pytest.approx(0.5 / 0.3)
    assert M.capture_lift(y, np.full(10, 2.0), (0.01,))[0].lift == pytest.approx(1.0)


def test_alerts_caught_missed_and_lead_time_on_a_hand_made_table():
    s = np.array([0.9, 0.8, 0.7, 0.6, 0.5, 0.4, 0.3, 0.2, 0.1, 0.0])
    y = np.array([1, 0, 1, 1, 0, 0, 1, 0, 0, 0])
    k = np.array([2, np.nan, 3, 1, np.nan, np.nan, 1, np.nan, np.nan, np.nan])
    got = M.alerts(y, s, 0.3, periods_to_yi=k)
    assert got.alerted.tolist() == [True, True, True] + [False] * 7
    assert np.flatnonzero(got.caught).tolist() == [0, 2]
    assert np.flatnonzero(got.missed).tolist() == [3, 6]
    assert np.flatnonzero(got.false_alarm).tolist() == [1]
    assert got.counts == {"alerted": 3, "caught": 2, "missed": 2, "false_alarms": 1}
    assert got.mean_lead_time == pytest.approx(2.5)
    assert got.cutoff == M.alert_threshold(s, 0.3) == 0.7
    assert M.alerts(y, s, 0.0).mean_lead_time is None and M.alert_threshold(s, 0.0) == math.inf
    with pytest.raises(ValueError, match="label 1"):
        M.alerts(y, s, 0.3, periods_to_yi=np.where(np.arange(10) == 3, np.nan, k))


def test_alert_share_defaults_to_three_times_the_training_rate():
    assert M.alert_share([1] + [0] * 19) == pytest.approx(0.15)
    assert M.alert_share([1, 0, 0, 1, 0]) == 1.0  # 3 x 40 % capped at all rows
    assert M.alert_share([1, 0], share=0.02) == 0.02
    assert M.alert_share([0, 0, 0]) == 0.0
    for bad in (dict(share=1.5), dict(multiple=-1.0)):
        with pytest.raises(ValueError):
            M.alert_share([0, 1], **bad)


def test_metrics_by_segment_match_the_segment_alone():
    y, s, p = _arrays("continuous")
    seg = np.resize(["KOBI", "MIKRO", "none"], 400)
    frame = pd.DataFrame({"seg_KOBI": (seg == "KOBI").astype(int),
                          "seg_MIKRO": (seg == "MIKRO").astype(int)})
    got = M.evaluate_by_segment(frame, y, s, p)
    assert list(got) == ["KOBI", "MIKRO", "none"]
    for name, metrics in got.items():
        mask = seg == name
        assert metrics.rows == mask.sum()
        assert metrics.auc == pytest.approx(roc_auc_score(y[mask], s[mask]))
    frame.loc[0, "seg_MIKRO"] = 1
    with pytest.raises(ValueError, match="more than one"):
        M.evaluate_by_segment(frame, y, s, p)


class TestPsi:
    def test_identical_is_zero_and_a_shift_is_to_act_on(self):
        rng = np.random.default_rng(1)
        base = rng.normal(size=20000)
        assert M.psi(base, base.copy()) == 0.0
        assert M.psi(base, rng.normal(size=20000)) < 0.01
        shifted = M.psi(base, rng.normal(loc=1.0, size=20000))
        assert shifted > 0.25 and M.psi_band(shifted) == "act"

    def test_known_answer_with_empty_bins(self):
        expected = np.arange(100.0)  # ten bins of ten
        got = M.psi(expected, np.zeros(50))  # everything in the first bin
        eps = M.PSI_EPSILON
        assert got == pytest.approx((1 - 0.1) * math.log(1 / 0.1) + 9 * (eps - 0.1) * math.log(eps / 0.1))

    def test_missing_values_are_a_bin_and_outliers_still_count(self):
        base = np.arange(1000.0)
        with_gaps = np.where(np.arange(1000) % 2 == 0, np.nan, base)
        assert M.psi(with_gaps, with_gaps[::-1]) == pytest.approx(0.0, abs=1e-12)
        assert M.psi(base, with_gaps) > 0.25
        assert M.psi(base, base + 5000) > 0.25  # all beyond the expected maximum
        assert M.psi([0, 1, 1, 0], [1, 1, 1, 1]) > 0.25  # two values: two bins

    @pytest.mark.parametrize("value, band", [(0.0, "stable"), (0.0999, "stable"), (0.1, "watch"),
                                             (0.2499, "watch"), (0.25, "act"), (3.0, "act")])
    def test_band_edges(self, value, band):
        assert M.psi_band(value) == band

    def test_feature_psi_and_refusals(self):
        train = pd.DataFrame({"a": np.arange(100.0), "b": np.ones(100)})
        latest = pd.DataFrame({"a": np.arange(100.0) + 80, "b": np.ones(100)})
        got = M.feature_psi(train, latest, ["a", "b"])
        assert got["a"].band == "act" and got["b"] == M.Psi(0.0, "stable")
        with pytest.raises(KeyError, match="latest frame lacks c"):
            M.feature_psi(train.assign(c=1.0), latest, ["c"])
        with pytest.raises(ValueError):
            M.psi([], [1.0])
        with pytest.raises(ValueError):
            M.psi_band(float("nan"))
