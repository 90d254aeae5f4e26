"""``halvex demo`` (the nightly run on sample data) and the render command's wiring."""

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


def test_demo_is_the_nightly_run_on_the_sample_database(tmp_path, capsys):
    assert main(["demo", "--rows", "300", "--out", str(tmp_path)]) == 0
    out = capsys.readouterr().out
    assert (tmp_path / "facts" / "facts.duckdb").is_file()
    latest = tmp_path / "runs" / "latest"
    manifest = json.loads((latest / "manifest.json").read_text("utf-8"))
    auc = manifest["auc"]
    assert f"AUC model {auc['model']:.3f}, yalnız mevcut skor {auc['score_alone']:.3f}" in out
    folder = tmp_path / "runs" / str(manifest["period"])
    for rel in ("html/qvr_dashboard.html", "html/qvr_dashboard_admin.html", "html/qvr_dashboard_v300.html"):
        assert f"  {folder / rel}\n" in out
        assert (latest / rel).is_file()
    assert len(json.loads((latest / "json" / "scoreboard.json").read_text("utf-8"))["meta"]["donemler"]) == 24


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
