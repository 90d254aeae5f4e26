"""Pages large enough to take the renderer's large-document paths: chunk texts written into
the page at template markers, rows of a file read lazily with their memory let go, and the
compressed chunks built on several threads. Each must give exactly what the small paths give.
"""

from __future__ import annotations

import base64
import gzip
import json

import pytest

from halvex.pipeline import vitrum
from halvex.sample.scoreboard import make_scoreboard, write_scoreboard_json

# Enough rows for a document file larger than the steps in which row texts are let go.
N_ROWS = 230_000
# Enough rows for more than 1 MiB of chunk text, where the page is spliced.
SPLICE_ROWS = 15_000

DUMP = "{% for i, c in enumerate(data_chunks) %}<{{ i }}>{{ c }}\n{% endfor %}{{ total_rows }}"
# The same page, but the template does more with a chunk than insert it, so it must be
# given the real chunk texts.
DUMP_TOUCHED = "{% for i, c in enumerate(data_chunks) %}<{{ i }}>{{ c.replace('\x1e', '') }}\n{% endfor %}{{ total_rows }}"


@pytest.fixture(scope="module")
def big_doc():
    return make_scoreboard(N_ROWS, n_periods=12, n_risk_periods=3, seed=11)


def _render(tmp_path, monkeypatch, template, doc, name):
    tdir = tmp_path / f"tpl_{name}"
    tdir.mkdir()
    (tdir / "dashboard.html.j2").write_text(template, "utf-8")
    (tdir / "dashboard_v300.html.j2").write_text(template, "utf-8")
    monkeypatch.setenv("HALVEX_TEMPLATE_DIR", str(tdir))
    out = tmp_path / f"{name}.html"
    vitrum.render_html(doc, output_html=str(out))
    return out.read_bytes()


def test_spliced_page_equals_the_page_rendered_with_real_texts(tmp_path, monkeypatch, capsys):
    doc = make_scoreboard(SPLICE_ROWS, n_periods=12, n_risk_periods=3, seed=11)
    spliced = _render(tmp_path, monkeypatch, DUMP, doc, "spliced")
    assert len(spliced) > 2**20
    touched = _render(tmp_path, monkeypatch, DUMP_TOUCHED, doc, "touched")
    assert spliced == touched
    lines = spliced.decode("utf-8").split("\n")
    assert lines[-1] == str(SPLICE_ROWS)
    rows = []
    for i, line in enumerate(lines[:-1]):
        prefix = f"<{i}>"
        assert line.startswith(prefix)
        rows += json.loads(line[len(prefix):])
    assert len(rows) == SPLICE_ROWS
    # Largest latest risk first, as the caller's list was reordered.
    assert [r[0] for r in rows[:50]] == [r.get("muta") for r in doc["rows"][:50]]


def test_file_document_renders_as_the_same_document_in_memory(big_doc, tmp_path, monkeypatch, capsys):
    path = tmp_path / "json" / "scoreboard.json"
    write_scoreboard_json(path, big_doc)
    assert path.stat().st_size > 64 * 2**20  # larger than the steps in which row texts are let go
    from_file = _render(tmp_path, monkeypatch, DUMP, str(path), "file")
    in_memory = _render(tmp_path, monkeypatch, DUMP, json.loads(path.read_text("utf-8")), "memory")
    assert from_file == in_memory

    # The compressed page of the same file: every chunk decodes to the rows in page order.
    out = tmp_path / "v300.html"
    tdir = tmp_path / "tpl_v300"
    tdir.mkdir()
    (tdir / "dashboard_v300.html.j2").write_text(
        "{% for i, c in enumerate(data_chunks) %}{{ c }}\n{% endfor %}", "utf-8")
    monkeypatch.setenv("HALVEX_TEMPLATE_DIR", str(tdir))
    result = vitrum.render_html_v300(str(path), output_html=str(out))
    chunks = out.read_text("utf-8").split("\n")[:-1]
    assert result["chunks"] == len(chunks) == -(-N_ROWS // 10000)
    decoded = [row for c in chunks for row in json.loads(gzip.decompress(base64.b64decode(c)))]
    doc = json.loads(path.read_text("utf-8"))
    ordered = sorted(doc["rows"], key=lambda r: r.get("son_risk") or 0, reverse=True)
    meta = doc["meta"]
    expected = [vitrum._row_to_array_v300(r, meta["donemler"], meta["risk_donemler"]) for r in ordered]
    assert json.dumps(decoded) == json.dumps(expected)
