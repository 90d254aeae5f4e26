"""``render_html`` end to end, with a page template that writes out its context."""

import copy
import datetime
import decimal
import json
import os
import pathlib
import sys
import types

import pytest

from dump_pages import parse_page
from halvex.pipeline import vitrum

CONTEXT_NAMES = [
    "donemler", "risk_donemler", "top_n", "meta", "total_chunks", "total_rows", "bolge_list_js",
    "sube_list_js", "external_link", "risk_birim", "d3_js", "d3_sankey_js", "flow_matrix_js",
    "band_snapshot_js", "diag_index_js", "diag_groups_js", "kriter_aciklama_js", "page_mode",
    "backtest_summary_js", "backtest_firma_js", "ml_predictions_js",
]
DUMP_TEMPLATE = "".join(
    f"{n}={{% if {n} is defined %}}{{{{ {n} }}}}{{% else %}}<UNDEFINED>{{% endif %}}\n" for n in CONTEXT_NAMES
) + (
    "top_n_type={{ top_n.__class__.__name__ }}\n"
    "{% for i, c in enumerate(data_chunks) %}CHUNK{{ i }}={{ c }}\n{% endfor %}"
)


@pytest.fixture
def templates(template_dir):
    """A template folder with a context-dumping page; returns a function to replace the page."""

    def set_page(text):
        (template_dir / "dashboard.html.j2").write_text(text, encoding="utf-8")

    set_page(DUMP_TEMPLATE)
    set_page.dir = template_dir
    set_page.js_dir = template_dir.parent / "js"
    return set_page


def render(doc, out, **kwargs):
    result = vitrum.render_html(doc, str(out), **kwargs)
    return result, parse_page(out.read_text("utf-8"))


def rows_of(ctx):
    return [r for c in ctx["chunks"] for r in json.loads(c)]


def make_doc(rows=None, **extra):
    doc = {"meta": {"donemler": ["202401", "202402"]}, "rows": rows if rows is not None else []}
    doc.update(extra)
    return doc


def simple_rows(n):
    return [{"muta": i, "son_risk": (n - i) * 1000000} for i in range(n)]


# --- context ----------------------------------------------------------------------------------

def test_full_context(templates, tmp_path):
    (templates.js_dir / "d3.min.js").write_text("var d3 = 'ş';", encoding="utf-8")
    doc = {
        "meta": {"donemler": ["2024-01", "2024-02"], "risk_donemler": ["2024-02"], "baslik": "Ş"},
        "rows": [{"muta": 7, "unvan": "Çelik", "segment": "MIKRO", "son_risk": 2500000, "bolge_kodu": "07",
                  "sube_kodu": 12, "qvr2024-01": 700, "qvr2024-02": "YI", "r2024-02": 450000}],
        "flow_matrix": [[1, 2], [3, 4]],
        "band_snapshot": {"EUS": 1, "YIS": 0},
    }
    result, ctx = render(doc, tmp_path / "out" / "page.html", top_n=50.9, external_link="https://x/?m=",
                         trending_path=tmp_path / "no_such_trending.json")
    assert ctx["donemler"] == '["2024-01", "2024-02"]'
    assert ctx["risk_donemler"] == '["2024-02"]'
    assert ctx["top_n"] == "50" and ctx["top_n_type"] == "int"
    assert ctx["meta"] == str(doc["meta"])
    assert ctx["total_chunks"] == "1" and ctx["total_rows"] == "1"
    assert ctx["bolge_list_js"] == '[{"kodu":"07","adi":"Bölge 07"}]'
    assert ctx["sube_list_js"] == '[{"kodu":12,"adi":"Şube 12","bolge_idx":0}]'
    assert ctx["external_link"] == "https://x/?m="
    assert ctx["risk_birim"] == "mio_tl"
    assert ctx["d3_js"] == "var d3 = 'ş';" and ctx["d3_sankey_js"] == ""
    assert ctx["flow_matrix_js"] == "[[1,2],[3,4]]"
    assert ctx["band_snapshot_js"] == '{"EUS":1,"YIS":0}'
    assert ctx["chunks"] == ['[[7,"Çelik",2,2,0,0,700,-1,0.5,null,null,0,0,0,0,0,0,"",0]]']
    assert list(result) == ["html_path", "rows", "chunks", "size_kb"]
    assert result["html_path"] == str(tmp_path / "out" / "page.html")
    assert result["rows"] == 1 and result["chunks"] == 1
    size = (tmp_path / "out" / "page.html").stat().st_size
    assert type(result["size_kb"]) is float and result["size_kb"] == size / 1024


def test_context_without_optional_sections(templates, tmp_path):
    _, ctx = render(make_doc(), tmp_path / "p.html")
    assert "<UNDEFINED>" not in ctx.values()
    assert ctx["external_link"] == "" and ctx["top_n"] == "100"
    assert ctx["risk_donemler"] == ctx["donemler"] == '["202401", "202402"]'
    assert (ctx["flow_matrix_js"], ctx["band_snapshot_js"], ctx["diag_index_js"]) == ("[]", "{}", "{}")
    assert ctx["d3_js"] == "" and ctx["d3_sankey_js"] == ""


def test_period_lists_are_spaced_json(templates, tmp_path):
    doc = {"meta": {"donemler": ["Ocak<", 202402, {"a": 1, "b": [1, 2]}], "risk_donemler": []}, "rows": []}
    _, ctx = render(doc, tmp_path / "p.html")
    assert json.loads(ctx["donemler"]) == doc["meta"]["donemler"]
    assert ctx["donemler"] == '["Ocak\\u003c", 202402, {"a": 1, "b": [1, 2]}]'
    assert ctx["risk_donemler"] == "[]"


# --- ordering and filtering ---------------------------------------------------------------------

@pytest.mark.parametrize("risks, order", [
    ([5, None, 7, "missing"], [2, 0, 1, 3]),
    ([5, "missing", 7, None, 5], [2, 0, 4, 1, 3]),
    ([0, float("nan"), -1, 3, 0.0, False], [3, 0, 1, 4, 5, 2]),
    ([1.5, 2, True, 1], [1, 0, 2, 3]),
    # whole amounts beyond 2**53 keep their exact order
    ([2 ** 53, 2 ** 53 + 1], [1, 0]),
    ([10 ** 20, 10 ** 20 + 1, 10 ** 20 - 1], [1, 0, 2]),
    ([2 ** 53 + 1, float(2 ** 53)], [0, 1]), ([float(2 ** 53), 2 ** 53 + 1], [1, 0]),
    # text amounts only: ordered as texts
    (["5", "10", "7"], [2, 0, 1]),
])
def test_rows_ordered_by_latest_risk(templates, tmp_path, risks, order):
    rows = [{"muta": i} if r == "missing" else {"muta": i, "son_risk": r} for i, r in enumerate(risks)]
    _, ctx = render(make_doc(rows), tmp_path / "p.html")
    assert [r[0] for r in rows_of(ctx)] == order


@pytest.mark.parametrize("rows", [
    [{"son_risk": "5"}, {"son_risk": 7}], [{"son_risk": "5"}, {"son_risk": None}], [{"son_risk": [1]}, {}],
    [{"muta": 1}, 5], [{"unvan": 12}],
])
def test_rows_that_cannot_be_ordered_or_encoded_fail(templates, tmp_path, rows):
    with pytest.raises(TypeError):
        vitrum.render_html(make_doc(rows), str(tmp_path / "p.html"))
    assert not (tmp_path / "p.html").exists()


def test_caller_rows_reordered_without_filter(templates, tmp_path):
    rows = [{"muta": 1, "son_risk": 5}, {"muta": 2, "son_risk": None}, {"muta": 3, "son_risk": 7}, {"muta": 4}]
    ids = [id(r) for r in rows]
    doc = make_doc(rows)
    render(doc, tmp_path / "p.html")
    assert doc["rows"] is rows
    assert [r["muta"] for r in rows] == [3, 1, 2, 4]
    assert sorted(map(id, rows)) == sorted(ids)


def test_caller_rows_untouched_with_filter(templates, tmp_path):
    rows = [{"muta": 1, "son_risk": 5}, {"muta": 2, "son_risk": 9}, {"muta": 3, "son_risk": 7}]
    before = copy.deepcopy(rows)
    calls = []

    def keep(row):
        calls.append(row["muta"])
        return row["muta"] != 2

    doc = make_doc(rows)
    _, ctx = render(doc, tmp_path / "p.html", row_filter=keep)
    assert calls == [1, 2, 3]
    assert rows == before and doc["rows"] is rows
    assert [r[0] for r in rows_of(ctx)] == [3, 1]


@pytest.mark.parametrize("verdict, kept", [
    (lambda r: r["muta"] % 2, [1, 3]), (lambda r: "yes" if r["muta"] > 2 else "", [3, 4]),
    (lambda r: [r] if r["muta"] == 2 else [], [2]), (lambda r: None, []),
])
def test_row_filter_truthiness(templates, tmp_path, verdict, kept):
    rows = [{"muta": i, "son_risk": -i} for i in range(1, 5)]
    result, ctx = render(make_doc(rows), tmp_path / "p.html", row_filter=verdict)
    assert [r[0] for r in rows_of(ctx)] == kept
    assert result["rows"] == len(kept) and result["chunks"] == 1
    if not kept:
        assert ctx["chunks"] == ["[]"]


def test_row_filter_error_propagates(templates, tmp_path):
    def boom(row):
        raise LookupError("no")

    with pytest.raises(LookupError):
        vitrum.render_html(make_doc(simple_rows(2)), str(tmp_path / "p.html"), row_filter=boom)
    assert not (tmp_path / "p.html").exists()


# --- chunking -----------------------------------------------------------------------------------

@pytest.mark.parametrize("n_rows, chunk_size, sizes", [
    (0, 10, [0]), (0, 0, [0]), (10, 10, [10]), (11, 10, [10, 1]), (25, 10, [10, 10, 5]), (1, 1, [1]),
    (3, 1, [1, 1, 1]), (5, 7.9, [5]), (25000, 10000, [10000, 10000, 5000]),
])
def test_chunking(templates, tmp_path, n_rows, chunk_size, sizes):
    result, ctx = render(make_doc(simple_rows(n_rows)), tmp_path / "p.html", chunk_size=chunk_size)
    assert [len(json.loads(c)) for c in ctx["chunks"]] == sizes
    assert ctx["total_chunks"] == str(len(sizes)) and ctx["total_rows"] == str(n_rows)
    assert (result["rows"], result["chunks"]) == (n_rows, len(sizes))
    assert [r[0] for r in rows_of(ctx)] == list(range(n_rows))
    if n_rows == 0:
        assert ctx["chunks"] == ["[]"]


def test_default_chunk_size(templates, tmp_path):
    result, ctx = render(make_doc(simple_rows(10001)), tmp_path / "p.html")
    assert [len(json.loads(c)) for c in ctx["chunks"]] == [10000, 1]


def test_chunks_are_compact_json_with_escaped_lt(templates, tmp_path):
    rows = [{"muta": "A<1>", "unvan": "</script><b>Ağ & Ş", "son_risk": 1, "_qvr_neden": "a\"b\\c\n\u2028",
             "_ml_yi_prob": {"k": [1, 2.5]}}]
    doc = make_doc(rows, flow_matrix=[{"from": "<x", "to": ">y"}], band_snapshot={"<": "ü"},
                   diag_index={"A<1>": {"p": {"bulgular": [{"grup": "icra", "kriter": "<k"}]}}})
    _, ctx = render(doc, tmp_path / "p.html", extra_data={"page_mode": "admin", "ml_predictions": ["<p"]})
    chunk = ctx["chunks"][0]
    assert "<" not in chunk and "\\u003c" in chunk and " " not in chunk.replace("Ağ & Ş", "")
    assert chunk == ('[["A\\u003c1>","\\u003c/script>\\u003cb>Ağ & Ş",-1,0.0,-1,-1,null,null,null,null,null,null,'
                     'null,null,0,0,0,0,0,0,"a\\"b\\\\c\\n\u2028",{"k":[1,2.5]}]]')
    assert json.loads(chunk) == [vitrum._row_to_array(rows[0], ["202401", "202402"], ["202401", "202402"], {}, {})]
    for name, value in [("flow_matrix_js", doc["flow_matrix"]), ("band_snapshot_js", doc["band_snapshot"]),
                        ("diag_index_js", doc["diag_index"]), ("ml_predictions_js", ["<p"])]:
        assert "<" not in ctx[name], name
        assert json.loads(ctx[name]) == value
        assert ctx[name] == json.dumps(value, ensure_ascii=False, separators=(",", ":")).replace("<", "\\u003c")


# --- paths and output ------------------------------------------------------------------------------

def test_in_memory_document_default_path(templates, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    result = vitrum.render_html(make_doc(simple_rows(1)))
    assert os.path.normpath(result["html_path"]) == os.path.join("html", "qvr_dashboard.html")
    assert (tmp_path / "html" / "qvr_dashboard.html").is_file()
    assert capsys.readouterr().out.splitlines()[0] == "    HTML: " + result["html_path"]


def test_in_memory_document_reference_file_beside_output(templates, tmp_path):
    folder = tmp_path / "A"
    folder.mkdir()
    (folder / "sube_bolge_ref.csv").write_text("bolge_kodu,bolge_adi,sube_kodu,sube_adi\n07,Ege,1,Konak\n", "utf-8")
    _, ctx = render(make_doc([{"bolge_kodu": "07", "sube_kodu": "1"}]), folder / "p.html")
    assert ctx["bolge_list_js"] == '[{"kodu":"07","adi":"Ege"}]'
    assert ctx["sube_list_js"] == '[{"kodu":"1","adi":"Konak","bolge_idx":0}]'


def test_file_document_default_paths(templates, tmp_path, capsys):
    jdir = tmp_path / "B" / "json"
    jdir.mkdir(parents=True)
    (jdir / "sube_bolge_ref.csv").write_text("bolge_kodu,bolge_adi\n07,Ege\n", "utf-8")
    path = jdir / "scoreboard.json"
    path.write_text(json.dumps(make_doc([{"bolge_kodu": "07"}])), "utf-8")
    result = vitrum.render_html(str(path))
    out = tmp_path / "B" / "html" / "qvr_dashboard.html"
    assert os.path.samefile(result["html_path"], out)
    ctx = parse_page(out.read_text("utf-8"))
    assert ctx["bolge_list_js"] == '[{"kodu":"07","adi":"Ege"}]'
    assert capsys.readouterr().out.splitlines()[0] == "    HTML: " + result["html_path"]
    # a path object is accepted as well
    assert os.path.samefile(vitrum.render_html(path)["html_path"], out)


# The result and the printed line show a path as pathlib writes it: repeated "/" and "." parts
# dropped, a leading "//" kept.
@pytest.mark.parametrize("given", ["out//./page.html", "./out/page.html", "//x/../out/page.html"])
def test_output_path_text_is_pathlibs(templates, tmp_path, monkeypatch, capsys, given):
    monkeypatch.chdir(tmp_path)
    if given.startswith("//"):
        given = "/" + str(tmp_path) + given[1:]  # "//" then an absolute folder
    result = vitrum.render_html(make_doc(simple_rows(1)), output_html=given)
    assert result["html_path"] == str(pathlib.PurePosixPath(given))
    assert capsys.readouterr().out.splitlines()[0] == "    HTML: " + result["html_path"]


def test_default_output_of_an_untidy_document_path(templates, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "B" / "json").mkdir(parents=True)
    (tmp_path / "B" / "json" / "doc.json").write_text(json.dumps(make_doc(simple_rows(1))), "utf-8")
    result = vitrum.render_html("B//json/./doc.json")
    assert result["html_path"] == "B/html/qvr_dashboard.html"
    assert (tmp_path / "B" / "html" / "qvr_dashboard.html").is_file()


def test_explicit_reference_path(templates, tmp_path):
    ref = tmp_path / "elsewhere.csv"
    ref.write_text("sube_kodu,sube_adi\n5,Beş\n", "utf-8")
    _, ctx = render(make_doc([{"sube_kodu": 5}]), tmp_path / "p.html", ref_csv_path=ref)
    assert ctx["sube_list_js"] == '[{"kodu":5,"adi":"Beş","bolge_idx":-1}]'


def test_file_and_memory_forms_render_the_same_page(templates, tmp_path):
    doc = {"meta": {"donemler": ["a", "b"], "risk_donemler": ["b"], "x": [1, {"y": None}]},
           "rows": [{"muta": i, "unvan": f"Firma {i} ş", "son_risk": (i * 7919) % 13 * 250000.0,
                     "qvra": i * 10, "qvrb": "YI" if i % 3 else 812.5, "rb": i * 100000, "bolge_kodu": f"0{i % 3}",
                     "sube_kodu": i % 4, "_qvr_neden": "n"} for i in range(30)],
           "flow_matrix": [1, "<"], "band_snapshot": {"a": 1.5},
           "diag_index": {"3": {"b": {"yeni_gruplar": ["icra"], "bulgular": [{"aciklama": "x"}]}}}}
    jdir = tmp_path / "json"
    jdir.mkdir()
    (jdir / "doc.json").write_text(json.dumps(doc, ensure_ascii=False), "utf-8")
    vitrum.render_html(str(jdir / "doc.json"), str(tmp_path / "file.html"), chunk_size=7)
    vitrum.render_html(doc, str(tmp_path / "mem.html"), chunk_size=7)
    assert (tmp_path / "file.html").read_bytes() == (tmp_path / "mem.html").read_bytes()


def test_row_filter_on_a_document_file(templates, tmp_path):
    rows = [{"muta": 1, "son_risk": 1, "x": [1, {"y": "ş"}]}, {"muta": 2, "son_risk": 2}]
    path = tmp_path / "doc.json"
    path.write_text(json.dumps(make_doc(rows)), "utf-8")
    seen = []
    _, ctx = render(str(path), tmp_path / "p.html", row_filter=lambda r: seen.append(r) or r["muta"] == 1)
    assert seen == rows
    assert [r[0] for r in rows_of(ctx)] == [1]


def test_page_written_as_utf8_and_replaces_existing(templates, tmp_path):
    templates("Şube — {{ total_rows }}")
    out = tmp_path / "p.html"
    out.write_text("old content that is much longer than the new page", "utf-8")
    vitrum.render_html(make_doc(), str(out))
    assert out.read_bytes() == "Şube — 0".encode("utf-8")
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


def test_page_written_through_a_symlink(templates, tmp_path):
    templates("new page")
    target = tmp_path / "site" / "index.html"
    target.parent.mkdir()
    target.write_text("old", "utf-8")
    link = tmp_path / "p.html"
    link.symlink_to(target)
    vitrum.render_html(make_doc(), str(link))
    assert target.read_text("utf-8") == "new page"
    assert link.is_symlink()


# --- printed lines and size -----------------------------------------------------------------------

@pytest.mark.parametrize("size, size_text", [
    (0, "0.0 KB"), (1536, "1.5 KB"), (1024 * 1024, "1024.0 KB"), (1024 * 1024 + 1, "1.0 MB"),
    (2097152, "2.0 MB"), (52, "0.1 KB"), (51, "0.0 KB"), (256, "0.2 KB"), (1572864, "1.5 MB"),
])
def test_printed_lines_and_size(templates, tmp_path, capsys, size, size_text):
    templates('{{ "a" * %d }}' % size)
    rows = [{"bolge_kodu": b, "sube_kodu": s} for b, s in [("1", 1), ("2", 2), ("1", 3)]]
    result = vitrum.render_html(make_doc(rows), str(tmp_path / "p.html"), chunk_size=2)
    assert capsys.readouterr().out == (
        f"    HTML: {tmp_path / 'p.html'}\n"
        f"    Boyut: {size_text}  |  3 satır  |  2 chunk\n"
        f"    Bölge: 2  |  Şube: 3\n")
    assert result == {"html_path": str(tmp_path / "p.html"), "rows": 3, "chunks": 2, "size_kb": size / 1024}
    assert type(result["size_kb"]) is float


@pytest.mark.parametrize("size, limit, warning", [
    (5 * 1048576, 5, None),
    (5284823, 5, "    [WARN] Boyut limiti aşıldı: 5.0 MB > 5.0 MB"),  # 5.04 MB
    (3 * 1048576, 2, "    [WARN] Boyut limiti aşıldı: 3.0 MB > 2.0 MB"),
    (3 * 1048576, 2.5, "    [WARN] Boyut limiti aşıldı: 3.0 MB > 2.5 MB"),
    (3 * 1048576, 1e-05, "    [WARN] Boyut limiti aşıldı: 3.0 MB > 1e-05 MB"),
    (1048576 + 104858, 1.05, "    [WARN] Boyut limiti aşıldı: 1.1 MB > 1.05 MB"),
    (3 * 1048576, 0, None), (3 * 1048576, 0.0, None), (3 * 1048576, -1, None),
])
def test_size_limit_warning(templates, tmp_path, capsys, size, limit, warning):
    templates('{{ "a" * %d }}' % size)
    result = vitrum.render_html(make_doc(), str(tmp_path / "p.html"), max_size_mb=limit)
    lines = capsys.readouterr().out.splitlines()
    assert lines[3:] == ([warning] if warning else [])
    assert result["size_kb"] == size / 1024 and (tmp_path / "p.html").stat().st_size == size


# --- early exit -----------------------------------------------------------------------------------

@pytest.mark.parametrize("meta", [{}, {"donemler": []}, {"donemler": None}, {"donemler": ""},
                                  {"donemler": {}}, {"donemler": 0}, {"risk_donemler": ["a"]}])
def test_early_exit_without_periods(templates, tmp_path, capsys, meta):
    calls = []
    out = tmp_path / "p.html"
    result = vitrum.render_html({"meta": meta, "rows": [{"muta": 1}]}, str(out), row_filter=calls.append)
    assert capsys.readouterr().out == "    [WARN] No periods in data, skipping HTML render\n"
    assert result == {"html_path": str(out), "rows": 0, "chunks": 0, "size_kb": 0}
    assert list(result) == ["html_path", "rows", "chunks", "size_kb"] and type(result["size_kb"]) is int
    assert not out.exists() and calls == []


def test_early_exit_default_path(templates, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    result = vitrum.render_html({"meta": {}, "rows": []})
    assert os.path.normpath(result["html_path"]) == os.path.join("html", "qvr_dashboard.html")
    assert not (tmp_path / "html" / "qvr_dashboard.html").exists()


# --- document files -------------------------------------------------------------------------------

def write_doc(tmp_path, text, name="doc.json"):
    path = tmp_path / name
    path.write_bytes(text.encode("utf-8") if isinstance(text, str) else text)
    return str(path)


def test_document_with_nan_and_infinity_tokens(templates, tmp_path):
    text = ('{"meta": {"donemler": ["p"]}, "rows": [{"muta": 1, "son_risk": NaN, "_ml_yi_prob": Infinity,'
            ' "_yakalanan": -Infinity, "rp": NaN}, {"muta": 2, "son_risk": 3}], "band_snapshot": {"x": NaN}}')
    _, ctx = render(write_doc(tmp_path, text), tmp_path / "p.html")
    assert ctx["chunks"][0] == ('[[2,"",-1,0.0,-1,-1,null,null,null,null,0,0,0,0,0,0,"",0],'
                                '[1,"",-1,null,-1,-1,null,null,null,null,0,0,0,0,-Infinity,0,"",Infinity]]')
    assert ctx["band_snapshot_js"] == '{"x":NaN}'


def test_document_with_duplicate_keys_and_big_integers(templates, tmp_path):
    big = "123456789012345678901234567890"
    text = ('{"meta": {"donemler": ["a"], "x": 1, "donemler": ["p"]}, "rows": [{"muta": 1, "unvan": "X", "muta": '
            + big + ', "qvrp": ' + big + ', "_ml_yi_prob": -' + big + '}], "rows2": 0}')
    _, ctx = render(write_doc(tmp_path, text), tmp_path / "p.html")
    assert ctx["donemler"] == '["p"]'
    assert ctx["meta"] == "{'donemler': ['p'], 'x': 1}"
    assert ctx["chunks"][0] == f'[[{big},"X",-1,0.0,-1,-1,{big},null,null,null,0,0,0,0,0,0,"",-{big}]]'


@pytest.mark.parametrize("content, exc", [
    ("", json.JSONDecodeError), ("{", json.JSONDecodeError), ('{"meta": {}, "rows": []} x', json.JSONDecodeError),
    ("[1, 2,]", json.JSONDecodeError), ("{'meta': 1}", json.JSONDecodeError),
    (b'{"meta": {"donemler": ["\xff"]}, "rows": []}', UnicodeDecodeError),
    (b'\xef\xbb\xbf{"meta": {}, "rows": []}', json.JSONDecodeError),  # a BOM is not JSON
    ('{"rows": []}', KeyError), ('{"meta": {"donemler": ["p"]}}', KeyError),
])
def test_document_file_errors(templates, tmp_path, content, exc):
    out = tmp_path / "p.html"
    with pytest.raises(exc):
        vitrum.render_html(write_doc(tmp_path, content), str(out))
    assert not out.exists()


def test_json_error_message_and_position(templates, tmp_path):
    with pytest.raises(json.JSONDecodeError) as info:
        vitrum.render_html(write_doc(tmp_path, '{"meta": {},\n "rows": [1,,]}'), str(tmp_path / "p.html"))
    assert str(info.value) == "Expecting value: line 2 column 13 (char 25)"
    assert (info.value.lineno, info.value.colno, info.value.pos) == (2, 13, 25)


def test_missing_document_file(templates, tmp_path):
    with pytest.raises(FileNotFoundError):
        vitrum.render_html(str(tmp_path / "nope.json"), str(tmp_path / "p.html"))


@pytest.mark.parametrize("doc, key", [({"rows": []}, "meta"), ({"meta": {"donemler": ["p"]}}, "rows")])
def test_in_memory_document_missing_key(templates, tmp_path, doc, key):
    with pytest.raises(KeyError) as info:
        vitrum.render_html(doc, str(tmp_path / "p.html"))
    assert info.value.args == (key,)


# --- failures around the output ---------------------------------------------------------------------

def test_failed_render_leaves_existing_page(templates, tmp_path):
    import jinja2
    templates("{{ total_rows }}{{ no_such_thing.attr }}")
    out = tmp_path / "p.html"
    out.write_text("OLD PAGE", "utf-8")
    with pytest.raises(jinja2.UndefinedError):
        vitrum.render_html(make_doc(simple_rows(3)), str(out))
    assert out.read_text("utf-8") == "OLD PAGE"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["js", "p.html", "templates"]


def test_template_syntax_error_and_missing_template(templates, tmp_path):
    import jinja2
    templates("{% for %}")
    with pytest.raises(jinja2.TemplateSyntaxError):
        vitrum.render_html(make_doc(), str(tmp_path / "p.html"))
    (templates.dir / "dashboard.html.j2").unlink()
    with pytest.raises(jinja2.TemplateNotFound):
        vitrum.render_html(make_doc(), str(tmp_path / "p.html"))
    assert not (tmp_path / "p.html").exists()


@pytest.mark.parametrize("make_target", [
    lambda tmp: tmp / "dir_target",           # the output path is a folder
    lambda tmp: tmp / "file" / "p.html",      # a parent is a file
])
def test_unwritable_output_path(templates, tmp_path, make_target):
    (tmp_path / "dir_target").mkdir()
    (tmp_path / "file").write_text("x", "utf-8")
    with pytest.raises(OSError):
        vitrum.render_html(make_doc(), str(make_target(tmp_path)))
    assert (tmp_path / "file").read_text("utf-8") == "x"


@pytest.mark.skipif(os.geteuid() == 0, reason="root may write anywhere")
def test_read_only_folder(templates, tmp_path):
    ro = tmp_path / "ro"
    ro.mkdir()
    ro.chmod(0o555)
    try:
        with pytest.raises(PermissionError):
            vitrum.render_html(make_doc(), str(ro / "p.html"))
    finally:
        ro.chmod(0o755)


def test_negative_chunk_size_rejected_before_any_work(templates, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    calls = []
    with pytest.raises(ValueError):
        vitrum.render_html(make_doc(simple_rows(3)), row_filter=calls.append, chunk_size=-5)
    with pytest.raises(ValueError):
        vitrum.render_html(str(tmp_path / "missing.json"), chunk_size=-1)
    assert calls == [] and not (tmp_path / "html").exists()


def test_zero_chunk_size_with_rows(templates, tmp_path):
    out = tmp_path / "p.html"
    with pytest.raises(ZeroDivisionError) as info:
        vitrum.render_html(make_doc(simple_rows(1)), str(out), chunk_size=0)
    assert "chunk_size" in str(info.value)
    assert not out.exists()


# --- page modes and extra data -------------------------------------------------------------------

DIAG = {
    "100": {
        "202401": {"yeni_gruplar": ["gecikme", "yasal"],
                   "bulgular": [{"katman": "SQL", "grup": "icra", "kriter": "K1", "aciklama": "gizli"},
                                {"katman": "KURAL", "grup": "gecikme", "kriter": "K2", "aciklama": "açık"},
                                {"grup": "yasal"}]},
        "202402": [{"katman": "SQL_DELTA", "grup": "izleme", "aciklama": "x"}, {"katman": "sql", "grup": "ortak"}],
        "202403": "metin",
    },
    "200": {"202402": {"yeni_gruplar": [], "bulgular": [{"katman": "SQL", "grup": "icra"},
                                                        {"katman": "KIK", "grup": "cek_senet"}]}},
    "300": "raw",
    "1234.5": {"202401": {"yeni_gruplar": ["icra"]}},
}


def diag_doc(rows=None):
    rows = rows if rows is not None else [{"muta": 100}, {"muta": "200"}, {"muta": 999}]
    return make_doc(rows, diag_index=copy.deepcopy(DIAG))


@pytest.mark.parametrize("extra", [None, {}])
def test_no_extra_data(templates, tmp_path, extra):
    doc = diag_doc()
    doc["diag_index"].pop("300")
    _, ctx = render(doc, tmp_path / "p.html", extra_data=extra)
    assert ctx["page_mode"] == ""
    assert (ctx["backtest_summary_js"], ctx["backtest_firma_js"], ctx["ml_predictions_js"]) == ("{}", "{}", "[]")
    assert json.loads(ctx["diag_index_js"]) == standard_expected(True)  # the standard page, slimmed


def test_admin_page_gets_full_index_without_descriptions(templates, tmp_path):
    doc = diag_doc()
    doc["diag_index"].pop("300")
    _, ctx = render(doc, tmp_path / "p.html", extra_data={"page_mode": "admin"})
    expected = copy.deepcopy(doc["diag_index"])
    for f in expected["100"]["202401"]["bulgular"] + expected["100"]["202402"]:
        f.pop("aciklama", None)
    assert ctx["page_mode"] == "admin"
    assert ctx["diag_index_js"] == json.dumps(expected, ensure_ascii=False, separators=(",", ":"))
    assert (ctx["backtest_summary_js"], ctx["backtest_firma_js"], ctx["ml_predictions_js"]) == ("{}", "{}", "[]")


class _ClaimsAdmin(str):
    def __str__(self):
        return "admin"


@pytest.mark.parametrize("mode", [_ClaimsAdmin("x"), ["admin"], True])
def test_only_the_text_admin_selects_the_admin_page(templates, tmp_path, mode):
    # The mode is compared by its value, as ``page_mode == "admin"`` would, not by its str().
    doc = diag_doc()
    doc["diag_index"].pop("300")
    _, ctx = render(doc, tmp_path / "p.html", extra_data={"page_mode": mode})
    assert json.loads(ctx["diag_index_js"]) == standard_expected(True)


def standard_expected(sql_withheld):
    # "200": yeni_gruplar empty -> letters from bulgular
    return {"100": {"202401": "gy"}, "200": {"202402": "c" if sql_withheld else "ic"}, "1234.5": {"202401": "i"}}


@pytest.mark.parametrize("flag", [True, False, 1, 0, "", "yes"])
def test_standard_page_sql_layers(templates, tmp_path, monkeypatch, flag):
    import halvex.diag_groups as dg
    monkeypatch.setattr(dg, "SQL_ADMIN_ONLY", flag)
    doc = diag_doc()
    doc["diag_index"].pop("300")
    _, ctx = render(doc, tmp_path / "p.html", extra_data={"page_mode": "standart"})
    assert ctx["page_mode"] == "standart"
    assert json.loads(ctx["diag_index_js"]) == standard_expected(bool(flag))


def test_sql_flag_absent_counts_as_false(templates, tmp_path, monkeypatch):
    import halvex.diag_groups as dg
    monkeypatch.delattr(dg, "SQL_ADMIN_ONLY")
    doc = diag_doc()
    doc["diag_index"].pop("300")
    _, ctx = render(doc, tmp_path / "p.html")
    assert json.loads(ctx["diag_index_js"]) == standard_expected(False)
    assert ctx["diag_groups_js"] != "{}"


def test_admin_page_keeps_sql_layers(templates, tmp_path, monkeypatch):
    import halvex.diag_groups as dg
    monkeypatch.setattr(dg, "SQL_ADMIN_ONLY", True)
    _, ctx = render(diag_doc([{"muta": 100}]), tmp_path / "p.html", row_filter=lambda r: True,
                    extra_data={"page_mode": "admin"})
    index = json.loads(ctx["diag_index_js"])
    assert list(index) == ["100"]
    assert [f["katman"] for f in index["100"]["202402"]] == ["SQL_DELTA", "sql"]
    assert [f.get("katman") for f in index["100"]["202401"]["bulgular"]] == ["SQL", "KURAL", None]


def test_vocabularies_from_diag_groups(templates, tmp_path, monkeypatch):
    fake = types.ModuleType("halvex.diag_groups")
    fake.SQL_ADMIN_ONLY = False
    fake.DIAG_GROUPS = {"icra": {"harf": "i", "baslik": "İcra <"}}
    fake.KRITER_ACIKLAMA = {"A": "a1", "B": "b1"}
    fake.KIK_COL_ACIKLAMA = {"C": "c2", "A": "a2"}
    fake.MEMZUC_COL_ACIKLAMA = {"B": "b3", "D": "d3"}
    monkeypatch.setitem(sys.modules, "halvex.diag_groups", fake)
    _, ctx = render(make_doc(), tmp_path / "p.html")
    assert ctx["diag_groups_js"] == '{"icra":{"harf":"i","baslik":"İcra \\u003c"}}'
    assert ctx["kriter_aciklama_js"] == '{"A":"a2","B":"b3","C":"c2","D":"d3"}'


def test_real_diag_groups_vocabularies(templates, tmp_path):
    import halvex.diag_groups as dg
    _, ctx = render(make_doc(), tmp_path / "p.html")
    assert json.loads(ctx["diag_groups_js"]) == dg.DIAG_GROUPS
    merged = {**dg.KRITER_ACIKLAMA, **dg.KIK_COL_ACIKLAMA, **dg.MEMZUC_COL_ACIKLAMA}
    assert ctx["kriter_aciklama_js"] == json.dumps(merged, ensure_ascii=False, separators=(",", ":")).replace("<", "\\u003c")


@pytest.mark.parametrize("missing", ["module", "DIAG_GROUPS", "MEMZUC_COL_ACIKLAMA"])
def test_missing_diag_groups(templates, tmp_path, monkeypatch, missing):
    import halvex.diag_groups as dg
    if missing == "module":
        monkeypatch.setitem(sys.modules, "halvex.diag_groups", None)
    else:
        monkeypatch.delattr(dg, missing)
    doc = diag_doc()
    doc["diag_index"].pop("300")
    _, ctx = render(doc, tmp_path / "p.html")
    assert ctx["diag_groups_js"] == "{}" and ctx["kriter_aciklama_js"] == "{}"
    if missing == "module":  # the flag counts as false: SQL findings stay
        assert json.loads(ctx["diag_index_js"]) == standard_expected(False)


def test_diag_groups_value_without_json_form_fails(templates, tmp_path, monkeypatch):
    import halvex.diag_groups as dg
    monkeypatch.setattr(dg, "DIAG_GROUPS", {"x": {1, 2}})
    with pytest.raises(TypeError):
        vitrum.render_html(make_doc(), str(tmp_path / "p.html"))
    assert not (tmp_path / "p.html").exists()


@pytest.mark.parametrize("rows, keep, kept_keys", [
    ([{"muta": 100}, {"muta": "200"}, {"muta": 999}, {"muta": None}, {}], lambda r: True, ["100", "200"]),
    ([{"muta": 100}, {"muta": 200}], lambda r: r["muta"] == 200, ["200"]),
    ([{"muta": 100.0}, {"muta": 1234.5}], lambda r: True, ["1234.5"]),  # 100.0 has the text 100.0
    ([{"muta": 100}], lambda r: False, []),
    ([], lambda r: True, []),
])
def test_diag_index_restricted_to_filtered_rows(templates, tmp_path, rows, keep, kept_keys):
    doc = diag_doc(rows)
    doc["diag_index"].pop("300")
    _, ctx = render(doc, tmp_path / "p.html", row_filter=keep, extra_data={"page_mode": "admin"})
    index = json.loads(ctx["diag_index_js"])
    assert list(index) == kept_keys
    if not kept_keys:
        assert ctx["diag_index_js"] == "{}"


def test_no_filter_keeps_entries_of_customers_without_rows(templates, tmp_path):
    doc = diag_doc([])
    doc["diag_index"].pop("300")
    _, ctx = render(doc, tmp_path / "p.html", extra_data={"page_mode": "admin"})
    assert list(json.loads(ctx["diag_index_js"])) == ["100", "200", "1234.5"]


def test_caller_diag_index_unchanged(templates, tmp_path, monkeypatch):
    import halvex.diag_groups as dg
    monkeypatch.setattr(dg, "SQL_ADMIN_ONLY", True)
    for extra in (None, {"page_mode": "admin"}):
        doc = diag_doc()
        doc["diag_index"].pop("300")
        before = copy.deepcopy(doc["diag_index"])
        inner = doc["diag_index"]["100"]["202401"]["bulgular"]
        render(doc, tmp_path / "p.html", extra_data=extra, row_filter=lambda r: r.get("muta") == 100)
        assert doc["diag_index"] == before
        assert doc["diag_index"]["100"]["202401"]["bulgular"] is inner


def test_customer_value_not_an_object_fails_on_standard_page(templates, tmp_path):
    with pytest.raises(TypeError, match="'str' object has no attribute 'items'"):
        vitrum.render_html(diag_doc(), str(tmp_path / "p.html"))
    assert not (tmp_path / "p.html").exists()
    # the administrator page passes it through
    _, ctx = render(diag_doc(), tmp_path / "p.html", extra_data={"page_mode": "admin"})
    assert json.loads(ctx["diag_index_js"])["300"] == "raw"


def test_finding_not_an_object_fails(templates, tmp_path):
    doc = make_doc(diag_index={"1": {"p": {"bulgular": ["text"]}}})
    with pytest.raises(TypeError):
        vitrum.render_html(doc, str(tmp_path / "p.html"), extra_data={"page_mode": "admin"})


class Opaque:
    def __str__(self):
        return "<opaque ş>"


def test_extra_sections(templates, tmp_path):
    extra = {
        "page_mode": "admin",
        "backtest_summary": {"tarih": datetime.date(2024, 1, 31), "oran": decimal.Decimal("0.125"), "n": 3},
        "backtest_firma": {"100": [datetime.datetime(2024, 1, 2, 3, 4, 5), Opaque(), (1, 2)]},
        "ml_predictions": [{"muta": 1, "p": 0.5, "x": None, "ok": True}],
    }
    _, ctx = render(make_doc(), tmp_path / "p.html", extra_data=extra)
    assert ctx["backtest_summary_js"] == '{"tarih":"2024-01-31","oran":"0.125","n":3}'
    assert ctx["backtest_firma_js"] == '{"100":["2024-01-02 03:04:05","\\u003copaque ş>",[1,2]]}'
    assert ctx["ml_predictions_js"] == '[{"muta":1,"p":0.5,"x":null,"ok":true}]'


@pytest.mark.parametrize("extra, expected", [
    ({"page_mode": "admin"}, ("{}", "{}", "[]")),
    ({"backtest_summary": [1]}, ("[1]", "{}", "[]")),
    ({"ml_predictions": {"a": 1}}, ("{}", "{}", '{"a":1}')),
    ({"backtest_firma": None, "ml_predictions": None}, ("{}", "null", "null")),
])
def test_extra_section_defaults(templates, tmp_path, extra, expected):
    _, ctx = render(make_doc(), tmp_path / "p.html", extra_data=extra)
    assert (ctx["backtest_summary_js"], ctx["backtest_firma_js"], ctx["ml_predictions_js"]) == expected
    assert ctx["page_mode"] == extra.get("page_mode", "")


def test_chart_libraries(templates, tmp_path):
    (templates.js_dir / "d3.min.js").write_text("D3 ş", encoding="utf-8")
    (templates.js_dir / "d3-sankey.min.js").write_text("SANKEY", encoding="utf-8")
    _, ctx = render(make_doc(), tmp_path / "p.html")
    assert (ctx["d3_js"], ctx["d3_sankey_js"]) == ("D3 ş", "SANKEY")


def test_chart_library_not_utf8_fails(templates, tmp_path):
    (templates.js_dir / "d3.min.js").write_bytes(b"\xff\xfe")
    with pytest.raises(UnicodeDecodeError):
        vitrum.render_html({"meta": {}, "rows": []}, str(tmp_path / "p.html"))


# --- values the page never serialises ----------------------------------------------------------

def test_meta_members_without_json_form_reach_the_template(templates, tmp_path):
    templates("{{ meta.olusturma.year }}|{{ donemler }}|{{ total_rows }}")
    doc = make_doc([{"muta": 1}])
    doc["meta"]["olusturma"] = datetime.date(2024, 1, 31)
    vitrum.render_html(doc, str(tmp_path / "p.html"))
    assert (tmp_path / "p.html").read_text("utf-8") == '2024|["202401", "202402"]|1'


def test_findings_slimmed_away_may_hold_any_value(templates, tmp_path):
    templates("{{ diag_index_js }}")
    doc = make_doc([{"muta": 1}], diag_index={"1": {"p": {"bulgular": [
        {"grup": "icra", "tarih": datetime.date(2024, 1, 31), "aciklama": decimal.Decimal("1")}]}}})
    vitrum.render_html(doc, str(tmp_path / "p.html"))
    assert (tmp_path / "p.html").read_text("utf-8") == '{"1":{"p":"i"}}'
    # the administrator page has to write the finding out, which it cannot
    with pytest.raises(TypeError):
        vitrum.render_html(doc, str(tmp_path / "admin.html"), extra_data={"page_mode": "admin"})
    assert not (tmp_path / "admin.html").exists()


def test_unread_row_members_may_hold_any_value(templates, tmp_path):
    rows = [{"muta": 1, "son_risk": 2500000, "tarih": datetime.date(2024, 1, 31), "obj": object()}]
    _, ctx = render(make_doc(rows), tmp_path / "p.html")
    assert rows_of(ctx)[0][:4] == [1, "", -1, 2]


def render_both_ways(doc, tmp_path, **kwargs):
    """The page of a document given as a dict and of the same document read from a file."""
    jdir = tmp_path / "json"
    jdir.mkdir(exist_ok=True)
    (jdir / "doc.json").write_text(json.dumps(doc, ensure_ascii=False), "utf-8")
    vitrum.render_html(copy.deepcopy(doc), str(tmp_path / "mem.html"), **kwargs)
    vitrum.render_html(str(jdir / "doc.json"), str(tmp_path / "file.html"), **kwargs)
    mem = (tmp_path / "mem.html").read_text("utf-8")
    assert (tmp_path / "file.html").read_text("utf-8") == mem
    return parse_page(mem)


def test_text_without_utf8_form_fails_only_where_the_page_writes_it(templates, tmp_path):
    # A lone surrogate (a file's "\\ud800" escape, or a caller's str) has no UTF-8 form. Where
    # the page never writes the text (an amount that is no number, a score given as a list, a
    # finding of a page that shows none) both ways give the page; where it would be written
    # both refuse the row alike.
    def both(doc, **kwargs):
        (tmp_path / "doc.json").write_text(json.dumps(doc), "utf-8")  # escapes stay escapes
        out = []
        for source in (copy.deepcopy(doc), str(tmp_path / "doc.json")):
            try:
                vitrum.render_html(source, str(tmp_path / "p.html"), **kwargs)
                out.append((tmp_path / "p.html").read_text("utf-8"))
            except ValueError as e:
                out.append(str(e))
        assert out[0] == out[1]
        return out[0]

    rows = [{"muta": 1, "son_risk": "\udc00\ud800", "qvr202401": ["\udfff"], "r202402": {"a": "\ud800"}}]
    doc = make_doc(rows, diag_index={"1": {"202402": [{"kriter": "K\ud800", "katman": "\ud800"}]}})
    assert rows_of(parse_page(both(doc)))[0][:7] == [1, "", -1, None, -1, -1, None]
    doc["rows"][0]["unvan"] = "A\ud800"
    said = both(doc)
    assert "surrogates not allowed" in said and "row 0, muta 1" in said
    assert "surrogates not allowed" in both(make_doc([{"muta": 1}], diag_index=doc["diag_index"]),
                                            extra_data={"page_mode": "admin"})


def test_repeated_period_fills_every_position(templates, tmp_path):
    # A period named twice in donemler or risk_donemler reads its member for each position;
    # the file path reads rows member by member and must not fill only one of them.
    doc = {"meta": {"donemler": ["a", "b", "a"], "risk_donemler": ["b", "b"]},
           "rows": [{"muta": 1, "qvra": 700, "qvrb": "YI", "rb": 2000000, "rdb": 3000000, "dfb": 4000000},
                    {"muta": 2, "qvrb": 5, "qvra": 640.5, "dfb": 1000000}]}
    ctx = render_both_ways(doc, tmp_path)
    got = rows_of(ctx)
    assert got[0][6:13] == [700, -1, 700, 2.0, 2.0, 3.0, 3.0]
    assert got[0][13:15] == [4.0, 4.0]
    assert got[1][6:9] == [640, 5, 640]
    assert got[1][9:15] == [None, None, None, None, 1.0, 1.0]
    for row, arr in zip(doc["rows"], got):
        assert arr == vitrum._row_to_array(row, ["a", "b", "a"], ["b", "b"], {}, {})


@pytest.mark.parametrize("field", ["bolge_kodu", "sube_kodu"])
def test_catalogue_code_is_its_first_form_in_page_order(templates, tmp_path, field):
    # 1, 1.0 and true are one code; the record carries the form of the first row the page
    # shows (largest son_risk first), not of the first row in the document. "1" is another code.
    rows = [{"muta": 1, "son_risk": 1, field: 1}, {"muta": 2, "son_risk": 5, field: 1.0},
            {"muta": 3, "son_risk": 3, field: True}, {"muta": 4, "son_risk": 4, field: "1"},
            {"muta": 5, "son_risk": 0, field: "1"}]
    ctx = render_both_ways(make_doc(rows), tmp_path)
    shown = sorted(rows, key=lambda r: r["son_risk"], reverse=True)
    bl, _, sl, _ = vitrum._build_bolge_sube_maps(shown)
    assert ctx["bolge_list_js"] == json.dumps(bl, separators=(",", ":"), ensure_ascii=False)
    assert ctx["sube_list_js"] == json.dumps(sl, separators=(",", ":"), ensure_ascii=False)
    records = json.loads(ctx["bolge_list_js" if field == "bolge_kodu" else "sube_list_js"])
    assert [(r["kodu"], type(r["kodu"])) for r in records] == [(1.0, float), ("1", str)]
    assert records[0]["adi"].endswith(" 1.0")
    index = 4 if field == "bolge_kodu" else 5
    assert [r[index] for r in rows_of(ctx)] == [0, 1, 0, 0, 1]


def test_thread_count_does_not_change_the_page(templates, tmp_path, monkeypatch):
    # A file of many rows is read on HALVEX_THREADS readers; codes first met by one reader and
    # shown first from another's rows must come out as with a single reader.
    rows = [{"muta": i, "son_risk": (i * 7919) % 5000 * 1000 + (10 ** 9 if i == 8999 else 0),
             "bolge_kodu": [7, 7.0, True, "7", f"b{i % 11}"][i % 5] if i not in (0, 8999) else [7, 7.0][i > 0],
             "sube_kodu": i % 37, "qvra": i % 900, "qvrb": "YI" if i % 9 == 0 else i % 800} for i in range(9000)]
    path = tmp_path / "doc.json"
    path.write_text(json.dumps(make_doc(rows, meta={"donemler": ["a", "b", "a"]})), "utf-8")
    pages = []
    for threads in ("1", "3"):
        monkeypatch.setenv("HALVEX_THREADS", threads)
        out = tmp_path / f"p{threads}.html"
        vitrum.render_html(str(path), str(out), chunk_size=1000)
        pages.append(out.read_bytes())
    assert pages[0] == pages[1]
    assert json.loads(parse_page(pages[0].decode("utf-8"))["bolge_list_js"])[0]["kodu"] == 7.0


def test_edited_template_and_include_are_used_by_the_next_render(templates, tmp_path):
    # Compiled templates are kept between renders; a changed file must still count.
    (templates.dir / "part.html").write_text("PART=one", encoding="utf-8")
    templates('{% include "part.html" %}')
    render(make_doc(simple_rows(2)), tmp_path / "a.html")
    assert (tmp_path / "a.html").read_text("utf-8") == "PART=one"
    (templates.dir / "part.html").write_text("PART=two", encoding="utf-8")
    templates('{% include "part.html" %};MAIN=2')
    for name in ("part.html", "dashboard.html.j2"):  # file times may not have moved on yet
        st = (templates.dir / name).stat()
        os.utime(templates.dir / name, ns=(st.st_atime_ns, st.st_mtime_ns + 10**9))
    render(make_doc(simple_rows(2)), tmp_path / "b.html")
    assert (tmp_path / "b.html").read_text("utf-8") == "PART=two;MAIN=2"


def test_int_subclass_beyond_64_bits_is_written_as_its_digits(templates, tmp_path):
    # json.dumps writes an int by int.__repr__; a subclass's own __str__ must not reach the page.
    class Big(int):
        def __str__(self):
            return "1, 2]</script><script>alert(1)</script>"
        __repr__ = __str__

    big = Big(10**30)
    _, ctx = render(make_doc(), tmp_path / "p.html", extra_data={"ml_predictions": [big, -big]})
    assert ctx["ml_predictions_js"] == json.dumps([10**30, -10**30], separators=(",", ":"))
    assert vitrum._row_to_array_v300({"muta": big, "unvan": "x"}, ["p"], [])[0] == 10**30


def test_rows_named_by_other_str_objects_give_the_same_rows(templates, tmp_path):
    # Member names that are not the interned literals: one object per name shared by all rows
    # (as json.loads makes them), a new object in every row (more of them than the renderer
    # remembers), and names that are not plain str (a str subclass, an int beside them).
    class Name(str):
        pass

    plain = [{"muta": i, "unvan": f"Firma {i}", "son_risk": (i % 7) * 1_500_000, "qvr202402": 400 + i}
             for i in range(1500)]
    _, want = render(make_doc(copy.deepcopy(plain)), tmp_path / "plain.html")
    _, shared = render(make_doc(json.loads(json.dumps(plain))), tmp_path / "shared.html")
    own = [{"".join(list(k)): v for k, v in r.items()} for r in plain]
    assert own[0].keys() == plain[0].keys() and next(iter(own[0])) is not next(iter(own[1]))
    _, fresh = render(make_doc(own), tmp_path / "own.html")
    odd = [{Name(k) if k == "unvan" and i % 3 == 0 else k: v for k, v in r.items()} for i, r in enumerate(plain)]
    odd[3][7] = "not a name"
    _, subclassed = render(make_doc(odd), tmp_path / "odd.html")
    assert rows_of(shared) == rows_of(want)
    assert rows_of(fresh) == rows_of(want)
    assert rows_of(subclassed) == rows_of(want)


def test_row_dict_subclass_is_read_by_its_stored_members(templates, tmp_path):
    # A row is read by its stored members, as json.dumps reads a dict: a subclass's own
    # look-up, iteration and item views never run, and a second render of the same rows
    # (left in page order by the first) gives the same rows.
    class Row(dict):
        def __getitem__(self, key):
            raise AssertionError("own __getitem__ ran")
        def __iter__(self):
            raise AssertionError("own __iter__ ran")
        def items(self):
            raise AssertionError("own items ran")
        get = keys = values = items

    plain = [{"muta": i, "unvan": f"Firma {i}", "son_risk": (i % 7) * 1_500_000, "qvr202402": 400 + i}
             for i in range(300)]
    _, want = render(make_doc(copy.deepcopy(plain)), tmp_path / "plain.html")
    doc = make_doc([Row(r) for r in plain])
    _, first = render(doc, tmp_path / "sub.html")
    _, again = render(doc, tmp_path / "again.html")
    assert rows_of(first) == rows_of(want) == rows_of(again)
