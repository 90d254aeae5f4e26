"""Errors that say where: the byte of a document that is not UTF-8, the row whose risk cannot
be ordered, the map entry whose index the encoder cannot carry."""

import json

import pytest

from halvex.pipeline import vitrum

ROW = '{"muta": 1, "unvan": "Firma ş", "son_risk": 2500000}'


@pytest.fixture
def templates(tmp_path, monkeypatch):
    tdir = tmp_path / "templates"
    tdir.mkdir()
    (tdir / "dashboard.html.j2").write_text("{{ total_rows }}", encoding="utf-8")
    (tdir / "dashboard_v300.html.j2").write_text("{{ total_rows }}", encoding="utf-8")
    (tmp_path / "js").mkdir()
    monkeypatch.setenv("HALVEX_TEMPLATE_DIR", str(tdir))
    monkeypatch.setenv("HALVEX_JS_DIR", str(tmp_path / "js"))


def document(n_rows, bad=b"", at="end"):
    """A document of n_rows rows with `bad` bytes placed inside a string at the start, middle
    or end of its rows (or, for "front", before everything)."""
    rows = [ROW.encode()] * n_rows
    where = {"start": 0, "middle": n_rows // 2, "end": n_rows - 1}.get(at)
    if where is not None:
        rows[where] = b'{"muta": 9, "unvan": "x' + bad + b'y"}'
    text = b'{"meta": {"donemler": ["p"]}, "rows": [' + b", ".join(rows) + b"]}"
    return bad + text if at == "front" else text


def python_error(data):
    with pytest.raises(UnicodeDecodeError) as info:
        data.decode("utf-8")
    return info.value


# --- invalid UTF-8 ----------------------------------------------------------------------------

BAD = [b"\xff", b"\xc3(", b"\xe2\x82(", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xf0\x90\x80("]


@pytest.mark.parametrize("render", ["render_html", "render_html_v300"])
@pytest.mark.parametrize("bad", BAD)
@pytest.mark.parametrize("at, n_rows", [("front", 3), ("start", 3), ("middle", 101), ("end", 5),
                                        ("middle", 30000)])  # 30000 rows: over 2 MiB
def test_decode_error_is_python_s(templates, tmp_path, render, bad, at, n_rows):
    data = document(n_rows, bad, at)
    path = tmp_path / "doc.json"
    path.write_bytes(data)
    expected = python_error(data)
    with pytest.raises(UnicodeDecodeError) as info:
        getattr(vitrum, render)(str(path), str(tmp_path / "p.html"))
    got = info.value
    assert str(got) == str(expected)
    assert (got.encoding, got.start, got.end, got.reason) == (expected.encoding, expected.start, expected.end,
                                                              expected.reason)
    assert got.object[got.start:got.end] == data[expected.start:expected.end]
    assert not (tmp_path / "p.html").exists()


@pytest.mark.parametrize("tail", [b"\xe2\x82", b"\xf0", b"\xc3"])
def test_decode_error_at_the_very_end(templates, tmp_path, tail):
    data = document(4) + tail
    path = tmp_path / "doc.json"
    path.write_bytes(data)
    expected = python_error(data)
    with pytest.raises(UnicodeDecodeError) as info:
        vitrum.render_html(str(path), str(tmp_path / "p.html"))
    assert (str(info.value), info.value.start, info.value.end) == (str(expected), expected.start, expected.end)


def test_first_of_two_bad_bytes_on_either_half(templates, tmp_path):
    # Over 2 MiB: the halves are checked at once; the error is the first in the file.
    data = bytearray(document(30000))
    first, second = len(data) // 4, len(data) * 3 // 4
    data[first], data[second] = 0xFF, 0xFE
    path = tmp_path / "doc.json"
    path.write_bytes(bytes(data))
    with pytest.raises(UnicodeDecodeError) as info:
        vitrum.render_html(str(path), str(tmp_path / "p.html"))
    assert info.value.start == first
    assert str(info.value) == str(python_error(bytes(data)))


def test_reference_csv_decode_error_position(templates, tmp_path):
    csv = tmp_path / "ref.csv"
    csv.write_bytes(b"bolge_kodu,bolge_adi,sube_kodu,sube_adi\n1,Ege,5,\xc4zmir\n")
    doc = {"meta": {"donemler": ["p"]}, "rows": [{"muta": 1, "bolge_kodu": 1, "sube_kodu": 5}]}
    with pytest.raises(UnicodeDecodeError) as info:
        vitrum.render_html(doc, str(tmp_path / "p.html"), ref_csv_path=str(csv))
    assert str(info.value) == str(python_error(csv.read_bytes()))


# --- son_risk that cannot be ordered ----------------------------------------------------------

MIXED = [
    ([{"muta": 5, "son_risk": 3}, {"muta": 5678, "son_risk": "abc"}], 1, "muta 5678", "str 'abc'"),
    ([{"son_risk": 7}, {"son_risk": 1}, {"son_risk": "12"}], 2, None, "str '12'"),
    ([{"muta": "A-1", "son_risk": "5"}, {"muta": 2, "son_risk": None}], 0, "muta A-1", "str '5'"),
    ([{"muta": 1, "son_risk": 2}, {"muta": 3, "son_risk": [1]}], 1, "muta 3", "list"),
]


@pytest.mark.parametrize("rows, index, muta, shown", MIXED)
@pytest.mark.parametrize("form", ["dict", "file"])
def test_unorderable_risk_names_its_row(templates, tmp_path, rows, index, muta, shown, form):
    doc = {"meta": {"donemler": ["p"]}, "rows": rows}
    if form == "file":
        (tmp_path / "doc.json").write_text(json.dumps(doc), encoding="utf-8")
        doc = str(tmp_path / "doc.json")
    with pytest.raises(TypeError) as info:
        vitrum.render_html(doc, str(tmp_path / "p.html"))
    message = str(info.value)
    assert f"row {index}" in message and shown in message
    assert (muta in message) if muta else "muta" not in message
    assert not (tmp_path / "p.html").exists()


@pytest.mark.parametrize("rows, index, muta, shown", MIXED[:2])
def test_unorderable_risk_names_its_row_v300(templates, tmp_path, rows, index, muta, shown):
    path = tmp_path / "doc.json"
    path.write_text(json.dumps({"meta": {"donemler": ["p"]}, "rows": rows}), encoding="utf-8")
    with pytest.raises(TypeError) as info:
        vitrum.render_html_v300(str(path), str(tmp_path / "p.html"))
    assert f"row {index}" in str(info.value) and shown in str(info.value)


def test_row_named_by_its_place_in_the_document_under_a_filter(templates, tmp_path):
    rows = [{"muta": 1, "son_risk": "x"}, {"muta": 2, "son_risk": 1}, {"muta": 3, "son_risk": "y"}]
    with pytest.raises(TypeError) as info:
        vitrum.render_html({"meta": {"donemler": ["p"]}, "rows": rows}, str(tmp_path / "p.html"),
                           row_filter=lambda r: r["muta"] != 1)
    assert "row 2" in str(info.value) and "muta 3" in str(info.value)


# --- map indexes --------------------------------------------------------------------------------

@pytest.mark.parametrize("index", [2 ** 32 + 5, 2 ** 31, -(2 ** 31) - 1, 2 ** 63 - 1, -(2 ** 63)])
def test_map_index_kept_exactly(index):
    row = {"muta": 1, "bolge_kodu": "07", "sube_kodu": 12}
    arr = vitrum._row_to_array(row, ["p"], [], {"07": index}, {12: index})
    assert arr[4:6] == [index, index]


@pytest.mark.parametrize("index", [2 ** 63, 2 ** 64 + 5, -(2 ** 63) - 1])
@pytest.mark.parametrize("which", ["BOLGE_MAP", "SUBE_MAP"])
def test_map_index_beyond_64_bits_refused_by_key(index, which):
    maps = {"BOLGE_MAP": {"07": 0}, "SUBE_MAP": {12: 0}}
    maps[which] = {"07": index} if which == "BOLGE_MAP" else {12: index}
    with pytest.raises(OverflowError) as info:
        vitrum._row_to_array({"muta": 1, "bolge_kodu": "07", "sube_kodu": 12}, ["p"], [], **maps)
    assert which in str(info.value)
    assert ("'07'" if which == "BOLGE_MAP" else "12") in str(info.value)
