"""Renderer building blocks: amounts in million TL, row arrays, region/branch catalogue,
module constants and argument binding of ``halvex.pipeline.vitrum``."""

import json
import math

import pytest

from halvex.pipeline import vitrum
from oracles import mio as ref_mio, score as ref_score

SEG = {"KUR-TIC": 0, "KOBI": 1, "MIKRO": 2, "ESKK": 3}
MARKS = ["_hizli_yukselen", "_rejim_degisimi", "_potansiyel_yi", "_erken_sinyal", "_yakalanan", "_kacirilan"]


# --- small reference implementations -------------------------------------------------------

def _seg(row):
    s = row.get("segment")
    return SEG.get(s, -1) if isinstance(s, str) else -1


def _code(m, row, key):
    c = row.get(key)
    return -1 if c is None else m.get(c, -1)


def ref_row(row, donemler, risk_donemler, bolge_map, sube_map):
    out = [row.get("muta"), (row.get("unvan") or "")[:40], _seg(row),
           ref_mio(row.get("son_risk", 0)), _code(bolge_map, row, "bolge_kodu"), _code(sube_map, row, "sube_kodu")]
    out += [ref_score(row.get(f"qvr{d}")) for d in donemler]
    for prefix in ("r", "rd", "df"):
        out += [ref_mio(row.get(f"{prefix}{d}")) for d in risk_donemler]
    out += [row.get(m, 0) for m in MARKS]
    return out + [row.get("_qvr_neden", ""), row.get("_ml_yi_prob", 0)]


def ref_row_v300(row, donemler, risk_donemler):
    out = [row.get("muta"), (row.get("unvan") or "")[:40], _seg(row), row.get("son_risk", 0)]
    out += [ref_score(row.get(f"qvr{d}")) for d in donemler]
    return out + [row.get(f"r{d}") for d in risk_donemler]


def same(a, b):
    """Equal values of the same type, NaN equal to NaN and the sign of zero respected."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


# --- constants -----------------------------------------------------------------------------

def test_constants():
    assert vitrum.SEGMENTS_LIST == ["KUR-TIC", "KOBI", "MIKRO", "ESKK"]
    assert list(vitrum.SEG_MAP.items()) == [("KUR-TIC", 0), ("KOBI", 1), ("MIKRO", 2), ("ESKK", 3)]
    assert "kobi" not in vitrum.SEG_MAP and "KUR_TIC" not in vitrum.SEG_MAP
    assert vitrum.DEFAULT_CHUNK_SIZE == 10000 and type(vitrum.DEFAULT_CHUNK_SIZE) is int
    assert vitrum.DEFAULT_TOP_N == 100 and type(vitrum.DEFAULT_TOP_N) is int
    assert list(vitrum._GRUP_SHORT.items()) == [
        ("gecikme", "g"), ("ortak", "o"), ("cek_senet", "c"), ("diger_banka", "d"),
        ("icra", "i"), ("yasal", "y"), ("izleme", "z")]


def test_paths_operations_are_bound():
    import halvex.paths as paths
    assert vitrum.get_template_path is paths.get_template_path
    assert vitrum.get_template_v300_path is paths.get_template_v300_path
    assert vitrum.get_js_dir is paths.get_js_dir


# --- _mio ----------------------------------------------------------------------------------

@pytest.mark.parametrize("value, expected", [
    (None, None), ("", None), ("abc", None), ([], None), ({}, None), ([2500000], None),
    ("nan", None), ("NaN", None), ("-nan", None), (float("nan"), None),
    (2500000, 2), (3500000, 4), (1500000, 2), (-2500000, -2), (1499999, 1), (-7800000, -8),
    (1000000, 1), (-1000000, -1), (12345678.9, 12), (2500000.0, 2),
    (999999, 1.0), (-999999, -1.0), (450000, 0.5), (250000, 0.2), (350000, 0.3), (950000, 0.9),
    (50000, 0.1), (49999, 0.0), (0, 0.0), (0.0, 0.0), (-40000, -0.0), (-50000, -0.1),
    (" 2500000 ", 2), ("\t1e6\n", 1), ("1e6", 1), ("1_000_000", 1), ("+450000", 0.5),
    (True, 0.0), (False, 0.0),
    (10 ** 30, 10 ** 24 - 16777216),  # the double nearest to 1e24, as a whole number
])
def test_mio(value, expected):
    got = vitrum._mio(value)
    assert same(got, expected), (value, got)
    assert same(got, ref_mio(value))


@pytest.mark.parametrize("value", ["inf", "-Infinity", " INF ", float("inf"), float("-inf")])
def test_mio_infinite_amount_fails(value):
    with pytest.raises(OverflowError):
        vitrum._mio(value)


def test_mio_int_too_large_for_a_double():
    with pytest.raises(OverflowError):
        vitrum._mio(10 ** 400)


def test_mio_matches_reference_on_a_grid():
    # amounts around the rounding edges: x.x5 tenths, half millions, the 1 million step
    values = [k * 50000 + d for k in range(-45, 46) for d in (-1, 0, 1)]
    values += [k * 12345.678 for k in range(-200, 201)]
    values += [999999.9999, 1e6 - 1e-9, 0.05e6, 1e-300, -1e-300, 5e-324]
    for v in values:
        assert same(vitrum._mio(v), ref_mio(v)), v


# --- _row_to_array -------------------------------------------------------------------------

P2 = ["202401", "202402"]
FULL_ROW = {
    "muta": 1001, "unvan": "ÖZTÜRK İNŞAAT SANAYİ VE TİCARET ANONİM ŞİRKETİ ŞUBESİ", "segment": "KOBI",
    "son_risk": 12345678.9, "bolge_kodu": "07", "sube_kodu": 1234,
    "qvr202401": 812.9, "qvr202402": "YI",
    "r202401": 450000, "r202402": 2500000, "rd202401": None, "rd202402": -40000,
    "df202401": "3500000", "df202402": 999999,
    "_hizli_yukselen": True, "_rejim_degisimi": 1, "_potansiyel_yi": 0.5, "_erken_sinyal": "x",
    "_yakalanan": None, "_kacirilan": [1], "_qvr_neden": "skor artışı", "_ml_yi_prob": 0.873,
    "ignored": "whatever",
}


def test_row_to_array_full_row():
    got = vitrum._row_to_array(FULL_ROW, P2, P2, {"07": 3}, {1234: 5})
    assert len(got) == 14 + 2 + 3 * 2
    assert got[:6] == [1001, FULL_ROW["unvan"][:40], 1, 12, 3, 5]
    assert got[6:8] == [812, -1]
    assert same(got[8:14], [0.5, 2, None, -0.0, 4, 1.0])  # r..., rd..., df... grouped by series
    assert got[14:] == [True, 1, 0.5, "x", None, [1], "skor artışı", 0.873]
    assert same(got, ref_row(FULL_ROW, P2, P2, {"07": 3}, {1234: 5}))


def test_row_to_array_empty_row():
    got = vitrum._row_to_array({}, ["a", "b", "c"], ["c"], {}, {})
    assert same(got, [None, "", -1, 0.0, -1, -1, None, None, None, None, None, None,
                      0, 0, 0, 0, 0, 0, "", 0])


def test_row_to_array_without_periods_has_14_positions():
    assert len(vitrum._row_to_array({"muta": 1}, [], [], {}, {})) == 14


def test_row_to_array_null_members_stay_null():
    row = {k: None for k in ["muta", "unvan", "segment", "son_risk", "bolge_kodu", "sube_kodu",
                             "qvrp", "rp", "rdp", "dfp", *MARKS, "_qvr_neden", "_ml_yi_prob"]}
    got = vitrum._row_to_array(row, ["p"], ["p"], {None: 7}, {None: 7})
    assert got == [None, "", -1, None, -1, -1, None, None, None, None] + [None] * 8


def test_row_to_array_risk_periods_independent_of_score_periods():
    row = {f"{p}{d}": (i + 1) * 1000000 for i, d in enumerate(["1", "2", "3", "4"]) for p in ("qvr", "r", "rd", "df")}
    got = vitrum._row_to_array(row, ["1", "2", "3", "4"], ["4", "2"], {}, {})
    assert got[6:10] == [1000000, 2000000, 3000000, 4000000]
    assert got[10:16] == [4, 2, 4, 2, 4, 2]
    assert len(got) == 14 + 4 + 6


@pytest.mark.parametrize("score, code", [
    ("YI", -1), (812, 812), (812.9, 812), ("812", 812), (" 812 ", 812), ("-12", -12), ("+7", 7),
    ("812.5", None), ("yi", None), ("Yi", None), ("", None), (True, 1), (False, 0), (None, None),
    (-0.5, 0), (845.9, 845), ([812], None), ({"a": 1}, None), (float("nan"), None),
    (10 ** 20, 10 ** 20), ("123456789012345678901", 123456789012345678901),
])
def test_score_codes(score, code):
    row = {"qvr1": score}
    assert same(vitrum._row_to_array(row, [1], [], {}, {})[6], code)
    assert same(vitrum._row_to_array_v300(row, [1], [])[4], code)
    assert same(code, ref_score(score))


@pytest.mark.parametrize("fn", [
    lambda row: vitrum._row_to_array(row, ["p"], [], {}, {}),
    lambda row: vitrum._row_to_array_v300(row, ["p"], []),
])
def test_infinite_score_fails(fn):
    with pytest.raises(OverflowError):
        fn({"qvrp": float("inf")})


@pytest.mark.parametrize("segment, index", [
    ("KUR-TIC", 0), ("KOBI", 1), ("MIKRO", 2), ("ESKK", 3), ("kobi", -1), ("KUR_TIC", -1),
    ("KOBI ", -1), (None, -1), (1, -1), ("", -1),
])
def test_segment_index(segment, index):
    assert vitrum._row_to_array({"segment": segment}, [], [], {}, {})[2] == index
    assert vitrum._row_to_array_v300({"segment": segment}, [], [])[2] == index


@pytest.mark.parametrize("unvan, shown", [
    ("A" * 45, "A" * 40),
    ("ŞĞİÇÖÜ" * 7, ("ŞĞİÇÖÜ" * 7)[:40]),  # 40 characters, more than 40 bytes
    ("kısa", "kısa"), ("", ""), (None, ""), (False, ""), (0, ""),
    ("😀" * 41, "😀" * 40),
])
def test_unvan_cut_to_40_characters(unvan, shown):
    assert vitrum._row_to_array({"unvan": unvan}, [], [], {}, {})[1] == shown
    assert vitrum._row_to_array_v300({"unvan": unvan}, [], [])[1] == shown


@pytest.mark.parametrize("unvan", [5, 1.5, ["a"], {"a": 1}])
def test_unvan_that_is_not_text_fails(unvan):
    with pytest.raises(TypeError):
        vitrum._row_to_array({"unvan": unvan}, [], [], {}, {})
    with pytest.raises(TypeError):
        vitrum._row_to_array_v300({"unvan": unvan}, [], [])


@pytest.mark.parametrize("periods, names", [
    ([202401, "202402"], ["qvr202401", "qvr202402"]),
    ([2024.5, 2024.0], ["qvr2024.5", "qvr2024.0"]),
    ([-3], ["qvr-3"]),
])
def test_period_member_names(periods, names):
    row = {n: i + 500 for i, n in enumerate(names)}
    assert vitrum._row_to_array(row, periods, [], {}, {})[6:6 + len(names)] == [500 + i for i in range(len(names))]


def test_region_and_branch_lookups_use_the_stored_value():
    bmap, smap = {12: 0, "12": 1, 1: 2}, {"x": 4}
    enc = lambda r: vitrum._row_to_array(r, [], [], bmap, smap)[4:6]
    assert enc({"bolge_kodu": 12, "sube_kodu": "x"}) == [0, 4]
    assert enc({"bolge_kodu": "12"}) == [1, -1]
    assert enc({"bolge_kodu": 12.0}) == [0, -1]  # 12 and 12.0 are one code
    assert enc({"bolge_kodu": True}) == [2, -1]  # as True == 1
    assert enc({"bolge_kodu": "13", "sube_kodu": "X"}) == [-1, -1]


def test_row_to_array_leaves_row_unchanged():
    row = {"muta": 1, "unvan": "A" * 50, "son_risk": 2500000, "qvrp": "YI"}
    before = dict(row)
    vitrum._row_to_array(row, ["p"], ["p"], {}, {})
    vitrum._row_to_array_v300(row, ["p"], ["p"])
    assert row == before


def test_row_to_array_matches_reference_on_mixed_rows():
    import random
    rnd = random.Random(7)
    donemler, risk = ["2401", "2402", "2403"], ["2402", "2403"]
    bmap, smap = {"01": 0, "02": 1, 3: 2}, {100: 0, "200": 1}
    values = [None, 0, 1, 812.7, "812", "YI", "abc", 2500000, 250000.0, -40000, True, "", "  3 "]
    for _ in range(300):
        row = {}
        for key in ["muta", "segment", "son_risk", "bolge_kodu", "sube_kodu", *MARKS, "_qvr_neden", "_ml_yi_prob"]:
            if rnd.random() < 0.7:
                row[key] = rnd.choice(values + list(SEG) + ["01", 3, 100, "200"])
        for p in ("qvr", "r", "rd", "df"):
            for d in donemler:
                if rnd.random() < 0.7:
                    row[p + d] = rnd.choice(values)
        if rnd.random() < 0.5:
            row["unvan"] = "Ş" * rnd.randint(0, 60)
        assert same(vitrum._row_to_array(row, donemler, risk, bmap, smap), ref_row(row, donemler, risk, bmap, smap)), row
        assert same(vitrum._row_to_array_v300(row, donemler, risk), ref_row_v300(row, donemler, risk)), row


# --- _row_to_array_v300 ---------------------------------------------------------------------

def test_row_to_array_v300_layout():
    got = vitrum._row_to_array_v300(FULL_ROW, P2, ["202402"])
    assert got == [1001, FULL_ROW["unvan"][:40], 1, 12345678.9, 812, -1, 2500000]


@pytest.mark.parametrize("row, expected", [
    ({}, [None, "", -1, 0, None, None, None]),
    ({"son_risk": None}, [None, "", -1, None, None, None, None]),
    ({"son_risk": 2500000}, [None, "", -1, 2500000, None, None, None]),
    ({"son_risk": 1234.5, "rx": "abc"}, [None, "", -1, 1234.5, None, None, "abc"]),
    ({"son_risk": "12", "qvr2": 745.6, "qvr3": "YI"}, [None, "", -1, "12", 745, -1, None]),
])
def test_row_to_array_v300_keeps_amounts(row, expected):
    assert same(vitrum._row_to_array_v300(row, ["2", "3"], ["x"]), expected)
    assert same(vitrum._row_to_array_v300(row, [], []), expected[:4])


def test_row_to_array_v300_risk_values_copied():
    row = {"r2": "abc", "r3": [1], "r4": 2500000}
    assert vitrum._row_to_array_v300(row, [], ["2", "3", "4", "5"])[4:] == ["abc", [1], 2500000, None]


# --- _build_bolge_sube_maps -----------------------------------------------------------------

def write_csv(path, text, encoding="utf-8"):
    path.write_bytes(text.encode(encoding) if isinstance(text, str) else text)
    return str(path)


def names(result):
    bl, bm, sl, sm = result
    return [(r["kodu"], r["adi"]) for r in bl], [(s["kodu"], s["adi"], s["bolge_idx"]) for s in sl]


def test_catalogue_empty_rows():
    assert vitrum._build_bolge_sube_maps([]) == ([], {}, [], {})


def test_catalogue_first_appearance_order_and_maps():
    rows = [{"bolge_kodu": "07", "sube_kodu": "a"}, {"bolge_kodu": "03", "sube_kodu": "b"},
            {"bolge_kodu": "07", "sube_kodu": "c"}, {"bolge_kodu": "01", "sube_kodu": "a"}]
    bl, bm, sl, sm = vitrum._build_bolge_sube_maps(rows)
    assert bl == [{"kodu": "07", "adi": "Bölge 07"}, {"kodu": "03", "adi": "Bölge 03"}, {"kodu": "01", "adi": "Bölge 01"}]
    assert [list(r) for r in bl] == [["kodu", "adi"]] * 3
    assert list(bm.items()) == [("07", 0), ("03", 1), ("01", 2)]
    assert sl == [{"kodu": "a", "adi": "Şube a", "bolge_idx": 0}, {"kodu": "b", "adi": "Şube b", "bolge_idx": 1},
                  {"kodu": "c", "adi": "Şube c", "bolge_idx": 0}]
    assert [list(s) for s in sl] == [["kodu", "adi", "bolge_idx"]] * 3
    assert list(sm.items()) == [("a", 0), ("b", 1), ("c", 2)]


def test_catalogue_region_of_branch_is_that_of_its_first_row():
    rows = [{"sube_kodu": 1}, {"sube_kodu": 1, "bolge_kodu": "A"}, {"sube_kodu": 2, "bolge_kodu": None},
            {"sube_kodu": 3, "bolge_kodu": "A"}, {"sube_kodu": 3, "bolge_kodu": "B"}]
    _, sl = names(vitrum._build_bolge_sube_maps(rows))
    assert sl == [(1, "Şube 1", -1), (2, "Şube 2", -1), (3, "Şube 3", 0)]


def test_catalogue_code_identity_and_text_forms():
    rows = [{"bolge_kodu": 1, "sube_kodu": 1.0}, {"bolge_kodu": 1.0, "sube_kodu": 1}, {"bolge_kodu": True},
            {"bolge_kodu": 12}, {"bolge_kodu": "12"}, {"bolge_kodu": 12.0}, {"bolge_kodu": 1e-05},
            {"bolge_kodu": 1e16}, {"bolge_kodu": -3}, {"bolge_kodu": ""}, {"sube_kodu": ""},
            {"bolge_kodu": None, "sube_kodu": None}]
    bl, sl = names(vitrum._build_bolge_sube_maps(rows))
    assert same(bl, [(1, "Bölge 1"), (12, "Bölge 12"), ("12", "Bölge 12"), (1e-05, "Bölge 1e-05"),
                     (1e16, "Bölge 1e+16"), (-3, "Bölge -3"), ("", "Bölge ")])
    assert same(sl, [(1.0, "Şube 1.0", 0), ("", "Şube ", -1)])


def test_catalogue_rows_not_changed():
    rows = [{"bolge_kodu": "07", "sube_kodu": 5}]
    vitrum._build_bolge_sube_maps(rows, None)
    assert rows == [{"bolge_kodu": "07", "sube_kodu": 5}]


REF = "bolge_kodu,bolge_adi,sube_kodu,sube_adi\n07,Ege,1234,Konak\n03,,5678,\n12,Oniki,,\n"


@pytest.mark.parametrize("csv_text, rows, regions, branches", [
    # names from the file; an empty region name falls back, an empty branch name stays empty
    (REF, [{"bolge_kodu": "07", "sube_kodu": "1234"}, {"bolge_kodu": "03", "sube_kodu": "5678"},
           {"bolge_kodu": "99", "sube_kodu": "9"}],
     [("07", "Ege"), ("03", "Bölge 03"), ("99", "Bölge 99")],
     [("1234", "Konak", 0), ("5678", "", 1), ("9", "Şube 9", 2)]),
    # integer codes find the text keys of the file; 12 and "12" are two codes with one name
    (REF, [{"bolge_kodu": 12, "sube_kodu": 1234}, {"bolge_kodu": "12"}],
     [(12, "Oniki"), ("12", "Oniki")], [(1234, "Konak", 0)]),
    # a UTF-8 byte-order mark before the header does not hide the first column
    ("\ufeff" + REF, [{"bolge_kodu": "07", "sube_kodu": "1234"}], [("07", "Ege")], [("1234", "Konak", 0)]),
    # short lines: missing sube_adi is a null branch name, missing bolge_adi a generated name
    ("bolge_kodu,sube_kodu,bolge_adi,sube_adi\n07,1234\n08,99,Trakya\n",
     [{"bolge_kodu": "07", "sube_kodu": "1234"}, {"bolge_kodu": "08", "sube_kodu": "99"}],
     [("07", "Bölge 07"), ("08", "Trakya")], [("1234", None, 0), ("99", None, 1)]),
    # duplicate codes: the first line wins, even with an empty name
    ("bolge_kodu,bolge_adi,sube_kodu,sube_adi\n07,,1,\n07,Ege,1,Bir\n07,Ikinci,2,Iki\n",
     [{"bolge_kodu": "07", "sube_kodu": "1"}, {"sube_kodu": "2"}],
     [("07", "Bölge 07")], [("1", "", 0), ("2", "Iki", -1)]),
    # column order free, other columns ignored, quotes, doubled quotes, CRLF, blank lines
    ('x,sube_adi,sube_kodu,bolge_adi,bolge_kodu\r\n\r\nq,"Konak, ""Merkez""",1234,"Ege\nBölgesi",07\r\n',
     [{"bolge_kodu": "07", "sube_kodu": "1234"}],
     [("07", "Ege\nBölgesi")], [("1234", 'Konak, "Merkez"', 0)]),
    # a column the header lacks reads as "" on every line
    ("bolge_kodu,sube_kodu\n07,1234\n", [{"bolge_kodu": "07", "sube_kodu": "1234"}],
     [("07", "Bölge 07")], [("1234", "", 0)]),
    # values are used as they stand: no trimming, no case folding
    ("bolge_kodu,bolge_adi,sube_kodu,sube_adi\n 07,Ege ,ab,Konak\n",
     [{"bolge_kodu": "07", "sube_kodu": "AB"}, {"bolge_kodu": " 07"}],
     [("07", "Bölge 07"), (" 07", "Ege ")], [("AB", "Şube AB", 0)]),
    # a repeated column name: the last column of that name is read
    ("bolge_kodu,bolge_adi,bolge_adi\n07,A,B\n", [{"bolge_kodu": "07"}], [("07", "B")], []),
    # empty file, header only
    ("", [{"bolge_kodu": "07"}], [("07", "Bölge 07")], []),
    ("bolge_kodu,bolge_adi,sube_kodu,sube_adi\n", [{"bolge_kodu": "07"}], [("07", "Bölge 07")], []),
])
def test_catalogue_with_reference_file(tmp_path, csv_text, rows, regions, branches):
    path = write_csv(tmp_path / "sube_bolge_ref.csv", csv_text)
    assert names(vitrum._build_bolge_sube_maps(rows, path)) == (regions, branches)
    assert names(vitrum._build_bolge_sube_maps(rows, ref_csv_path=path)) == (regions, branches)


@pytest.mark.parametrize("ref", [None, "", "does/not/exist.csv"])
def test_catalogue_without_reference_file(tmp_path, monkeypatch, ref):
    monkeypatch.chdir(tmp_path)
    assert names(vitrum._build_bolge_sube_maps([{"bolge_kodu": "07", "sube_kodu": 1}], ref)) == (
        [("07", "Bölge 07")], [(1, "Şube 1", 0)])


def test_catalogue_reference_path_object(tmp_path):
    path = tmp_path / "ref.csv"
    write_csv(path, REF)
    assert names(vitrum._build_bolge_sube_maps([{"bolge_kodu": "07"}], path))[0] == [("07", "Ege")]


def test_catalogue_reference_file_not_utf8(tmp_path):
    path = write_csv(tmp_path / "ref.csv", "bolge_kodu,bolge_adi\n07,Ege Bölgesi\n", "latin-1")
    with pytest.raises(UnicodeDecodeError):
        vitrum._build_bolge_sube_maps([{"bolge_kodu": "07"}], path)


def test_catalogue_reference_path_is_a_directory(tmp_path):
    with pytest.raises(IsADirectoryError):
        vitrum._build_bolge_sube_maps([{"bolge_kodu": "07"}], str(tmp_path))


@pytest.mark.parametrize("rows, exc", [
    ([[1, 2]], TypeError), ([5], TypeError), ([{"bolge_kodu": [1]}], TypeError), ([{"sube_kodu": {"a": 1}}], TypeError),
])
def test_catalogue_bad_rows(rows, exc):
    with pytest.raises(exc):
        vitrum._build_bolge_sube_maps(rows)


# --- argument binding -----------------------------------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda: vitrum._row_to_array({}, [], [], {}), "_row_to_array() takes exactly 5 positional arguments (4 given)"),
    (lambda: vitrum._row_to_array({}, [], [], {}, {}, {}), "_row_to_array() takes exactly 5 positional arguments (6 given)"),
    (lambda: vitrum._row_to_array_v300({}), "_row_to_array_v300() takes exactly 3 positional arguments (1 given)"),
    (lambda: vitrum._mio(), "_mio() takes exactly 1 positional argument (0 given)"),
    (lambda: vitrum._mio(1, 2), "_mio() takes exactly 1 positional argument (2 given)"),
    (lambda: vitrum._mio(v=1, w=2), "_mio() got an unexpected keyword argument 'w'"),
    (lambda: vitrum._slim_diag_index(), "_slim_diag_index() takes exactly 1 positional argument (0 given)"),
    (lambda: vitrum._build_bolge_sube_maps(), "_build_bolge_sube_maps() takes at least 1 positional argument (0 given)"),
    (lambda: vitrum._build_bolge_sube_maps([], None, 1), "_build_bolge_sube_maps() takes at most 2 positional arguments (3 given)"),
    (lambda: vitrum.render_html(), "render_html() takes at least 1 positional argument (0 given)"),
    (lambda: vitrum.render_html(*range(11)), "render_html() takes at most 10 positional arguments (11 given)"),
    (lambda: vitrum.render_html({}, foo=1), "render_html() got an unexpected keyword argument 'foo'"),
    (lambda: vitrum.render_html({}, "x.html", output_html="y.html"),
     "render_html() got multiple values for keyword argument 'output_html'"),
    (lambda: vitrum.render_html(output_html="x"), "render_html() missing required argument 'scoreboard_or_path' (pos 1)"),
    (lambda: vitrum.render_html({}, chunk_size="5"), "Argument 'chunk_size' has incorrect type (expected int, got str)"),
    (lambda: vitrum.render_html({}, chunk_size=None), "Argument 'chunk_size' has incorrect type (expected int, got NoneType)"),
    (lambda: vitrum.render_html({}, top_n="5"), "Argument 'top_n' has incorrect type (expected int, got str)"),
    (lambda: vitrum.render_html({}, external_link=5), "Argument 'external_link' has incorrect type (expected str, got int)"),
    (lambda: vitrum.render_html({}, extra_data=[1]), "Argument 'extra_data' has incorrect type (expected dict, got list)"),
    (lambda: vitrum.render_html_v300("x.json", chunk_size="a"), "Argument 'chunk_size' has incorrect type (expected int, got str)"),
    (lambda: vitrum.render_html_v300("x.json", top_n=[1]), "Argument 'top_n' has incorrect type (expected int, got list)"),
    (lambda: vitrum.render_html_v300("x.json", bar=1), "render_html_v300() got an unexpected keyword argument 'bar'"),
    (lambda: vitrum._build_trending_html(None), "Argument 'trending' has incorrect type (expected dict, got NoneType)"),
    (lambda: vitrum._build_trending_html([]), "Argument 'trending' has incorrect type (expected dict, got list)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_arguments_by_name():
    row = {"muta": 5, "bolge_kodu": "A"}
    assert vitrum._row_to_array(row=row, donemler=[], risk_donemler=[], BOLGE_MAP={"A": 0}, SUBE_MAP={})[4] == 0
    assert vitrum._row_to_array_v300(row, risk_donemler=["x"], donemler=[]) == [5, "", -1, 0, None]
    assert vitrum._mio(v=2500000) == 2
    assert vitrum._build_bolge_sube_maps(all_rows=[row])[1] == {"A": 0}


# --- numbers of other Python types ---------------------------------------------------------------

def test_amounts_and_scores_accept_any_python_number():
    from decimal import Decimal
    from fractions import Fraction
    import datetime
    import numpy as np

    assert vitrum._mio(Decimal("2500000")) == 2
    assert vitrum._mio(Fraction(450000)) == 0.5
    assert vitrum._mio(np.int64(3500000)) == 4
    assert vitrum._mio(np.float32(950000)) == 0.9
    assert vitrum._mio(datetime.date(2025, 1, 1)) is None
    row = {"son_risk": Decimal("2500000"), "qvrp": Decimal("812.9"), "rp": np.int64(450000)}
    arr = vitrum._row_to_array(row, ["p"], ["p"], {}, {})
    assert arr[3] == 2 and arr[6] == 812 and arr[7] == 0.5


def test_dict_keys_as_json_dumps_writes_them():
    keys = [True, False, None, -5, 2 ** 70, -(2 ** 70), 1.5, float("inf"), float("-inf"), float("nan"), -0.0, 1e16]
    finding = {"p": {"bulgular": [{"kriter": "K1", "grup": "gecikme", "aciklama": "x"}]}}
    slim = vitrum._slim_diag_index({k: finding for k in keys})
    assert list(slim) == list(json.loads(json.dumps({k: 1 for k in keys})))
    with pytest.raises(TypeError, match="keys must be str, int, float, bool or None, not tuple"):
        vitrum._slim_diag_index({(1,): finding})
