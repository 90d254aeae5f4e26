"""Evaluation of the close-monitoring model: ranking, calibration, alerts and stability.

Pure functions over numpy arrays and pandas frames. Every input is a vector per candidate
row: ``y`` the realised label (0/1, YI within the horizon), ``s`` the model's raw score
(ranking, alerts and AUC use it) and ``p`` the calibrated probability (Brier and the
calibration table use it). AUC, KS, PR-AUC and Brier come from scikit-learn; what is
computed here is only the bookkeeping around them.

A vector with one class only (no positives, or nothing but positives) has no AUC, Gini, KS
or PR-AUC: those are ``None`` and ``undefined`` says why; counts, Brier and the calibration
table are still given. Missing labels, scores or probabilities are refused with
``ValueError``: rows without a label are not evaluated, the caller leaves them out.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Iterable, Mapping, Sequence

import numpy as np
import pandas as pd
from sklearn.metrics import (average_precision_score, brier_score_loss, precision_recall_curve,
                             roc_auc_score, roc_curve)

TOP_SHARES = (0.01, 0.05, 0.10)
CALIBRATION_BINS = 10
# Default alert share: this many times the YI rate of the training window.
ALERT_RATE_MULTIPLE = 3.0
MAX_ALERT_SHARE = 1.0
PSI_BINS = 10
# Stands in for an empty bin's share, so that its log term stays finite.
PSI_EPSILON = 1e-4
PSI_WATCH = 0.1
PSI_ACT = 0.25
# Points kept of a ROC or precision-recall curve: enough to draw it, few enough to store.
CURVE_POINTS = 300
SEGMENT_PREFIX = "seg_"
NO_SEGMENT = "none"


@dataclass(frozen=True)
class CalibrationBin:
    """One score decile: its score range, rows, mean probability and observed YI rate."""
    score_min: float
    score_max: float
    rows: int
    mean_prob: float
    observed_rate: float


@dataclass(frozen=True)
class Capture:
    """The top ``share`` of rows by raw score: how many positives they hold."""
    share: float
    rows: int
    positives: int
    capture: float | None
    lift: float | None


@dataclass(frozen=True)
class Metrics:
    rows: int
    positives: int
    auc: float | None
    gini: float | None
    ks: float | None
    pr_auc: float | None
    brier: float | None
    calibration: list[CalibrationBin] = field(default_factory=list)
    capture: list[Capture] = field(default_factory=list)
    undefined: str | None = None


def _labels(y) -> np.ndarray:
    arr = np.asarray(y, dtype=float)
    if arr.ndim != 1:
        raise ValueError(f"labels must be one-dimensional, got shape {arr.shape}")
    if np.isnan(arr).any():
        raise ValueError(f"{int(np.isnan(arr).sum())} labels are missing; leave unlabelled rows out")
    if not np.isin(arr, (0.0, 1.0)).all():
        raise ValueError("labels must be 0 or 1")
    return arr.astype(np.int8)


def _values(name: str, values, n: int, unit: bool = False) -> np.ndarray:
    arr = np.asarray(values, dtype=float)
    if arr.shape != (n,):
        raise ValueError(f"{name} has shape {arr.shape}, the labels ({n},)")
    bad = ~np.isfinite(arr)
    if bad.any():
        raise ValueError(f"{int(bad.sum())} {name} are missing or infinite")
    if unit and ((arr < 0) | (arr > 1)).any():
        raise ValueError(f"{name} must lie between 0 and 1")
    return arr


def _inputs(y, s, p=None):
    y = _labels(y)
    s = _values("scores", s, y.size)
    p = None if p is None else _values("probabilities", p, y.size, unit=True)
    return y, s, p


def _why_undefined(y: np.ndarray) -> str | None:
    if y.size == 0:
        return "no rows"
    positives = int(y.sum())
    if positives == 0:
        return "no positives: one class only"
    if positives == y.size:
        return "no negatives: one class only"
    return None


def top_mask(s, share: float) -> np.ndarray:
    """Rows in the top ``share`` (0..1) by score: the ceil(share * rows) highest scores, and
    every row tied with the lowest of them, so that a tie never splits by row order."""
    s = np.asarray(s, dtype=float)
    if not 0.0 <= share <= 1.0:
        raise ValueError(f"share must lie between 0 and 1, got {share}")
    k = math.ceil(round(share * s.size, 9))
    if k == 0:
        return np.zeros(s.size, dtype=bool)
    cutoff = np.partition(s, s.size - k)[s.size - k]
    return s >= cutoff


def capture_lift(y, s, shares: Sequence[float] = TOP_SHARES) -> list[Capture]:
    """Capture: share of all positives that fall in the top X % of rows by raw score.

    Lift: capture divided by the share of rows in the top, i.e. how many times the YI rate of
    the top is above the overall rate. That share is X unless ties at the cut widen the top
    (``top_mask``); dividing by the rows actually taken keeps a tie from inflating the lift.
    Without positives, capture and lift are ``None``.
    """
    y, s, _ = _inputs(y, s)
    positives = int(y.sum())
    out = []
    for share in shares:
        top = top_mask(s, share)
        rows, caught = int(top.sum()), int(y[top].sum())
        capture = caught / positives if positives else None
        lift = capture / (rows / y.size) if capture is not None and rows else None
        out.append(Capture(share, rows, caught, capture, lift))
    return out


def calibration_by_decile(y, s, p, bins: int = CALIBRATION_BINS) -> list[CalibrationBin]:
    """Calibration table: rows cut into ``bins`` quantile bins of the raw score (pandas
    ``qcut``: right-closed, edges by linear interpolation, as scikit-learn's
    ``calibration_curve(strategy="quantile")`` cuts), then per bin the mean probability and
    the observed YI rate.

    Ties: equal scores always share a bin. Where ties make two quantile edges equal the two
    bins become one, so a score with few distinct values gives fewer than ``bins`` rows (all
    equal scores: one).
    """
    y, s, p = _inputs(y, s, p)
    if y.size == 0:
        return []
    codes = pd.qcut(s, bins, labels=False, duplicates="drop") if np.unique(s).size > 1 \
        else np.zeros(s.size, dtype=int)
    frame = pd.DataFrame({"bin": codes, "s": s, "p": p, "y": y})
    grouped = frame.groupby("bin", sort=True)
    table = grouped.agg(score_min=("s", "min"), score_max=("s", "max"), rows=("y", "size"),
                        mean_prob=("p", "mean"), observed_rate=("y", "mean"))
    return [CalibrationBin(float(r.score_min), float(r.score_max), int(r.rows),
                           float(r.mean_prob), float(r.observed_rate))
            for r in table.itertuples()]


def evaluate(y, s, p, shares: Sequence[float] = TOP_SHARES,
             bins: int = CALIBRATION_BINS) -> Metrics:
    """Every metric of one set of rows (one origin, all origins or one segment).

    AUC (``roc_auc_score`` on the raw score), Gini = 2 AUC - 1, KS = max(TPR - FPR) over
    ``roc_curve``, PR-AUC (``average_precision_score``), Brier (``brier_score_loss`` on the
    calibrated probability), the calibration table and capture/lift at ``shares``.
    """
    y, s, p = _inputs(y, s, p)
    undefined = _why_undefined(y)
    auc = gini = ks = pr_auc = None
    if undefined is None:
        auc = float(roc_auc_score(y, s))
        gini = 2.0 * auc - 1.0
        fpr, tpr, _ = roc_curve(y, s)
        ks = float(np.max(tpr - fpr))
        pr_auc = float(average_precision_score(y, s))
    brier = float(brier_score_loss(y, p, labels=[0, 1])) if y.size else None
    return Metrics(rows=int(y.size), positives=int(y.sum()), auc=auc, gini=gini, ks=ks,
                   pr_auc=pr_auc, brier=brier, calibration=calibration_by_decile(y, s, p, bins),
                   capture=capture_lift(y, s, shares), undefined=undefined)


def _thinned(n: int, max_points: int) -> np.ndarray:
    """Indices of at most ``max_points`` of ``n`` points, evenly spread, first and last kept."""
    if n <= max_points:
        return np.arange(n)
    return np.unique(np.round(np.linspace(0, n - 1, max(max_points, 2))).astype(np.int64))


def curves(y, s, max_points: int = CURVE_POINTS) -> dict:
    """The ROC, precision-recall and capture curves of one set of rows, for drawing.

    ``roc``: ``fpr`` and ``tpr`` of scikit-learn's ``roc_curve`` (raw score), from (0, 0) to
    (1, 1). ``pr``: ``recall`` and ``precision`` of ``precision_recall_curve``, recall
    falling to 0. ``capture``: at each ROC point, the share of rows above the threshold
    (``share``) and of positives among them (``capture`` = tpr). Each curve is thinned to
    at most ``max_points`` points (evenly by index, ends kept); on the unthinned ROC the
    trapezoid area is the AUC, on the unthinned PR curve the step sum is the PR-AUC. With
    one class only the curves are ``None`` and ``undefined`` says why.
    """
    y, s, _ = _inputs(y, s)
    if max_points < 2:
        raise ValueError(f"max_points must be 2 or more, got {max_points}")
    undefined = _why_undefined(y)
    out = {"rows": int(y.size), "positives": int(y.sum()), "undefined": undefined,
           "roc": None, "pr": None, "capture": None}
    if undefined is not None:
        return out
    fpr, tpr, _ = roc_curve(y, s)
    precision, recall, _ = precision_recall_curve(y, s)
    positives = out["positives"]
    share = (tpr * positives + fpr * (y.size - positives)) / y.size
    keep = _thinned(fpr.size, max_points)
    out["roc"] = {"fpr": fpr[keep].tolist(), "tpr": tpr[keep].tolist()}
    out["capture"] = {"share": share[keep].tolist(), "capture": tpr[keep].tolist()}
    keep = _thinned(recall.size, max_points)
    out["pr"] = {"recall": recall[keep].tolist(), "precision": precision[keep].tolist()}
    return out


def segment_of(frame: pd.DataFrame) -> pd.Series:
    """Each row's segment from the matrix's one-hot ``seg_*`` columns (``KOBI``, ``KUR_TIC``,
    ...); ``none`` for a row with none of them set (an unknown or missing segment)."""
    cols = [c for c in frame.columns if c.startswith(SEGMENT_PREFIX)]
    if not cols:
        raise ValueError("the frame has no seg_* columns")
    onehot = frame[cols].to_numpy(dtype=float) == 1
    if (onehot.sum(axis=1) > 1).any():
        raise ValueError("a row has more than one seg_* column set")
    names = np.array([c[len(SEGMENT_PREFIX):] for c in cols] + [NO_SEGMENT], dtype=object)
    pick = np.where(onehot.any(axis=1), onehot.argmax(axis=1), len(cols))
    return pd.Series(names[pick], index=frame.index, name="segment")


def evaluate_by_segment(frame: pd.DataFrame, y, s, p, shares: Sequence[float] = TOP_SHARES,
                        bins: int = CALIBRATION_BINS) -> dict[str, Metrics]:
    """``evaluate`` per segment of ``frame`` (rows aligned with y, s, p), segments sorted;
    the ranking and top shares are those within the segment."""
    y, s, p = _inputs(y, s, p)
    if len(frame) != y.size:
        raise ValueError(f"the frame has {len(frame)} rows, the labels {y.size}")
    seg = segment_of(frame).to_numpy()
    return {name: evaluate(y[seg == name], s[seg == name], p[seg == name], shares, bins)
            for name in sorted(set(seg))}


# Alerts -----------------------------------------------------------------------------------

@dataclass(frozen=True)
class Alerts:
    """Alert outcome of one origin. The arrays are per row, in the input order."""
    share: float
    cutoff: float
    alerted: np.ndarray
    caught: np.ndarray
    missed: np.ndarray
    false_alarm: np.ndarray
    mean_lead_time: float | None

    @property
    def counts(self) -> dict[str, int]:
        return {"alerted": int(self.alerted.sum()), "caught": int(self.caught.sum()),
                "missed": int(self.missed.sum()), "false_alarms": int(self.false_alarm.sum())}


def alert_share(train_labels, multiple: float = ALERT_RATE_MULTIPLE,
                share: float | None = None) -> float:
    """The share X of an origin's candidates that is alerted: ``share`` when given, otherwise
    ``multiple`` times the YI rate of the training window's labels, capped at 100 %."""
    if share is not None:
        if not 0.0 <= share <= 1.0:
            raise ValueError(f"alert share must lie between 0 and 1, got {share}")
        return float(share)
    if multiple < 0:
        raise ValueError(f"alert multiple must not be negative, got {multiple}")
    y = _labels(train_labels)
    if y.size == 0:
        raise ValueError("no training labels to take the YI rate from")
    return float(min(MAX_ALERT_SHARE, multiple * y.mean()))


def alert_threshold(s, share: float) -> float:
    """The raw-score cut of the top ``share`` of ``s``: a row is alerted when its score is at
    or above it (``top_mask``); +inf when nobody is alerted."""
    s = _values("scores", s, np.asarray(s).size)
    top = top_mask(s, share)
    return float(s[top].min()) if top.any() else math.inf


def alerts(y, s, share: float, periods_to_yi=None) -> Alerts:
    """Alert outcome of one origin's candidates (one row per borrower).

    - alerted: the row is in the top ``share`` of the origin's candidates by raw score
      (``top_mask``: ties with the last alerted score are alerted too);
    - caught: alerted and YI within the horizon (label 1);
    - missed: YI within the horizon (label 1) and not alerted;
    - false alarm: alerted and label 0.

    Lead time: ``periods_to_yi`` gives, per row, k when the first "YI" score among the
    borrower's following rows is in its k-th following row (k = 1..horizon, rows of its own
    history as the label counts them, not calendar months). A caught row was alerted at the
    origin, so it was warned k periods ahead; the mean lead time is the mean of k over the
    caught rows (``None`` when nothing was caught or ``periods_to_yi`` is not given). A
    label-1 row needs a k of 1 or more; the values of other rows are not read.
    """
    y, s, _ = _inputs(y, s)
    alerted = top_mask(s, share)
    caught = alerted & (y == 1)
    lead = None
    if periods_to_yi is not None:
        k = np.asarray(periods_to_yi, dtype=float)
        if k.shape != y.shape:
            raise ValueError(f"periods_to_yi has shape {k.shape}, the labels {y.shape}")
        bad = (y == 1) & ~(k >= 1)
        if bad.any():
            raise ValueError(f"{int(bad.sum())} rows with label 1 have no periods_to_yi of 1 or more")
        if caught.any():
            lead = float(k[caught].mean())
    return Alerts(share=float(share), cutoff=float(s[alerted].min()) if alerted.any() else math.inf,
                  alerted=alerted, caught=caught, missed=~alerted & (y == 1),
                  false_alarm=alerted & (y == 0), mean_lead_time=lead)


# Stability --------------------------------------------------------------------------------

@dataclass(frozen=True)
class Psi:
    value: float
    band: str


def _shares(x: np.ndarray, edges: np.ndarray) -> np.ndarray:
    missing = np.isnan(x)
    # Bin i holds (edge[i-1], edge[i]]; the outer bins are open-ended, missing values last.
    idx = np.searchsorted(edges, x[~missing], side="left")
    counts = np.bincount(idx, minlength=edges.size + 1).astype(float)
    counts = np.append(counts, missing.sum())
    return counts / x.size


def psi(expected, actual, bins: int = PSI_BINS, epsilon: float = PSI_EPSILON) -> float:
    """Population stability index of ``actual`` against ``expected`` (the training window).

    Bins: the ``bins``-quantile edges of the expected values present (equal edges merge, so
    a feature with few values gets one bin per value), open at both ends so that actual
    values outside the expected range still count; missing values (NaN) form a bin of their
    own. Shares are over all rows, missing included. An empty bin's share is taken as
    ``epsilon`` (1e-4), which keeps ln(a/e) finite: a bin empty on one side adds about
    its other share times ln(share / 1e-4). PSI = sum over bins of (a - e) * ln(a / e).
    """
    e = np.asarray(expected, dtype=float).ravel()
    a = np.asarray(actual, dtype=float).ravel()
    if e.size == 0 or a.size == 0:
        raise ValueError("PSI needs values on both sides")
    if bins < 1:
        raise ValueError(f"bins must be 1 or more, got {bins}")
    present = e[~np.isnan(e)]
    inner = np.unique(np.quantile(present, np.linspace(0, 1, bins + 1)[1:-1])) if present.size \
        else np.empty(0)
    pe = np.maximum(_shares(e, inner), epsilon)
    pa = np.maximum(_shares(a, inner), epsilon)
    return float(np.sum((pa - pe) * np.log(pa / pe)))


def psi_band(value: float) -> str:
    """The customary bands: "stable" below 0.1, "watch" from 0.1 to below 0.25, "act" from
    0.25."""
    if value is None or math.isnan(value):
        raise ValueError("PSI is missing")
    if value < PSI_WATCH:
        return "stable"
    return "watch" if value < PSI_ACT else "act"


def feature_psi(train_frame: pd.DataFrame, latest_frame: pd.DataFrame,
                columns: Iterable[str], bins: int = PSI_BINS) -> dict[str, Psi]:
    """PSI and band of each column between the training window and the latest period."""
    columns = list(columns)
    for name, frame in (("training", train_frame), ("latest", latest_frame)):
        absent = [c for c in columns if c not in frame.columns]
        if absent:
            raise KeyError(f"the {name} frame lacks {', '.join(absent)}")
    out = {}
    for c in columns:
        value = psi(train_frame[c].to_numpy(dtype=float), latest_frame[c].to_numpy(dtype=float), bins)
        out[c] = Psi(value, psi_band(value))
    return out


def as_dict(metrics: Metrics | Mapping[str, Metrics]) -> dict:
    """Plain JSON-ready form (lists and numbers) of ``evaluate``'s results."""
    from dataclasses import asdict
    if isinstance(metrics, Metrics):
        return asdict(metrics)
    return {k: asdict(v) for k, v in metrics.items()}
