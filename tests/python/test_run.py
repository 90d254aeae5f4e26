"""``halvex run``: the facts read once, run folders published whole, gates, frozen model."""

import hashlib
import importlib
import json
import os
import sys
import types

import pandas as pd
import pytest

from halvex.cli import main
from halvex.ml import _sources as ml_sources
from halvex.scoreboard import _sources as doc_sources

ORIGINS = "2"


@pytest.fixture(scope="module")
def sample_db(tmp_path_factory):
    from halvex.sample.facts_db import write_sample_db

    return write_sample_db(tmp_path_factory.mktemp("facts") / "facts.duckdb", n_entities=300, n_periods=14,
                           seed=3)


def _run(db, out, *extra):
    return main(["run", str(db), "-o", str(out), "--origins", ORIGINS, *extra])


def _snapshot(folder):
    """Every file under folder with its bytes, and where its links point."""
    got = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(root, name)
            rel = os.path.relpath(path, folder)
            if os.path.islink(path):
                got[rel] = ("link", os.readlink(path))
            elif os.path.isfile(path):
                with open(path, "rb") as fh:
                    got[rel] = hashlib.sha256(fh.read()).hexdigest()
    return got


@pytest.fixture(scope="module")
def first_run(sample_db, tmp_path_factory):
    out = tmp_path_factory.mktemp("runs")
    assert _run(sample_db, out) == 0
    return out


def _manifest(out):
    return json.loads((out / "latest" / "manifest.json").read_text("utf-8"))


def _document(out):
    return json.loads((out / "latest" / "json" / "scoreboard.json").read_text("utf-8"))


class _Recording:
    """A DuckDB connection that notes each query it runs."""

    def __init__(self, con, seen):
        self._con, self._seen = con, seen

    def sql(self, query, *a, **k):
        self._seen.append(query)
        return self._con.sql(query, *a, **k)

    def execute(self, query, *a, **k):
        self._seen.append(query)
        return self._con.execute(query, *a, **k)

    def __getattr__(self, name):
        return getattr(self._con, name)


def test_the_facts_are_queried_once_per_run(sample_db, tmp_path, monkeypatch):
    seen = []
    real = ml_sources.connect_facts
    for module in (ml_sources, doc_sources):
        monkeypatch.setattr(module, "connect_facts", lambda path: _Recording(real(path), seen))
    assert _run(sample_db, tmp_path / "out") == 0
    fact_queries = [q for q in seen if "fact_periodic" in q]
    assert len(fact_queries) == 1, fact_queries
    assert (tmp_path / "out" / "latest" / "html" / "qvr_dashboard.html").is_file()


def test_both_builds_from_the_facts_read_once_equal_their_own_reads(sample_db):
    from halvex.ml.fact_snapshot import build_features_from_facts, read_facts
    from halvex.ml.features import build_features
    from halvex.scoreboard import build_scoreboard

    facts = read_facts(sample_db)
    pd.testing.assert_frame_equal(build_features_from_facts(facts, 3), build_features(sample_db, 3))
    at = "2026-12-01T00:00:00"
    assert (build_scoreboard(facts.db_path, facts=facts, generated_at=at)
            == build_scoreboard(sample_db, generated_at=at))
    # Members added to meta come after its own, and the file stays json.dumps of the document.
    path = build_scoreboard(sample_db, sample_db.parent / "doc.json", generated_at=at,
                            meta_extra={"model_notu": "doğrulanmadı", "uyarilar": [{"x": None}]})["path"]
    text = path.read_text("utf-8")
    doc = json.loads(text)
    assert text == json.dumps(doc, ensure_ascii=False)
    assert list(doc["meta"])[-2:] == ["model_notu", "uyarilar"] and doc["meta"]["uyarilar"] == [{"x": None}]
    # A second risk series the snapshot lacks is read from the database, not invented.
    with pytest.raises(ValueError, match="no column nakdi"):
        build_scoreboard(facts.db_path, facts=facts, rd_column="nakdi")


def test_a_trained_run_publishes_its_folder_and_says_the_model_is_not_validated(first_run, sample_db):
    m = _manifest(first_run)
    folder = first_run / str(m["period"])
    assert os.readlink(first_run / "latest") == str(m["period"])
    for rel in ("json/scoreboard.json", "html/qvr_dashboard.html", "html/qvr_dashboard_admin.html",
                "html/qvr_dashboard_v300.html", "predictions.parquet", "model/model_card.json",
                "backtest/backtest_summary.json", "manifest.json"):
        assert (folder / rel).is_file(), rel
    assert not [p for p in os.listdir(first_run) if p.startswith(".")]
    assert m["model"]["validated"] is False and m["model"]["note"] == "model trained on this run, not validated"
    db_bytes = sample_db.read_bytes()
    assert m["inputs"]["database"]["sha256"] == hashlib.sha256(db_bytes).hexdigest()
    assert m["inputs"]["database"]["bytes"] == len(db_bytes)
    assert [s["stage"] for s in m["stages"]][:2] == ["reading facts", "building features"]
    assert all(s["seconds"] >= 0 for s in m["stages"]) and m["stages"][0]["rows"] > 0
    assert m["versions"]["duckdb"] and m["versions"]["lightgbm"]

    doc = _document(first_run)
    meta = doc["meta"]
    assert meta["model_notu"] == "model trained on this run, not validated"
    assert meta["model_dogrulandi"] is False and meta["uyarilar"] == []
    assert meta["model_id"] == m["model"]["id"] and meta["n_firma"] == m["borrowers"]
    assert {"backtest_summary", "backtest_firma", "ml_predictions"} <= doc.keys()
    # The alerted rows of the predictions are the document's early signals (YI rows excepted).
    pred = pd.read_parquet(folder / "predictions.parquet")
    alerted = set(pred.loc[pred["alerted"], "entity_id"].astype(str))
    signalled = {r["muta"] if isinstance(r["muta"], str) else str(r["muta"]) for r in doc["rows"]
                 if r.get("_erken_sinyal")}
    assert len(alerted) == m["alerts"] > 0 and signalled == alerted
    assert min(pred.loc[pred["alerted"], "prob"]) == meta["alarm_esigi"]
    # caught / missed come from the back-test's latest origin.
    origin = str(meta["geri_test_son_orijin"])
    caught = {k for k, v in doc["backtest_firma"].items() if v.get(origin, {}).get("caught")}
    rows = {str(r["muta"]) for r in doc["rows"]}
    assert {str(r["muta"]) for r in doc["rows"] if r.get("_yakalanan")} == caught & rows


def test_a_stage_failing_leaves_the_earlier_runs_and_latest_as_they_were(first_run, sample_db, monkeypatch,
                                                                         capsys):
    from halvex.pipeline import vitrum

    before = _snapshot(first_run)
    fake = types.ModuleType("halvex.pipeline.vitrum")
    fake.render_html, fake._AtomicFile = vitrum.render_html, vitrum._AtomicFile

    def broken(*a, **k):
        raise RuntimeError("disk on fire")
    fake.render_html_v300 = broken
    monkeypatch.setitem(sys.modules, "halvex.pipeline.vitrum", fake)
    assert _run(sample_db, first_run) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "disk on fire" in err
    assert _snapshot(first_run) == before


def test_gates_warn_and_strict_fails_each_without_publishing(first_run, sample_db, tmp_path, capsys):
    # The same data again: its latest period is no newer than the last run's.
    out = tmp_path / "out"
    os.makedirs(out / "old")
    period = _manifest(first_run)["period"]
    (out / "old" / "manifest.json").write_text(json.dumps({"period": period, "borrowers": 300}))
    os.symlink("old", out / "latest")
    before = _snapshot(out)
    assert _run(sample_db, out, "--strict") == 3
    err = capsys.readouterr().err
    assert err.startswith("halvex run: gate failed") and err.count("\n") == 1 and "period" in err
    assert _snapshot(out) == before

    # An older period with many more borrowers: only the borrower gate fails.
    (out / "old" / "manifest.json").write_text(json.dumps({"period": 190001, "borrowers": 10_000}))
    before = _snapshot(out)
    assert _run(sample_db, out, "--strict") == 3
    err = capsys.readouterr().err
    assert "borrowers" in err and "period:" not in err
    assert _snapshot(out) == before
    assert _run(sample_db, out) == 0
    assert "  WARNING borrowers: " in capsys.readouterr().out
    assert [w["kapi"] for w in _document(out)["meta"]["uyarilar"]] == ["borrowers"]
    assert [g["kapi"] for g in _manifest(out)["gates"] if not g["gecti"]] == ["borrowers"]


def test_score_psi_gate_bands():
    from halvex.nightly.gates import score_psi_gate

    assert score_psi_gate({"value": 0.2499}).passed
    assert not score_psi_gate({"value": 0.25}).passed
    assert score_psi_gate(None).passed


def test_score_psi_in_the_act_band_fails_under_strict(sample_db, tmp_path, monkeypatch, capsys):
    from halvex.nightly import night

    real = night._frozen_stability
    monkeypatch.setattr(night, "_frozen_stability",
                        lambda *a: {**real(*a), "score_psi": {"value": 0.4, "band": "act"}})
    model = _frozen_model(sample_db, tmp_path)
    assert _run(sample_db, tmp_path / "out", "--model", str(model), "--strict") == 3
    assert "score_psi" in capsys.readouterr().err and not (tmp_path / "out" / "latest").exists()
    assert _run(sample_db, tmp_path / "out", "--model", str(model)) == 0
    assert [w["kapi"] for w in _document(tmp_path / "out")["meta"]["uyarilar"]] == ["score_psi"]


def _frozen_model(db, tmp_path, **fit):
    from halvex.ml.features import build_features
    from halvex.ml.model import train

    folder = tmp_path / "frozen"
    if not folder.exists():
        train(build_features(db, 3), 3, **fit).save(folder)
    return folder


def _caught_and_missed(doc):
    return [(str(r["muta"]), r["_yakalanan"], r["_kacirilan"]) for r in doc["rows"]
            if r.get("_yakalanan") or r.get("_kacirilan")]


def test_a_frozen_model_is_back_tested_with_its_own_recipe_and_copied_unchanged(sample_db, tmp_path,
                                                                                monkeypatch):
    backtest_module = importlib.import_module("halvex.ml.model.backtest")
    recipe = {"params": {"num_leaves": 7, "min_data_in_leaf": 20}, "seed": 11, "valid_periods": 2,
              "num_boost_round": 60, "early_stopping_rounds": 9}
    model = _frozen_model(sample_db, tmp_path, **recipe)
    before = _snapshot(model)
    calls = []
    real_train = backtest_module.train

    def recording_train(frame, **kw):
        calls.append(kw)
        return real_train(frame, **kw)

    monkeypatch.setattr(backtest_module, "train", recording_train)
    out = tmp_path / "out"
    assert _run(sample_db, out, "--model", str(model)) == 0
    # Every origin's model is trained at its origin, with the frozen model's settings, and
    # no model beside them: the frozen one scores tonight.
    assert len(calls) == int(ORIGINS) and all(c.get("origin") is not None for c in calls)
    for kw in calls:
        assert kw["horizon"] == 3 and kw["seed"] == 11 and kw["valid_periods"] == 2
        assert kw["num_boost_round"] == 60 and kw["early_stopping_rounds"] == 9
        assert kw["params"]["num_leaves"] == 7 and kw["params"]["min_data_in_leaf"] == 20

    m = _manifest(out)
    assert m["model"]["validated"] is True and "note" not in m["model"]
    assert m["model"]["source"] == str(model)
    assert m["files"]["backtest"] == "backtest" and (out / "latest" / "backtest" / "backtest_firma.json").is_file()
    assert _snapshot(model) == before == _snapshot(out / "latest" / "model")
    # The stability the report shows is the frozen model's: its training periods against tonight.
    card = json.loads((model / "model_card.json").read_text())
    latest = json.loads((out / "latest" / "backtest" / "backtest_summary.json").read_text())["latest"]
    assert latest["train_periods"] == card["split"]["train_periods"] and latest["period"] == m["period"]
    assert latest["score_psi"]["band"] and set(latest["feature_psi"]) == set(card["features"])
    doc = _document(out)
    meta = doc["meta"]
    assert meta["model_dogrulandi"] is True and "model_notu" not in meta
    assert meta["model_id"] == json.loads((model / "model_card.json").read_text())["model_id"]
    # caught / missed come from the back-test's latest origin, as in a trained run.
    origin = str(meta["geri_test_son_orijin"])
    assert origin == str(doc["backtest_summary"]["origins"][-1]["origin"])
    marked = _caught_and_missed(doc)
    expected = sorted((k, int(v[origin]["caught"]), int(v[origin]["missed"])) for k, v in doc["backtest_firma"].items()
                      if origin in v and (v[origin]["caught"] or v[origin]["missed"])
                      and k in {str(r["muta"]) for r in doc["rows"]})
    assert sorted(marked) == expected and marked
    assert not [line for line in _summary_lines(m, out) if "not run" in line]
    # Another horizon than the model's is refused before any work.
    assert _run(sample_db, tmp_path / "other", "--model", str(model), "--horizon", "2") == 2
    assert not (tmp_path / "other").exists()


def _summary_lines(manifest, out):
    from halvex.nightly.night import summary_lines

    return summary_lines(manifest, str(out / "latest"))


@pytest.mark.parametrize("frozen", [False, True])
def test_origins_0_runs_no_back_test_and_says_so(sample_db, tmp_path, capsys, frozen):
    extra = ["--model", str(_frozen_model(sample_db, tmp_path))] if frozen else []
    out = tmp_path / "out"
    assert main(["run", str(sample_db), "-o", str(out), "--origins", "0", *extra]) == 0
    said = capsys.readouterr().out
    assert "Back-test: not run" in said
    m = _manifest(out)
    assert "backtest" not in m["files"] and not (out / "latest" / "backtest").exists()
    assert m["report"] == "model report skipped: no back-test was run"
    doc = _document(out)
    assert _caught_and_missed(doc) == [] and doc["meta"]["geri_test_son_orijin"] is None
    assert not {"backtest_summary", "backtest_firma"} & doc.keys()
    assert any("Geri test yapılmadı" in str(w) for w in doc["meta"]["uyarilar"])
    page = (out / "latest" / "html" / "qvr_dashboard.html").read_text("utf-8")
    assert json.dumps("Geri test yapılmadı")[1:-1] in page  # among the page's warnings
    assert m["model"]["validated"] is frozen


def test_bad_inputs_exit_2_with_one_line(sample_db, tmp_path, capsys):
    (tmp_path / "file").write_text("x")
    os.makedirs(tmp_path / "runs" / "latest")
    broken = tmp_path / "broken_model"
    os.makedirs(broken)
    (broken / "model_card.json").write_text("{}")
    cases = [
        ["run", str(tmp_path / "none.duckdb"), "-o", str(tmp_path / "o")],
        ["run", str(tmp_path), "-o", str(tmp_path / "o")],
        ["run", str(sample_db), "-o", str(tmp_path / "file")],
        ["run", str(sample_db), "-o", str(tmp_path / "runs")],          # latest is no link
        ["run", str(sample_db), "-o", str(sample_db)],                    # over the database
        ["run", str(sample_db), "-o", str(tmp_path / "o"), "--max-borrower-drop", "1.5"],
        ["run", str(sample_db), "-o", str(tmp_path / "o"), "--model", str(broken)],
        ["run", str(tmp_path / "file"), "-o", str(tmp_path / "o")],       # not a database
    ]
    for argv in cases:
        try:
            status = main(argv)
        except SystemExit as exc:  # argparse's refusal
            status = exc.code
        assert status == 2, argv
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and err.startswith("halvex run"), (argv, err)
    assert not (tmp_path / "o").exists()
