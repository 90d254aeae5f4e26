"""The model report: the back-test's curves are scikit-learn's points, the page shows the
summary's figures and the model's own gain importance, and the command refuses bad inputs
with status 2, one line and nothing written."""

from __future__ import annotations

import hashlib
import json
import re
import shutil
import subprocess
import sys
from html.parser import HTMLParser

import numpy as np
import pytest
from markupsafe import escape
from sklearn.metrics import precision_recall_curve, roc_curve

from halvex.cli import main
from halvex.ml.features import FEATURE_COLS, FEATURE_LABELS
from halvex.ml.model import backtest, train
from halvex.ml.model import metrics as mx
from halvex.ml.model.report import report_html
from model_matrices import matrix_from_histories, random_histories

FAST = {"num_leaves": 7, "min_data_in_leaf": 5, "min_data_per_group": 5, "learning_rate": 0.2}
HORIZON = 3


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """model/ and bt/ of one small matrix, and the back-test result."""
    root = tmp_path_factory.mktemp("report")
    matrix = matrix_from_histories(random_histories(400, list(range(1, 17)), seed=11), HORIZON)
    result = backtest(matrix, HORIZON, origins=4, params=FAST, threads=1, top_n=10)
    result.save(root / "bt")
    train(matrix, HORIZON, params=FAST, threads=1).save(root / "model")
    return root, result


# ------------------------------------------------------------------ curves
def test_curves_are_scikit_learns_points_thinned_and_undefined_for_one_class():
    rng = np.random.default_rng(4)
    y = (rng.random(2000) < 0.1).astype(int)
    s = np.round(rng.normal(y, 1.0), 2)                        # ties among the scores
    fpr, tpr, thr = roc_curve(y, s)
    precision, recall, _ = precision_recall_curve(y, s)
    full = mx.curves(y, s, max_points=10 ** 6)
    assert full["roc"] == {"fpr": fpr.tolist(), "tpr": tpr.tolist()}
    assert full["pr"] == {"recall": recall.tolist(), "precision": precision.tolist()}
    # The share of rows at or above each ROC threshold: what the capture curve reads.
    share = [float(np.mean(s >= t)) for t in thr]
    assert np.allclose(full["capture"]["share"], share) and full["capture"]["capture"] == tpr.tolist()

    thin = mx.curves(y, s, max_points=50)
    for key, a, b in (("roc", "fpr", "tpr"), ("pr", "recall", "precision")):
        pts = list(zip(thin[key][a], thin[key][b]))
        every = list(zip(full[key][a], full[key][b]))
        assert 2 < len(pts) <= 50
        assert pts[0] == every[0] and pts[-1] == every[-1]
        positions = [every.index(p) for p in pts]
        assert positions == sorted(positions)                  # a subsequence, in order

    one = mx.curves(np.zeros(5), np.arange(5.0))
    assert one["roc"] is one["pr"] is one["capture"] is None and "one class" in one["undefined"]


def test_saved_curves_give_the_summarys_auc_and_pr_auc(made):
    root, result = made
    curves = json.loads((root / "bt" / "backtest_curves.json").read_text(encoding="utf-8"))
    summary_text = (root / "bt" / "backtest_summary.json").read_bytes()
    assert curves.pop("summary_sha256") == hashlib.sha256(summary_text).hexdigest()
    assert curves == result.backtest_curves
    summary = result.backtest_summary
    assert [c["origin"] for c in curves["origins"]] == [o["origin"] for o in summary["origins"]]
    for c, block in [*zip(curves["origins"], summary["origins"]), (curves["overall"], summary["overall"])]:
        assert (c["rows"], c["positives"]) == (block["rows"], block["positives"])
        assert len(c["roc"]["fpr"]) < mx.CURVE_POINTS            # unthinned: areas are exact
        assert np.trapezoid(c["roc"]["tpr"], c["roc"]["fpr"]) == pytest.approx(block["auc"], abs=1e-12)
        r, p = np.array(c["pr"]["recall"]), np.array(c["pr"]["precision"])
        thinned = block["rows"] + 1 > mx.CURVE_POINTS and len(r) == mx.CURVE_POINTS
        step_sum = -np.sum(np.diff(r) * p[:-1])
        assert step_sum == pytest.approx(block["pr_auc"], abs=2e-3 if thinned else 1e-12)


# ------------------------------------------------------------------ the page
class _Tables(HTMLParser):
    """The text of each table's body cells, by the table's id."""

    def __init__(self):
        super().__init__()
        self.tables, self._id, self._row, self._cell = {}, None, None, None

    def handle_starttag(self, tag, attrs):
        if tag == "table":
            self._id = dict(attrs).get("id")
            self.tables[self._id] = []
        elif tag == "tr" and self._id:
            self._row = []
        elif tag in ("td", "th") and self._row is not None:
            self._cell = ""

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self._cell is not None:
            self._row.append(self._cell.strip())
            self._cell = None
        elif tag == "tr" and self._row is not None:
            self.tables[self._id].append(self._row)
            self._row = None
        elif tag == "table":
            self._id = None

    def handle_data(self, data):
        if self._cell is not None:
            self._cell += data


def _tables(html):
    parser = _Tables()
    parser.feed(html)
    return {k: v[1:] for k, v in parser.tables.items()}      # without the header row


def test_page_shows_the_summary_figures_and_the_models_gain_importance(made):
    root, result = made
    html = report_html(model_dir=root / "model", backtest=root / "bt", generated_at="now")
    tables = _tables(html)
    summary = result.backtest_summary
    origins = tables["origin-table"]
    assert [r[0] for r in origins] == [str(o["origin"]) for o in summary["origins"]] + ["All pooled"]
    for row, o in zip(origins, [*summary["origins"], summary["overall"]]):
        assert row[4] == f"{o['auc']:,.4f}" and row[7] == f"{o['pr_auc']:,.4f}"
        assert (row[11], row[12]) == (str(o["caught"]), str(o["missed"]))
    assert [r[4] for r in tables["calibration-table"]] == \
        [f"{b['mean_prob']:,.4f}" for b in summary["overall"]["calibration"]]

    import lightgbm as lgb
    booster = lgb.Booster(model_file=str(root / "model" / "model.txt"))
    gain = dict(zip(booster.feature_name(), booster.feature_importance(importance_type="gain")))
    shown = tables["importance-table"]
    assert [r[0] for r in shown] == sorted((f for f in gain if gain[f] > 0), key=lambda f: (-gain[f], f))
    assert all(r[1] == FEATURE_LABELS[r[0]] for r in shown)
    assert shown[0][3] == f"{gain[shown[0][0]] / sum(gain.values()) * 100:.1f} %"

    psi = tables["psi-table"]
    assert sorted(r[0] for r in psi) == sorted(FEATURE_COLS)
    want = summary["latest"]["feature_psi"]
    assert all(r[3] == want[r[0]]["band"] and r[2] == f"{want[r[0]]['value']:,.3f}" for r in psi)
    assert [r[0] for r in tables["psi-bands"]] == ["stable", "watch", "act"]

    # Offline: nothing to fetch, every chart titled for a screen reader.
    assert not re.search(r"<script|<link|<img|<iframe|url\((?!#)|src=|https?://(?!www\.w3\.org/2000/svg)", html)
    assert html.count('<svg class="chart"') == 5 == html.count('role="img"')
    card = json.loads((root / "model" / "model_card.json").read_text(encoding="utf-8"))
    assert all(str(escape(c)) in html for c in card["caveats"])


def test_page_escapes_the_text_it_is_given(made, tmp_path):
    root, _ = made
    shutil.copytree(root / "model", tmp_path / "model")
    path = tmp_path / "model" / "model_card.json"
    card = json.loads(path.read_text(encoding="utf-8"))
    card["caveats"].append("<script>alert(1)</script>")
    path.write_text(json.dumps(card), encoding="utf-8")
    html = report_html(model_dir=tmp_path / "model", backtest=root / "bt")
    assert "<script>" not in html and "&lt;script&gt;alert(1)&lt;/script&gt;" in html


# ------------------------------------------------------------------ command line
def _run(capsys, *argv):
    status = main(["model", "report", *map(str, argv)])
    out, err = capsys.readouterr()
    return status, out, err


def test_report_command_writes_the_page(made, tmp_path, capsys):
    root, _ = made
    out = tmp_path / "pages" / "report.html"
    status, stdout, err = _run(capsys, "--model", root / "model", "--backtest", root / "bt", "-o", out)
    assert (status, err) == (0, "") and str(out) in stdout
    assert out.read_text(encoding="utf-8").startswith("<!DOCTYPE html>")


def _restamp(bt):
    """The curves made the summary's pair again, so that a later check is reached."""
    curves = json.loads((bt / "backtest_curves.json").read_text(encoding="utf-8"))
    curves["summary_sha256"] = hashlib.sha256((bt / "backtest_summary.json").read_bytes()).hexdigest()
    (bt / "backtest_curves.json").write_text(json.dumps(curves))


def _damaged(root, tmp_path, what):
    """A copy of the model and back-test folders with one thing wrong."""
    model, bt = tmp_path / "model", tmp_path / "bt"
    shutil.copytree(root / "model", model)
    shutil.copytree(root / "bt", bt)
    if what == "no model folder":
        shutil.rmtree(model)
    elif what == "model text cut":
        text = (model / "model.txt").read_bytes()
        (model / "model.txt").write_bytes(text[: len(text) // 2])
    elif what == "no back-test folder":
        shutil.rmtree(bt)
    elif what == "no curves file":
        (bt / "backtest_curves.json").unlink()
    elif what == "summary cut":
        text = (bt / "backtest_summary.json").read_bytes()
        (bt / "backtest_summary.json").write_bytes(text[: len(text) // 2])
    elif what == "summary with NaN":
        text = (bt / "backtest_summary.json").read_text(encoding="utf-8")
        (bt / "backtest_summary.json").write_text(re.sub(r'"auc": [0-9.]+', '"auc": NaN', text, count=1))
    elif what == "summary of another kind":
        (bt / "backtest_summary.json").write_text('{"format": 1, "origins": "all"}')
        _restamp(bt)
    elif what == "other horizon":
        curves = json.loads((bt / "backtest_curves.json").read_text(encoding="utf-8"))
        summary = json.loads((bt / "backtest_summary.json").read_text(encoding="utf-8"))
        curves["horizon"] = summary["horizon"] = HORIZON + 1
        (bt / "backtest_curves.json").write_text(json.dumps(curves))
        (bt / "backtest_summary.json").write_text(json.dumps(summary))
        _restamp(bt)
    elif what == "summary of another run":
        summary = json.loads((bt / "backtest_summary.json").read_text(encoding="utf-8"))
        summary["overall"]["auc"] = 0.5                       # same origins, other figures
        (bt / "backtest_summary.json").write_text(json.dumps(summary, indent=1) + "\n")
    elif what == "curves of another run":
        curves = json.loads((bt / "backtest_curves.json").read_text(encoding="utf-8"))
        curves["origins"] = curves["origins"][1:]
        (bt / "backtest_curves.json").write_text(json.dumps(curves))
    return model, bt


@pytest.mark.parametrize("what, message", [
    ("no model folder", "no such model folder"),
    ("model text cut", "model.txt is corrupt or truncated"),
    ("no back-test folder", "no such back-test folder"),
    ("no curves file", "backtest_curves.json is missing"),
    ("summary cut", "backtest_summary.json: not valid JSON"),
    ("summary with NaN", "backtest_summary.json: not valid JSON"),
    ("summary of another kind", "lack what the report needs"),
    ("other horizon", "horizons differ"),
    ("curves of another run", "name different origins"),
    ("summary of another run", "another backtest_summary.json"),
])
def test_report_command_refuses_bad_inputs(made, tmp_path, capsys, what, message):
    model, bt = _damaged(made[0], tmp_path, what)
    out = tmp_path / "report.html"
    status, _, err = _run(capsys, "--model", model, "--backtest", bt, "-o", out)
    assert status == 2 and message in err and err.count("\n") == 1, err
    assert not out.exists()


def test_report_command_refuses_outputs_it_must_not_write(made, tmp_path, capsys):
    root, _ = made
    bt = tmp_path / "bt"
    shutil.copytree(root / "bt", bt)
    before = {p.name: p.read_bytes() for p in bt.iterdir()}
    for out, message in ((bt / "backtest_summary.json", "inside the back-test folder"),
                         (bt / "report.html", "inside the back-test folder"),
                         (f"{tmp_path}/pages/", "Is a directory")):
        status, _, err = _run(capsys, "--model", root / "model", "--backtest", bt, "-o", out)
        assert status == 2 and message in err, err
    assert {p.name: p.read_bytes() for p in bt.iterdir()} == before
    assert not (tmp_path / "pages").exists()


def test_report_to_standard_output_is_the_page_alone(made):
    root, _ = made
    done = subprocess.run([sys.executable, "-m", "halvex.cli", "model", "report", "--model",
                           str(root / "model"), "--backtest", str(root / "bt"), "-o", "/dev/stdout"],
                          capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("<!DOCTYPE html>") and done.stdout.endswith("</html>\n")
    assert "Written" in done.stderr
