"""``halvex demo`` wiring, with stand-ins for the compiled renderer and the features demo."""

import json
import sys
import types
from pathlib import Path

import pytest

from halvex.cli import main


def _fake_renderer(calls, with_v300=True, with_trending=True):
    from halvex.pipeline import vitrum  # the real one: its file writer stays in use

    mod = types.ModuleType("halvex.pipeline.vitrum")
    mod._AtomicFile = vitrum._AtomicFile

    def render_html(doc, output_html=None, **kwargs):
        calls.append(("render_html", doc, output_html, kwargs))
        Path(output_html).parent.mkdir(parents=True, exist_ok=True)
        Path(output_html).write_text("<html></html>", encoding="utf-8")
        return {"html_path": output_html, "rows": 1, "chunks": 1, "size_kb": 0.1}

    mod.render_html = render_html
    if with_v300:
        def render_html_v300(json_path, output_html=None, **kwargs):
            calls.append(("render_html_v300", json_path, output_html, kwargs))
            return render_html(json_path, output_html)
        mod.render_html_v300 = render_html_v300
    if with_trending:
        mod._build_trending_html = lambda lists: f"<div>{len(lists['fastest_rising'])}</div>"
    return mod


@pytest.fixture
def features_calls(monkeypatch):
    calls = []
    fake = types.ModuleType("halvex.sample.facts_db")
    fake.run_features_demo = lambda out_dir: calls.append(Path(out_dir))
    monkeypatch.setitem(sys.modules, "halvex.sample.facts_db", fake)
    return calls


def test_demo_writes_every_output(tmp_path, monkeypatch, capsys, features_calls):
    calls = []
    monkeypatch.setitem(sys.modules, "halvex.pipeline.vitrum", _fake_renderer(calls))
    assert main(["demo", "--rows", "120", "--out", str(tmp_path)]) == 0

    json_path = tmp_path / "json" / "scoreboard.json"
    assert [c[0] for c in calls] == ["render_html", "render_html_v300", "render_html"]
    assert calls[0][1] == str(json_path)
    assert calls[0][2] == str(tmp_path / "html" / "qvr_dashboard.html")
    assert calls[1][2] == str(tmp_path / "html" / "qvr_dashboard_v300.html")
    for rel in ("json/scoreboard.json", "json/sube_bolge_ref.csv",
                "json/sample_trending_lists.json", "html/trending_section.html"):
        assert (tmp_path / rel).is_file(), rel
    assert "<div>10</div>" in (tmp_path / "html" / "trending_section.html").read_text("utf-8")
    assert features_calls == [tmp_path / "features"]
    out = capsys.readouterr().out
    assert "Çıktılar:" in out and str(tmp_path / "html" / "qvr_dashboard_v300.html") in out


def test_demo_trains_the_model_and_prints_both_aucs(tmp_path, monkeypatch, capsys):
    from halvex.ml.features import build_features
    from halvex.sample.facts_db import write_sample_db

    db = write_sample_db(tmp_path / "facts" / "facts.duckdb", n_entities=400, n_periods=24, seed=2)
    matrix = build_features(db)
    fake = types.ModuleType("halvex.sample.facts_db")
    fake.run_features_demo = lambda out_dir: matrix
    monkeypatch.setitem(sys.modules, "halvex.sample.facts_db", fake)
    monkeypatch.setitem(sys.modules, "halvex.pipeline.vitrum", _fake_renderer([]))
    capsys.readouterr()
    assert main(["demo", "--rows", "20", "--out", str(tmp_path / "out")]) == 0
    out = capsys.readouterr().out
    card = json.loads((tmp_path / "out" / "model" / "model" / "model_card.json").read_text())
    bt = card["backtest"]
    assert f"AUC model {bt['auc']:.3f}, yalnız mevcut skor {bt['score_alone_auc']:.3f}" in out
    assert (tmp_path / "out" / "model" / "backtest" / "backtest_summary.json").is_file()
    assert str(tmp_path / "out" / "model" / "model") in out


def test_demo_skips_what_the_renderer_lacks(tmp_path, monkeypatch, features_calls):
    calls = []
    monkeypatch.setitem(sys.modules, "halvex.pipeline.vitrum",
                        _fake_renderer(calls, with_v300=False, with_trending=False))
    assert main(["demo", "--rows", "30", "--out", str(tmp_path)]) == 0
    assert [c[0] for c in calls] == ["render_html"]
    assert not (tmp_path / "html" / "trending_section.html").exists()


def test_render_command_passes_only_given_options(tmp_path, monkeypatch):
    calls = []
    monkeypatch.setitem(sys.modules, "halvex.pipeline.vitrum", _fake_renderer(calls))
    out = str(tmp_path / "p.html")
    assert main(["render", "doc.json", "-o", out, "--top-n", "50", "--page-mode", "admin"]) == 0
    assert calls[-1] == ("render_html", "doc.json", out,
                         {"top_n": 50, "extra_data": {"page_mode": "admin"}})
    assert main(["render", "doc.json", "-o", out, "--v300", "--chunk-size", "5"]) == 0
    assert calls[-2] == ("render_html_v300", "doc.json", out, {"chunk_size": 5})
    assert main(["render", "doc.json", "--v300", "--ref-csv", "x.csv"]) == 2
