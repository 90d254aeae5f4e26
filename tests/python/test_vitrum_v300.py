"""Compressed-chunk dashboard (``render_html_v300``), diagnostic index slimming and the trending
lists section."""

import base64
import gzip
import html
import json
import os
import re
import sys
import types
import zlib
from pathlib import Path

import pytest

from dump_pages import parse_page
from halvex.pipeline import vitrum

V300_TEMPLATE = (
    "donemler={{ donemler }}\nrisk_donemler={{ risk_donemler }}\ntop_n={{ top_n }}\nmeta={{ meta }}\n"
    "total_chunks={{ total_chunks }}\ntotal_rows={{ total_rows }}\n"
    "{% for i, c in enumerate(data_chunks) %}CHUNK{{ i }}={{ c }}\n{% endfor %}"
)


@pytest.fixture
def templates(template_dir):
    def set_page(text):
        (template_dir / "dashboard_v300.html.j2").write_text(text, encoding="utf-8")

    set_page(V300_TEMPLATE)
    return set_page


def decode_chunk(text):
    raw = gzip.decompress(base64.b64decode(text, validate=True))
    return raw, json.loads(raw.decode("utf-8"))


def write_doc(folder, doc, name="scoreboard.json"):
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / name
    path.write_text(json.dumps(doc, ensure_ascii=False), "utf-8")
    return str(path)


def sort_key(row):
    return row.get("son_risk") or 0


def make_rows(n):
    return [{"muta": 100000 + i, "unvan": f"Firma {i} Ş.", "segment": ["KOBI", "MIKRO", "x"][i % 3],
             "son_risk": (i * 7919) % 1000 * 1000.5, "qvr2401": i % 900, "qvr2402": "YI" if i % 7 == 0 else str(i % 800),
             "r2402": i * 10} for i in range(n)]


DONEMLER = ["2401", "2402"]


def render(tmp_path, doc, **kwargs):
    path = write_doc(tmp_path / "json", doc)
    out = tmp_path / "out" / "p.html"
    result = vitrum.render_html_v300(path, str(out), **kwargs)
    return result, parse_page(out.read_text("utf-8"))


# --- render_html_v300 -----------------------------------------------------------------------

@pytest.mark.parametrize("n_rows, chunk_size, sizes", [
    (25000, 10000, [10000, 10000, 5000]), (20000, 10000, [10000, 10000]), (7, 3, [3, 3, 1]),
    (3, 3, [3]), (4, 3, [3, 1]), (5, 100, [5]), (5, 2.9, [2, 2, 1]),
])
def test_chunks_decode_to_sorted_row_arrays(templates, tmp_path, n_rows, chunk_size, sizes):
    rows = make_rows(n_rows)
    doc = {"meta": {"donemler": DONEMLER, "risk_donemler": ["2402"]}, "rows": rows}
    result, ctx = render(tmp_path, doc, chunk_size=chunk_size)
    decoded = [decode_chunk(c) for c in ctx["chunks"]]
    assert [len(arrays) for _, arrays in decoded] == sizes
    expected = [vitrum._row_to_array_v300(r, DONEMLER, ["2402"]) for r in sorted(rows, key=sort_key, reverse=True)]
    assert [a for _, arrays in decoded for a in arrays] == expected
    for raw, arrays in decoded:  # compact JSON, non-ASCII as it is
        assert raw.decode("utf-8") == json.dumps(arrays, ensure_ascii=False, separators=(",", ":"))
    assert (result["rows"], result["chunks"]) == (n_rows, len(sizes))
    assert (ctx["total_rows"], ctx["total_chunks"]) == (str(n_rows), str(len(sizes)))


def test_chunk_encoding_details(templates, tmp_path):
    rows = [{"muta": i, "unvan": "Ağaç <b>", "son_risk": i} for i in range(50)]
    _, ctx = render(tmp_path, {"meta": {"donemler": ["p"]}, "rows": rows}, chunk_size=20)
    for text in ctx["chunks"]:
        assert "\n" not in text and len(text) % 4 == 0
        assert set(text) <= set("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=")
        blob = base64.b64decode(text)
        assert blob[:3] == b"\x1f\x8b\x08"
        raw = gzip.decompress(blob)
        assert b"\\u" not in raw and "Ağaç <b>".encode() in raw  # no escaping inside the gzip data
        # one complete gzip member: the DEFLATE body is zlib's level-6 stream
        body = blob[10:-8]
        co = zlib.compressobj(6, zlib.DEFLATED, -15)
        assert body == co.compress(raw) + co.flush()
        assert int.from_bytes(blob[-4:], "little") == len(raw)
        assert int.from_bytes(blob[-8:-4], "little") == zlib.crc32(raw)


def test_ordering_and_defaults(templates, tmp_path):
    risks = [5, "absent", 7, None, 5, 0, -2]
    rows = [{"muta": i} if r == "absent" else {"muta": i, "son_risk": r} for i, r in enumerate(risks)]
    _, ctx = render(tmp_path, {"meta": {"donemler": ["p"]}, "rows": rows})
    arrays = decode_chunk(ctx["chunks"][0])[1]
    assert [a[0] for a in arrays] == [2, 0, 4, 1, 3, 5, 6]
    assert [a[3] for a in arrays] == [7, 5, 5, 0, None, 0, -2]


def test_context_values(templates, tmp_path):
    doc = {"meta": {"donemler": ["Ocak", "Şubat"], "risk_donemler": ["Şubat"], "v": 1}, "rows": []}
    _, ctx = render(tmp_path, doc, top_n=7.9)
    assert ctx["donemler"] == '["Ocak", "Şubat"]' and ctx["risk_donemler"] == '["Şubat"]'
    assert ctx["top_n"] == "7" and ctx["meta"] == str(doc["meta"])
    _, ctx = render(tmp_path, {"meta": {"donemler": ["a", 1]}, "rows": []})
    assert ctx["risk_donemler"] == ctx["donemler"] == '["a", 1]' and ctx["top_n"] == "100"


def test_empty_rows(templates, tmp_path, capsys):
    result, ctx = render(tmp_path, {"meta": {"donemler": ["p"]}, "rows": []})
    assert len(ctx["chunks"]) == 1
    raw, arrays = decode_chunk(ctx["chunks"][0])
    assert raw == b"[]" and arrays == []
    gz = len(ctx["chunks"][0])
    assert result["compression_pct"] == (1 - gz / 2) * 100 < 0
    assert (result["rows"], result["chunks"]) == (0, 1)
    lines = capsys.readouterr().out.splitlines()
    assert lines[2] == f"    Gzip kazanç: {result['compression_pct']:.0f}%  (ham: 0.0 MB → gz+b64: 0.0 MB)"


def test_row_filter_that_rejects_everything(templates, tmp_path):
    calls = []
    result, ctx = render(tmp_path, {"meta": {"donemler": ["p"]}, "rows": make_rows(4)},
                         row_filter=lambda r: calls.append(r["muta"]))
    assert calls == [100000, 100001, 100002, 100003]
    assert result["rows"] == 0 and result["chunks"] == 1 and decode_chunk(ctx["chunks"][0])[0] == b"[]"


def test_printed_lines_and_result(templates, tmp_path, capsys):
    rows = make_rows(3000)
    result, ctx = render(tmp_path, {"meta": {"donemler": DONEMLER}, "rows": rows}, chunk_size=1000)
    out_path = tmp_path / "out" / "p.html"
    raw_total = sum(len(decode_chunk(c)[0]) for c in ctx["chunks"])
    gz_total = sum(len(c) for c in ctx["chunks"])
    pct = (1 - gz_total / raw_total) * 100
    size = out_path.stat().st_size
    assert list(result) == ["html_path", "rows", "chunks", "size_kb", "compression_pct"]
    assert result == {"html_path": str(out_path), "rows": 3000, "chunks": 3, "size_kb": size / 1024,
                      "compression_pct": pct}
    assert type(result["size_kb"]) is float and type(result["compression_pct"]) is float
    assert capsys.readouterr().out == (
        f"    HTML (v300): {out_path}\n"
        f"    Boyut: {size / 1024:.1f} KB  |  3000 satır  |  3 chunk\n"
        f"    Gzip kazanç: {pct:.0f}%  (ham: {raw_total / 1024 / 1024:.1f} MB → gz+b64: {gz_total / 1024 / 1024:.1f} MB)\n")


@pytest.mark.parametrize("size, limit, size_text, warning", [
    (1048576, 0, "1024.0 KB", None),
    (1048577, 0, "1.0 MB", None),
    (3 * 1048576, 2, "3.0 MB", "    [WARN] Boyut limiti aşıldı: 3.0 MB > 2.0 MB"),
    (3 * 1048576, 50, "3.0 MB", None),
    (3 * 1048576, 2.5, "3.0 MB", "    [WARN] Boyut limiti aşıldı: 3.0 MB > 2.5 MB"),
])
def test_size_text_and_limit(templates, tmp_path, capsys, size, limit, size_text, warning):
    templates('{{ "a" * %d }}' % size)
    render_path = write_doc(tmp_path / "json", {"meta": {"donemler": ["p"]}, "rows": [{"muta": 1}]})
    result = vitrum.render_html_v300(render_path, str(tmp_path / "p.html"), max_size_mb=limit)
    lines = capsys.readouterr().out.splitlines()
    assert lines[1] == f"    Boyut: {size_text}  |  1 satır  |  1 chunk"
    assert lines[3:] == ([warning] if warning else [])
    assert result["size_kb"] == size / 1024


@pytest.mark.parametrize("meta", [{}, {"donemler": []}, {"donemler": None}, {"donemler": {}}, {"donemler": 0}])
def test_early_exit(templates, tmp_path, capsys, meta):
    path = write_doc(tmp_path / "json", {"meta": meta, "rows": make_rows(2)})
    out = tmp_path / "p.html"
    result = vitrum.render_html_v300(path, str(out))
    assert result == {"html_path": str(out), "rows": 0, "chunks": 0, "size_kb": 0}
    assert list(result) == ["html_path", "rows", "chunks", "size_kb"]
    assert all(type(result[k]) is int for k in ("rows", "chunks", "size_kb"))
    assert capsys.readouterr().out == "    [WARN] No periods in data, skipping HTML render\n"
    assert not out.exists()


def test_default_output_paths(templates, tmp_path, monkeypatch):
    path = write_doc(tmp_path / "run" / "json", {"meta": {"donemler": ["p"]}, "rows": []})
    result = vitrum.render_html_v300(path)
    assert os.path.samefile(result["html_path"], tmp_path / "run" / "html" / "qvr_dashboard.html")
    monkeypatch.chdir(tmp_path / "run" / "json")
    result = vitrum.render_html_v300("scoreboard.json")
    assert os.path.normpath(result["html_path"]) == os.path.join("html", "qvr_dashboard.html")
    assert (tmp_path / "run" / "json" / "html" / "qvr_dashboard.html").is_file()


def test_default_folder_made_before_reading(templates, tmp_path):
    with pytest.raises(FileNotFoundError):
        vitrum.render_html_v300(str(tmp_path / "run" / "json" / "missing.json"))
    assert (tmp_path / "run" / "html").is_dir()


@pytest.mark.parametrize("content, exc", [
    ("{", json.JSONDecodeError), (b'{"meta": {"donemler": ["\xc3"]}, "rows": []}', UnicodeDecodeError),
    ('{"rows": []}', KeyError), ('{"meta": {"donemler": ["p"]}}', KeyError),
])
def test_document_errors(templates, tmp_path, content, exc):
    path = tmp_path / "doc.json"
    path.write_bytes(content.encode() if isinstance(content, str) else content)
    with pytest.raises(exc):
        vitrum.render_html_v300(str(path), str(tmp_path / "p.html"))
    assert not (tmp_path / "p.html").exists()


def test_chunk_size_errors(templates, tmp_path):
    path = write_doc(tmp_path / "json", {"meta": {"donemler": ["p"]}, "rows": [{"muta": 1}]})
    with pytest.raises(ZeroDivisionError) as info:
        vitrum.render_html_v300(path, str(tmp_path / "p.html"), chunk_size=0)
    assert "chunk_size" in str(info.value)
    with pytest.raises(ValueError):
        vitrum.render_html_v300(path, str(tmp_path / "p.html"), chunk_size=-3)
    assert not (tmp_path / "p.html").exists()
    empty = write_doc(tmp_path / "json", {"meta": {"donemler": ["p"]}, "rows": []}, "empty.json")
    assert vitrum.render_html_v300(empty, str(tmp_path / "p.html"), chunk_size=0)["chunks"] == 1


def test_infinite_score_fails_without_page(templates, tmp_path):
    path = tmp_path / "doc.json"
    path.write_text('{"meta": {"donemler": ["p"]}, "rows": [{"qvrp": Infinity}]}', "utf-8")
    with pytest.raises(OverflowError):
        vitrum.render_html_v300(str(path), str(tmp_path / "p.html"))
    assert not (tmp_path / "p.html").exists()


def test_v300_arguments_by_name(templates, tmp_path):
    path = write_doc(tmp_path / "json", {"meta": {"donemler": ["p"]}, "rows": make_rows(5)})
    result = vitrum.render_html_v300(json_path=path, output_html=str(tmp_path / "p.html"), chunk_size=2,
                                     top_n=1, row_filter=None, max_size_mb=0.0)
    assert result["chunks"] == 3


# --- _slim_diag_index ------------------------------------------------------------------------

@pytest.mark.parametrize("period, letters", [
    ({"yeni_gruplar": ["gecikme", "yasal"]}, "gy"),
    ({"yeni_gruplar": ["yasal", "gecikme", "yasal"]}, "ygy"),
    ({"yeni_gruplar": ["izleme"]}, "z"),
    ({"yeni_gruplar": ["icra", "cek_senet", "diger_banka", "ortak"]}, "icdo"),
    ({"yeni_gruplar": ["bilinmeyen"]}, "?"),
    ({"yeni_gruplar": [""]}, "?"),
    ({"yeni_gruplar": ["gecikme"], "bulgular": [{"grup": "icra"}]}, "g"),
    ({"yeni_gruplar": [], "bulgular": [{"grup": "icra"}, {"grup": "gecikme"}, {"grup": "icra"}]}, "ig"),
    ({"yeni_gruplar": None, "bulgular": [{"grup": "x"}, {"grup": "x"}, {"grup": "yasal"}]}, "?y"),
    ({"bulgular": [{"grup": ""}, {"grup": None}, {}, {"grup": "ortak"}]}, "o"),
    ({"bulgular": [{"kriter": "MZ_LIMIT_DUSUS"}]}, "d"),
    ({"bulgular": [{"kriter": "KIK_GECIKME_GUN"}, {"kriter": "RKD_KONKORDATO"}, {"kriter": "MZ_GECIKMELI_RISK"}]}, "gy"),
    ({"bulgular": [{"grup": "", "kriter": "RKD_ICRA_TAKIBI"}, {"grup": "icra"}]}, "i"),
])
def test_slim_letters(period, letters):
    assert vitrum._slim_diag_index({"100": {"2401": period}}) == {"100": {"2401": letters}}


@pytest.mark.parametrize("period", [
    {}, {"yeni_gruplar": []}, {"bulgular": []}, {"yeni_gruplar": [], "bulgular": {"grup": "icra"}},
    {"bulgular": "icra"}, {"bulgular": [{"kriter": "BILINMEYEN"}, {"kriter": "MZ_HIC"}]},
    [{"grup": "icra"}], "gy", None, 5,
])
def test_slim_period_left_out(period):
    assert vitrum._slim_diag_index({"100": {"2401": period}}) == {}
    assert vitrum._slim_diag_index({"100": {"2401": period, "2402": {"yeni_gruplar": ["icra"]}}}) == {
        "100": {"2402": "i"}}


def test_slim_keeps_order_and_leaves_input_unchanged():
    index = {"3": {"b": {"yeni_gruplar": ["icra"]}, "a": {"yeni_gruplar": ["yasal"]}},
             "1": {"x": {}}, "2": {"c": {"yeni_gruplar": ["ortak"], "bulgular": [{"grup": "icra", "aciklama": "d"}]}}}
    before = json.loads(json.dumps(index))
    result = vitrum._slim_diag_index(index)
    assert list(result.items()) == [("3", {"b": "i", "a": "y"}), ("2", {"c": "o"})]
    assert list(result["3"]) == ["b", "a"]
    assert index == before
    assert vitrum._slim_diag_index({}) == {}


@pytest.mark.parametrize("customer, type_name", [(None, "NoneType"), ("text", "str"), (5, "int"), ([1], "list")])
def test_slim_customer_not_an_object_fails(customer, type_name):
    with pytest.raises(TypeError, match=f"'{type_name}' object has no attribute 'items'"):
        vitrum._slim_diag_index({"1": customer})


def test_slim_finding_not_an_object_fails():
    with pytest.raises(TypeError, match="'str' object has no attribute 'get'"):
        vitrum._slim_diag_index({"1": {"p": {"bulgular": ["icra"]}}})


def test_slim_without_feature_info(monkeypatch):
    monkeypatch.setitem(sys.modules, "halvex.feature_info", None)
    index = {"1": {"a": {"bulgular": [{"kriter": "MZ_LIMIT_DUSUS"}, {"grup": "icra"}]},
                   "b": {"bulgular": [{"kriter": "MZ_LIMIT_DUSUS"}]}}}
    assert vitrum._slim_diag_index(index) == {"1": {"a": "i"}}


def test_slim_feature_info_asked_in_order(monkeypatch):
    asked = []

    class FakeFI:
        def grup_for_kik(self, k):
            asked.append(("kik", k))
            return None

        def grup_for_memzuc(self, k):
            asked.append(("memzuc", k))
            return "" if k == "A" else "cek_senet"

        def grup_for_rkd(self, k):
            asked.append(("rkd", k))
            return "yasal"

    fake = types.ModuleType("halvex.feature_info")
    fake.FI = FakeFI()
    monkeypatch.setitem(sys.modules, "halvex.feature_info", fake)
    index = {"1": {"p": {"bulgular": [{"kriter": "A"}, {"kriter": "B"}, {}]}}}
    assert vitrum._slim_diag_index(index) == {"1": {"p": "yc"}}
    assert asked == [("kik", "A"), ("memzuc", "A"), ("rkd", "A"), ("kik", "B"), ("memzuc", "B"),
                     ("kik", ""), ("memzuc", "")]


class _Unsure:
    def __bool__(self):
        raise RuntimeError("no truth")


class _Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize("fi", [
    None,                                             # module without FI
    types.SimpleNamespace(grup_for_kik=lambda k: None),  # FI without the other operations
    types.SimpleNamespace(grup_for_kik=lambda k: 1 / 0, grup_for_memzuc=lambda k: "icra",
                          grup_for_rkd=lambda k: "icra"),  # an operation that fails
    types.SimpleNamespace(grup_for_kik=lambda k: _Unsure()),  # a group whose truth fails
    types.SimpleNamespace(grup_for_kik=lambda k: _Unprintable()),  # a group without a text
])
def test_slim_feature_info_errors_are_discarded(monkeypatch, fi):
    fake = types.ModuleType("halvex.feature_info")
    if fi is not None:
        fake.FI = fi
    monkeypatch.setitem(sys.modules, "halvex.feature_info", fake)
    index = {"1": {"p": {"bulgular": [{"kriter": "X"}, {"grup": "yasal"}]}}}
    assert vitrum._slim_diag_index(index) == {"1": {"p": "y"}}


# --- _build_trending_html ----------------------------------------------------------------------

def read_markup(name="trending_markup.txt"):
    """The section's expected markup, kept as a data file: the cards' definitions (key | title |
    description | colour) and the section, card and row with their {holes}. Each part follows
    its "==> name" line, up to the newline before the next."""
    text = (Path(__file__).parent / "data" / name).read_text(encoding="utf-8")
    _, *named = re.split(r"^==> (\w+)\n", text, flags=re.M)
    return {key: body.removesuffix("\n") for key, body in zip(named[::2], named[1::2])}


MARKUP = read_markup()
SECTIONS = [tuple(line.split("|")) for line in MARKUP["cards"].splitlines()]
HOLE = re.compile(r"\{\w+\}")
SECTION_OPEN, SECTION_CLOSE = HOLE.split(MARKUP["section"])
CARD_OPEN, AFTER_COLOUR, AFTER_TITLE, AFTER_COUNT, TABLE_HEAD, CARD_CLOSE = HOLE.split(MARKUP["card"])
ROW_OPEN, AFTER_MUTA, RIGHT_CELL, _, BEFORE_REASON, ROW_CLOSE = HOLE.split(MARKUP["row"])


def ref_row(muta, unvan, score, risk, reason):
    return MARKUP["row"].format(muta=muta, unvan=unvan, score=score, risk=risk, reason=reason)


def ref_card(colour, title, count, description, rows):
    return MARKUP["card"].format(colour=colour, title=title, count=count, description=description, rows=rows)


def ref_trending(doc):
    text = lambda v: html.escape(str(v))
    cards = ""
    for key, title, desc, colour in SECTIONS:
        items = doc.get(key) or []
        if not items:
            continue
        rows = ""
        for it in items:
            risk = it.get("son_risk") or 0
            risk = round(risk / 1000000, 2) if risk else 0
            rows += ref_row(text(it.get("muta", "")), text(it.get("unvan") or ""), text(it.get("score_last", "")),
                            text(risk), text(it.get("reason", "")))
        cards += ref_card(colour, title, len(items), desc, rows)
    return MARKUP["section"].format(cards=cards) if cards else ""


@pytest.mark.parametrize("doc", [
    {}, {"fastest_rising": [], "regime_change": None, "persistent_high": {}, "low_but_rising": ""},
    {"fastest_rising": 0, "other": [{"muta": 1}]},
])
def test_trending_empty(doc):
    assert vitrum._build_trending_html(doc) == ""


def test_trending_one_card():
    doc = {"persistent_high": [
        {"muta": 1001, "unvan": "Alfa A.Ş.", "score_last": 742.5, "son_risk": 12345678, "reason": "uzun süre"},
        {"muta": "1002", "unvan": None, "score_last": 742, "son_risk": 5000000, "reason": "x"}]}
    got = vitrum._build_trending_html(doc)
    assert got == ref_trending(doc)
    assert got.count(CARD_OPEN) == 1 and got.count(ROW_OPEN) == 2
    assert "#c0392b" + AFTER_COLOUR + "Kalici Yüksek Risk" + AFTER_TITLE + "2" + AFTER_COUNT in got
    assert RIGHT_CELL + "742.5" + RIGHT_CELL + "12.35" + BEFORE_REASON in got
    assert RIGHT_CELL + "742" + RIGHT_CELL + "5.0" + BEFORE_REASON in got
    assert ROW_OPEN + "1002" + AFTER_MUTA + RIGHT_CELL in got  # null unvan: empty cell


def test_trending_card_order_follows_sections():
    doc = {k: [{"muta": i}] for i, (k, *_rest) in reversed(list(enumerate(SECTIONS)))}
    got = vitrum._build_trending_html(doc)
    positions = [got.index(title) for _, title, _, _ in SECTIONS]
    assert positions == sorted(positions)
    assert got == ref_trending(doc)


@pytest.mark.parametrize("item, cells", [
    ({"son_risk": 12345678}, ["", "", "", "12.35", ""]),
    ({"son_risk": 5000000}, ["", "", "", "5.0", ""]),
    ({"son_risk": 1}, ["", "", "", "0.0", ""]),
    ({"son_risk": -12345678.9}, ["", "", "", "-12.35", ""]),
    ({"son_risk": 125000}, ["", "", "", "0.12", ""]),  # 0.125 -> ties to even
    ({"son_risk": 0}, ["", "", "", "0", ""]), ({"son_risk": None}, ["", "", "", "0", ""]),
    ({"son_risk": False}, ["", "", "", "0", ""]), ({}, ["", "", "", "0", ""]),
    ({"son_risk": True}, ["", "", "", "0.0", ""]),
    ({"son_risk": 1e22}, ["", "", "", "1e+16", ""]),
    ({"muta": None, "unvan": 0, "score_last": None, "reason": None}, ["None", "", "None", "0", "None"]),
    ({"muta": 12.0, "unvan": "Ş", "score_last": True, "reason": [1, "a"]}, ["12.0", "Ş", "True", "0", "[1, &#x27;a&#x27;]"]),
    ({"muta": 1, "unvan": "<script>alert('x')</script> & \"Co\"", "reason": "a<b"},
     ["1", "&lt;script&gt;alert(&#x27;x&#x27;)&lt;/script&gt; &amp; &quot;Co&quot;", "", "0", "a&lt;b"]),
])
def test_trending_cells(item, cells):
    got = vitrum._build_trending_html({"fastest_rising": [item]})
    card = ref_card("#e74c3c", "En Hizli Yükselenler", 1, "Son 3 dönemde en çok artan QVR skorları",
                    ref_row(*cells))
    assert got == SECTION_OPEN + card + SECTION_CLOSE
    assert got == ref_trending({"fastest_rising": [item]})


def test_trending_escapes_firm_names():
    got = vitrum._build_trending_html({"regime_change": [{"muta": 1, "unvan": "<script>X & Y</script>"}]})
    assert "&lt;script&gt;X &amp; Y&lt;/script&gt;" in got and "<script>" not in got


def test_trending_lists_every_item():
    items = [{"muta": i, "son_risk": i * 1000} for i in range(250)]
    got = vitrum._build_trending_html({"low_but_rising": items})
    assert got.count(ROW_OPEN) == 250 and "(250 firma)" in got
    assert got == ref_trending({"low_but_rising": items})


@pytest.mark.parametrize("doc", [
    {"fastest_rising": [{"son_risk": "12"}]}, {"fastest_rising": [5]}, {"fastest_rising": "abc"},
    {"fastest_rising": {"a": 1}},
])
def test_trending_bad_lists_fail(doc):
    with pytest.raises(TypeError):
        vitrum._build_trending_html(doc)


def test_repeated_period_fills_every_position(templates, tmp_path):
    # The file is read member by member; a period named twice must fill both of its positions.
    donemler, risk_donemler = ["a", "b", "a"], ["b", "a", "b"]
    rows = [{"muta": 1, "son_risk": 2, "qvra": 700, "qvrb": "YI", "rb": 20, "ra": 10},
            {"muta": 2, "son_risk": 1, "ra": 7, "qvrb": 5, "qvra": 640.5}]
    _, ctx = render(tmp_path, {"meta": {"donemler": donemler, "risk_donemler": risk_donemler}, "rows": rows})
    got = [r for c in ctx["chunks"] for r in decode_chunk(c)[1]]
    assert got == [vitrum._row_to_array_v300(r, donemler, risk_donemler) for r in rows]
    assert got[0][4:] == [700, -1, 700, 20, 10, 20]


def test_thread_count_does_not_change_the_page(templates, tmp_path, monkeypatch):
    doc = {"meta": {"donemler": DONEMLER}, "rows": make_rows(9000)}
    pages = []
    for threads in ("1", "3"):
        monkeypatch.setenv("HALVEX_THREADS", threads)
        result, _ = render(tmp_path, doc, chunk_size=1000)
        pages.append((tmp_path / "out" / "p.html").read_bytes())
    assert result["chunks"] == 9
    assert pages[0] == pages[1]
