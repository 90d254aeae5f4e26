"""Errors that say where: the byte of a document that is not UTF-8, the row whose risk cannot
be ordered, the map entry whose index the encoder cannot carry."""

import json

import pytest

from halvex.pipeline import vitrum

ROW = b'{"muta": 1, "unvan": "Firma \xc5\x9f", "son_risk": 2500000}'


@pytest.fixture
def templates(template_dir):
    (template_dir / "dashboard.html.j2").write_text("{{ total_rows }}", encoding="utf-8")
    (template_dir / "dashboard_v300.html.j2").write_text("{{ total_rows }}", encoding="utf-8")


def document(n_rows, bad, at):
    """n_rows rows, `bad` inside a string of the first, middle or last row, or before or after
    the whole text."""
    rows = [ROW] * n_rows
    if at in ("start", "middle", "end"):
        rows[{"start": 0, "middle": n_rows // 2, "end": n_rows - 1}[at]] = b'{"muta": 9, "unvan": "x' + bad + b'y"}'
    text = b'{"meta": {"donemler": ["p"]}, "rows": [' + b", ".join(rows) + b"]}"
    return {"front": bad + text, "tail": text + bad}.get(at, text)


def assert_python_s_error(call, data):
    with pytest.raises(UnicodeDecodeError) as expected:
        data.decode("utf-8")
    with pytest.raises(UnicodeDecodeError) as info:
        call()
    got, want = info.value, expected.value
    assert (str(got), got.start, got.end, got.reason) == (str(want), want.start, want.end, want.reason)
    assert got.object[got.start:got.end] == data[want.start:want.end]


# --- invalid UTF-8 ----------------------------------------------------------------------------

@pytest.mark.parametrize("render", ["render_html", "render_html_v300"])
@pytest.mark.parametrize("bad", [b"\xff", b"\xc3(", b"\xe2\x82(", b"\xed\xa0\x80", b"\xf4\x90\x80\x80",
                                 b"\xf0\x90\x80("])
@pytest.mark.parametrize("at, n_rows", [("front", 3), ("start", 3), ("middle", 101), ("end", 5),
                                        ("middle", 30000)])  # 30000 rows: over 2 MiB, two threads
def test_decode_error_is_python_s(templates, tmp_path, render, bad, at, n_rows):
    path = tmp_path / "doc.json"
    path.write_bytes(document(n_rows, bad, at))
    assert_python_s_error(lambda: getattr(vitrum, render)(str(path), str(tmp_path / "p.html")), path.read_bytes())
    assert not (tmp_path / "p.html").exists()


@pytest.mark.parametrize("bad", [b"\xe2\x82", b"\xf0", b"\xc3"])
def test_decode_error_where_the_file_ends(templates, tmp_path, bad):
    path = tmp_path / "doc.json"
    path.write_bytes(document(4, bad, "tail"))
    assert_python_s_error(lambda: vitrum.render_html(str(path), str(tmp_path / "p.html")), path.read_bytes())


def test_first_of_two_bad_bytes_whichever_half(templates, tmp_path):
    data = bytearray(document(30000, b"", None))
    data[len(data) // 4], data[len(data) * 3 // 4] = 0xFF, 0xFE
    path = tmp_path / "doc.json"
    path.write_bytes(bytes(data))
    assert_python_s_error(lambda: vitrum.render_html(str(path), str(tmp_path / "p.html")), bytes(data))


def test_reference_csv_decode_error(templates, tmp_path):
    csv = tmp_path / "ref.csv"
    csv.write_bytes(b"bolge_kodu,bolge_adi,sube_kodu,sube_adi\n1,Ege,5,\xc4zmir\n")
    doc = {"meta": {"donemler": ["p"]}, "rows": [{"muta": 1, "bolge_kodu": 1, "sube_kodu": 5}]}
    assert_python_s_error(lambda: vitrum.render_html(doc, str(tmp_path / "p.html"), ref_csv_path=str(csv)),
                          csv.read_bytes())


# --- son_risk that cannot be ordered ----------------------------------------------------------

@pytest.mark.parametrize("rows, where, shown", [
    ([{"muta": 5, "son_risk": 3}, {"muta": 5678, "son_risk": "abc"}], "(row 1, muta 5678)", "str 'abc'"),
    ([{"son_risk": 7}, {"son_risk": 1}, {"son_risk": "12"}], "(row 2)", "str '12'"),
    ([{"muta": "A-1", "son_risk": "5"}, {"muta": 2, "son_risk": None}], "(row 0, muta A-1)", "str '5'"),
    ([{"muta": 1, "son_risk": 2}, {"muta": 3, "son_risk": [1]}], "(row 1, muta 3)", "list"),
])
@pytest.mark.parametrize("form", ["dict", "file", "v300"])
def test_unorderable_risk_names_its_row(templates, tmp_path, rows, where, shown, form):
    doc = {"meta": {"donemler": ["p"]}, "rows": rows}
    if form != "dict":
        (tmp_path / "doc.json").write_text(json.dumps(doc), encoding="utf-8")
        doc = str(tmp_path / "doc.json")
    render = vitrum.render_html_v300 if form == "v300" else vitrum.render_html
    with pytest.raises(TypeError) as info:
        render(doc, str(tmp_path / "p.html"))
    assert str(info.value).endswith(where) and shown in str(info.value)
    assert not (tmp_path / "p.html").exists()


def test_row_named_by_its_place_in_the_document_under_a_filter(templates, tmp_path):
    rows = [{"muta": 1, "son_risk": "x"}, {"muta": 2, "son_risk": 1}, {"muta": 3, "son_risk": "y"}]
    with pytest.raises(TypeError, match=r"'y' \(row 2, muta 3\)$"):
        vitrum.render_html({"meta": {"donemler": ["p"]}, "rows": rows}, str(tmp_path / "p.html"),
                           row_filter=lambda r: r["muta"] != 1)


# --- map indexes --------------------------------------------------------------------------------

ROW_CODES = {"muta": 1, "bolge_kodu": "07", "sube_kodu": 12}


@pytest.mark.parametrize("index", [2 ** 32 + 5, 2 ** 31, -(2 ** 31) - 1, 2 ** 63 - 1, -(2 ** 63)])
def test_map_index_kept_exactly(index):
    assert vitrum._row_to_array(ROW_CODES, ["p"], [], {"07": index}, {12: index})[4:6] == [index, index]


@pytest.mark.parametrize("index", [2 ** 63, 2 ** 64 + 5, -(2 ** 63) - 1])
def test_map_index_beyond_64_bits_refused_by_key(index):
    with pytest.raises(OverflowError, match=r"^BOLGE_MAP\['07'\]: index"):
        vitrum._row_to_array(ROW_CODES, ["p"], [], {"07": index}, {12: 0})
    with pytest.raises(OverflowError, match=r"^SUBE_MAP\[12\]: index"):
        vitrum._row_to_array(ROW_CODES, ["p"], [], {"07": 0}, {12: index})
