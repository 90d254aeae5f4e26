"""row_slots_js, the last context variable of both pages, says where each value sits in the
row arrays the page actually carries."""

import base64
import contextlib
import gzip
import io
import json

import pytest

from halvex.pipeline import vitrum
from halvex.sample.scoreboard import make_scoreboard

TEMPLATE = "{% for k in self._TemplateReference__context.keys() %}{{ k }} {% endfor %}\n{{ row_slots_js }}\n" \
           "{% for c in data_chunks %}{{ c }}\n{% endfor %}"


@pytest.fixture
def doc(tmp_path, monkeypatch):
    for name in ("dashboard.html.j2", "dashboard_v300.html.j2"):
        (tmp_path / name).write_text(TEMPLATE, encoding="utf-8")
    monkeypatch.setenv("HALVEX_TEMPLATE_DIR", str(tmp_path))
    monkeypatch.setenv("HALVEX_JS_DIR", str(tmp_path))
    d = make_scoreboard(30, n_periods=5, n_risk_periods=2, seed=11)
    path = tmp_path / "doc.json"
    path.write_text(json.dumps(d), encoding="utf-8")
    return d, path


def render(fn, *args):
    with contextlib.redirect_stdout(io.StringIO()):
        result = fn(*args)
    names, slots, *chunks = open(result["html_path"], encoding="utf-8").read().split("\n")
    return names.split(), json.loads(slots), [c for c in chunks if c]


def check_rows(rows, slots, by_muta, periods, risk_periods, amount):
    assert rows and all(len(r) == slots["width"] for r in rows)
    for row in rows:
        source = by_muta[row[slots["muta"]]]
        assert row[slots["unvan"]] and source["unvan"].startswith(row[slots["unvan"]])
        assert row[slots["scores"] + slots["P"] - 1] == source.get("qvr" + periods[-1])
        last_r = "r" + risk_periods[-1]
        if isinstance(source.get(last_r), (int, float)):
            assert row[slots["r"] + slots["R"] - 1] == pytest.approx(amount(source[last_r]), abs=0.51)


def test_standard_page(doc, tmp_path):
    d, _ = doc
    names, slots, chunks = render(vitrum.render_html, d, str(tmp_path / "page.html"))
    assert names[-1] == "row_slots_js" and names.count("row_slots_js") == 1
    assert (slots["layout"], slots["P"], slots["R"]) == ("v316", 5, 2)
    rows = [r for c in chunks for r in json.loads(c)]
    check_rows(rows, slots, {r["muta"]: r for r in d["rows"]}, d["meta"]["donemler"], d["meta"]["risk_donemler"],
               lambda v: v / 1e6)


def test_compressed_page(doc, tmp_path):
    d, path = doc
    names, slots, chunks = render(vitrum.render_html_v300, str(path), str(tmp_path / "v300.html"))
    assert names[-1] == "row_slots_js"
    assert (slots["layout"], slots["width"]) == ("v300", 4 + 5 + 2)
    rows = [r for c in chunks for r in json.loads(gzip.decompress(base64.b64decode(c)))]
    check_rows(rows, slots, {r["muta"]: r for r in d["rows"]}, d["meta"]["donemler"], d["meta"]["risk_donemler"],
               lambda v: v)
