"""The model report: one self-contained page for the reviewer of a close-monitoring model.

    write_report("report.html", model_dir="models/yi", backtest="out/backtest")

It reads the model folder (its card and LightGBM model, checked as ``Model.load`` checks
them) and a back-test folder (``backtest_summary.json`` and ``backtest_curves.json``) and
draws every chart as inline SVG: the page loads nothing from anywhere.
"""

from __future__ import annotations

import hashlib
import json
import math
import os
from datetime import datetime, timezone

import jinja2
import numpy as np

from halvex._output import write_text
from halvex.ml.features import FEATURE_LABELS
from halvex.ml.model import metrics as mx
from halvex.ml.model.backtest import CURVES_FILE, CURVES_FORMAT, SUMMARY_FILE, SUMMARY_FORMAT
from halvex.ml.model.model import Model
from halvex.ml.model.report_charts import Chart, Series, legend, nice_ceiling, render
from halvex.paths import MODEL_REPORT_TEMPLATE

PSI_BANDS = ({"band": "stable", "rule": f"below {mx.PSI_WATCH:g}", "meaning": "no action"},
             {"band": "watch", "rule": f"{mx.PSI_WATCH:g} to below {mx.PSI_ACT:g}",
              "meaning": "look into the shift"},
             {"band": "act", "rule": f"{mx.PSI_ACT:g} or more",
              "meaning": "the population moved: review or retrain the model"})
# Curves drawn thin behind the pooled one: every origin's.
_EACH_ORIGIN = "each origin's model"


def write_report(out_html, *, model_dir, backtest, generated_at: str | None = None) -> str:
    """Writes the report page of the model in ``model_dir`` and the back-test results in
    the folder ``backtest`` to ``out_html`` (atomically). Returns its path.

    ValueError, naming the folder and file, for a missing, damaged or foreign model or
    back-test file, and for a model and back-test of different horizons.
    """
    text = report_html(model_dir=model_dir, backtest=backtest, generated_at=generated_at)
    return write_text(out_html, text)


def report_html(*, model_dir, backtest, generated_at: str | None = None) -> str:
    """The report page as text (see ``write_report``)."""
    model = Model.load(model_dir)
    folder = os.fspath(backtest)
    summary, summary_bytes = _read_json(folder, SUMMARY_FILE, SUMMARY_FORMAT)
    curves, _ = _read_json(folder, CURVES_FILE, CURVES_FORMAT)
    if curves.get("summary_sha256") != hashlib.sha256(summary_bytes).hexdigest():
        raise ValueError(f"{folder}: {CURVES_FILE} was written with another {SUMMARY_FILE} "
                         "(files of different runs?)")
    try:
        context = _context(model, summary, curves, folder)
    except (KeyError, TypeError, IndexError, AttributeError) as exc:
        raise ValueError(f"{folder}: the back-test files lack what the report needs "
                         f"({type(exc).__name__}: {exc})") from None
    now = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    context["generated_at"] = generated_at or now
    # When and how long the training ran is kept beside the card (training_run.json).
    context["run"] = model.run or {}
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(str(MODEL_REPORT_TEMPLATE.parent)),
                             autoescape=True, trim_blocks=True, lstrip_blocks=True,
                             keep_trailing_newline=True, undefined=jinja2.StrictUndefined)
    env.filters["num"] = _num
    env.filters["pct"] = _pct
    return env.get_template(MODEL_REPORT_TEMPLATE.name).render(**context)


def _read_json(folder: str, name: str, fmt: int) -> tuple[dict, bytes]:
    if not os.path.isdir(folder):
        raise ValueError(f"{folder}: no such back-test folder")
    path = os.path.join(folder, name)
    try:
        with open(path, "rb") as fh:
            data = fh.read()
    except FileNotFoundError:
        raise ValueError(f"{folder}: not a complete back-test folder ({name} is missing; "
                         "`halvex model backtest` writes it)") from None

    def refuse(constant):
        raise ValueError(constant)
    try:
        value = json.loads(data.decode("utf-8"), parse_constant=refuse)
    except ValueError:  # also UnicodeDecodeError and JSONDecodeError
        raise ValueError(f"{path}: not valid JSON (damaged?)") from None
    if not isinstance(value, dict) or value.get("format") != fmt:
        raise ValueError(f"{path}: not a halvex back-test file of format {fmt}")
    return value, data


def _num(value, digits: int = 4) -> str:
    """A figure for reading: rounded to ``digits`` decimals; a dash where it is undefined."""
    if value is None:
        return "–"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, int):
        return f"{value:,}"
    if isinstance(value, float):
        return f"{value:,.{digits}f}" if math.isfinite(value) else "–"
    return str(value)


def _pct(value, digits: int = 1) -> str:
    if value is None or not isinstance(value, (int, float)) or not math.isfinite(value):
        return "–"
    return f"{value * 100:.{digits}f} %"


def _context(model: Model, summary: dict, curves: dict, folder: str) -> dict:
    card = model.card
    horizons = {"the model": model.horizon, SUMMARY_FILE: summary["horizon"],
                CURVES_FILE: curves["horizon"]}
    if len(set(horizons.values())) != 1:
        raise ValueError(f"{folder}: horizons differ ("
                         + ", ".join(f"{k} {v}" for k, v in horizons.items()) + ")")
    origins = [o["origin"] for o in summary["origins"]]
    if [c["origin"] for c in curves["origins"]] != origins:
        raise ValueError(f"{folder}: {SUMMARY_FILE} and {CURVES_FILE} name different origins "
                         "(files of different runs?)")
    overall = summary["overall"]
    charts = [_roc(curves), _pr(curves), _capture(curves), _lift(curves), _calibration(overall)]
    return {
        "card": card,
        "summary": summary,
        "overall": overall,
        "charts": {c.ident: {"svg": render(c), "legend": legend(c), "title": c.title}
                   for c in charts},
        "origins": summary["origins"],
        "segments": sorted(overall["segments"].items()),
        "psi": _psi(summary["latest"]),
        "psi_bands": PSI_BANDS,
        "importance": _importance(model),
        "params": _params(card["params"]),
    }


def _other(curve_list, key, x, y) -> list[Series]:
    return [Series(_EACH_ORIGIN, c[key][x], c[key][y], "other")
            for c in curve_list if c.get(key) is not None]


def _roc(curves: dict) -> Chart:
    chart = Chart("roc", "ROC curve", "", "False positive rate", "True positive rate")
    chart.series = [*_other(curves["origins"], "roc", "fpr", "tpr"),
                    Series("chance", [0, 1], [0, 1], "reference")]
    overall = curves["overall"]
    if overall["roc"] is not None:
        chart.series.append(Series("all origins pooled", overall["roc"]["fpr"],
                                   overall["roc"]["tpr"]))
    chart.description = ("True positive rate against false positive rate of the raw score, "
                         "pooled over the back-test origins, each origin's model in grey; "
                         "the dashed diagonal is a random ranking.")
    return chart


def _pr(curves: dict) -> Chart:
    overall = curves["overall"]
    rate = overall["positives"] / overall["rows"] if overall["rows"] else 0.0
    chart = Chart("pr", "Precision-recall curve", "", "Recall", "Precision")
    chart.series = [*_other(curves["origins"], "pr", "recall", "precision"),
                    Series("YI rate (random ranking)", [0, 1], [rate, rate], "reference")]
    if overall["pr"] is not None:
        chart.series.append(Series("all origins pooled", overall["pr"]["recall"],
                                   overall["pr"]["precision"]))
    chart.description = (f"Precision against recall of the raw score, pooled over the origins; "
                         f"the dashed line is the YI rate, {_pct(rate, 2)}.")
    return chart


def _capture(curves: dict) -> Chart:
    chart = Chart("capture", "Capture curve", "", "Share of borrowers reviewed, riskiest first",
                  "Share of YI entries captured")
    chart.series = [*_other(curves["origins"], "capture", "share", "capture"),
                    Series("random ranking", [0, 1], [0, 1], "reference")]
    if curves["overall"]["capture"] is not None:
        c = curves["overall"]["capture"]
        chart.series.append(Series("all origins pooled", c["share"], c["capture"]))
    chart.description = ("Share of the borrowers who entered close monitoring within the "
                         "horizon found among the top share of borrowers by the model's score.")
    return chart


def _lift_points(capture: dict) -> tuple[list[float], list[float]]:
    xs, ys = [], []
    for share, caught in zip(capture["share"], capture["capture"]):
        if share > 0:
            xs.append(float(share))
            ys.append(float(caught) / float(share))
    return xs, ys


def _lift(curves: dict) -> Chart:
    chart = Chart("lift", "Lift curve", "", "Share of borrowers reviewed, riskiest first",
                  "Lift (YI rate of the top / overall rate)")
    series = [Series(_EACH_ORIGIN, *_lift_points(c["capture"]), "other")
              for c in curves["origins"] if c.get("capture") is not None]
    if curves["overall"]["capture"] is not None:
        series.append(Series("all origins pooled", *_lift_points(curves["overall"]["capture"])))
    # The first points rest on a handful of rows: the axis follows the pooled curve.
    main = [y for s in series if s.kind == "main" for y in s.ys]
    main = main or [y for s in series for y in s.ys]
    top = nice_ceiling(max(main, default=1.0))
    chart.y_range = (0.0, top)
    chart.series = [*series, Series("no lift", [0, 1], [1, 1], "reference")]
    chart.description = ("How many times the YI rate among the top share of borrowers exceeds "
                         f"the overall rate; the dashed line is 1. Lines above {top:g} are cut.")
    return chart


def _calibration(overall: dict) -> Chart:
    bins = overall["calibration"]
    xs = [b["mean_prob"] for b in bins]
    ys = [b["observed_rate"] for b in bins]
    top = nice_ceiling(max([*xs, *ys, 0.01]))
    chart = Chart("calibration", "Calibration by decile", "", "Mean predicted probability",
                  "Observed YI rate", (0.0, top), (0.0, top))
    chart.series = [Series("perfect calibration", [0, top], [0, top], "reference"),
                    Series("score deciles, all origins pooled", xs, ys, markers=True)]
    chart.description = ("Observed YI rate against the mean calibrated probability in each "
                         "score decile of the pooled back-test rows; on the dashed diagonal "
                         "the two agree.")
    return chart


def _psi(latest: dict) -> dict:
    features = [{"feature": name, "label": FEATURE_LABELS.get(name, name), **value}
                for name, value in latest["feature_psi"].items()]
    features.sort(key=lambda r: (-(r["value"] if r["value"] is not None else -1), r["feature"]))
    counts = {b["band"]: sum(r["band"] == b["band"] for r in features) for b in PSI_BANDS}
    return {"period": latest["period"], "train_periods": latest["train_periods"],
            "rows": latest["rows"], "score": latest["score_psi"], "features": features,
            "counts": counts}


def _importance(model: Model) -> dict:
    """LightGBM's total gain per feature, its share of all gain, largest first."""
    booster = model.booster
    gain = np.asarray(booster.feature_importance(importance_type="gain"), dtype=float)
    splits = np.asarray(booster.feature_importance(importance_type="split"), dtype=np.int64)
    total = float(gain.sum())
    rows = [{"feature": name, "label": FEATURE_LABELS.get(name, name), "gain": float(g),
             "share": float(g) / total if total > 0 else 0.0, "splits": int(n)}
            for name, g, n in zip(booster.feature_name(), gain, splits)]
    used = sorted((r for r in rows if r["splits"] > 0), key=lambda r: (-r["gain"], r["feature"]))
    unused = [r for r in rows if r["splits"] == 0]
    top = used[0]["share"] if used else 0.0
    for r in used:
        r["bar"] = round(100 * r["share"] / top, 1) if top > 0 else 0.0
    return {"used": used, "unused": unused, "trees": booster.num_trees()}


def _params(params: dict) -> list[tuple[str, str]]:
    out = []
    for key in sorted(params):
        value = params[key]
        if key == "monotone_constraints":
            value = f"{sum(1 for v in value if v)} increasing (listed below)"
        out.append((key, value if isinstance(value, str) else json.dumps(value)))
    return out
