"""The scoreboard document of a small hand-made fact database, member by member: periods,
"YI" scores, gaps, missing dimension columns, a borrower absent from the latest period, the
marks on their boundaries, the model's marks, the findings index; and the document rendered
by render_html as a dict and as the file written."""

import json

import duckdb
import pytest

from halvex.pipeline.vitrum import render_html, render_html_v300
from halvex.scoreboard import build_scoreboard

P = ["202401", "202402", "202403", "202404"]
# entity_id -> scores of the four periods (None: no fact row in that period)
SCORES = {
    "A": ["400", "450", "480", "620"],    # +220 over 3 periods, EUS -> YIS
    "B": ["500", "560", "600", "620"],    # +120 exactly: fast riser
    "C": ["580", "600", "650", "699"],    # +119: not
    "D": ["700", "750", "800", "820"],    # fast riser from 700 on: potential YI
    "E": ["800", "YI", "abc", "825"],     # 825 exactly: potential YI; junk is no score
    "F": ["300", "310", "320", None],     # not in the latest period: no row
    "G": ["510", None, None, "515.5"],    # gaps; no dim_entity row
    "H": ["900", "950", "YI", "YI"],      # under close monitoring
    "J": ["300", "300", "499.9", "500"],  # 499.9 -> 500: band change on its boundary
}
SOURCE = {"A": "QVR", "D": "MANUEL"}


def _facts(con, with_dim_columns=True):
    con.execute("CREATE TABLE fact_periodic (entity_id VARCHAR, donem INTEGER, qvr_skor VARCHAR, "
                "qvr_kaynak VARCHAR, kombine_risk DOUBLE, risk_degisim DOUBLE, ykn_izl_flag INTEGER, "
                "nakdi_risk DOUBLE)")
    # Inserted latest period first: the document orders periods itself.
    for k in reversed(range(4)):
        for e, scores in SCORES.items():
            if scores[k] is None:
                continue
            risk = None if (e, k) == ("C", 3) else 1_000_000.0 * (k + 1) + (0.5 if e == "J" else 0)
            con.execute("INSERT INTO fact_periodic VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                        [e, int(P[k]), scores[k], SOURCE.get(e), risk, 1000.0 * k, 0, 250.0 * k])
    dim = "entity_id VARCHAR, segment VARCHAR, bolge_kodu VARCHAR"
    dim += ", unvan VARCHAR, sube_kodu VARCHAR" if with_dim_columns else ""
    con.execute(f"CREATE TABLE dim_entity ({dim})")
    for e in SCORES:
        if e == "G":
            continue
        values = [e, "KOBI", "07"] + ([f"{e} Gıda A.Ş.", "1007"] if with_dim_columns else [])
        con.execute(f"INSERT INTO dim_entity VALUES ({', '.join('?' * len(values))})", values)


@pytest.fixture(scope="module")
def db(tmp_path_factory):
    path = tmp_path_factory.mktemp("facts") / "facts.duckdb"
    con = duckdb.connect(str(path))
    _facts(con)
    con.execute("CREATE TABLE fact_findings (entity_id VARCHAR, donem INTEGER, katman VARCHAR, "
                "kriter VARCHAR, grup VARCHAR, aciklama VARCHAR)")
    con.executemany("INSERT INTO fact_findings VALUES (?, ?, ?, ?, ?, ?)", [
        ["A", 202403, "KIK", "K1", "gecikme", "Gecikme"],
        ["A", 202404, "RKD", "R1", "gecikme", None],
        ["A", 202404, "SQL", "S1", "yasal", "İcra"],
        ["F", 202403, "KIK", "K1", "gecikme", None],   # no row for F: left out
        ["B", 209912, "KIK", "K1", "gecikme", None],   # a period without facts: left out
    ])
    con.close()
    return path


@pytest.fixture(scope="module")
def doc(db):
    return build_scoreboard(db, generated_at="2024-05-02T07:00:00")


def _rows(doc):
    return {r["muta"]: r for r in doc["rows"]}


def test_meta_and_periods(doc):
    assert doc["meta"] == {
        "title": "QVR Erken Uyarı Skorkartı", "generated_at": "2024-05-02T07:00:00",
        "donemler": P, "risk_donemler": P[1:], "n_firma": 8, "kaynak": "halvex.scoreboard",
        "veri_tarihi": "202404", "risk_serileri": {"r": "kombine_risk", "df": "risk_degisim"},
        "bulgular_gizli": True,
    }
    assert list(doc) == ["meta", "rows", "flow_matrix", "band_snapshot", "band_risk", "diag_index"]


def test_one_row_per_borrower_of_the_latest_period(doc):
    assert [r["muta"] for r in doc["rows"]] == ["A", "B", "C", "D", "E", "G", "H", "J"]


def test_row_members(doc):
    rows = _rows(doc)
    assert rows["A"] == {
        "muta": "A", "unvan": "A Gıda A.Ş.", "segment": "KOBI", "son_risk": 4000000,
        "bolge_kodu": "07", "sube_kodu": "1007",
        "qvr202401": 400, "qvr202402": 450, "qvr202403": 480, "qvr202404": 620,
        "r202402": 2000000, "r202403": 3000000, "r202404": 4000000,
        "df202402": 1000, "df202403": 2000, "df202404": 3000,
        "_hizli_yukselen": 1, "_rejim_degisimi": 1, "_potansiyel_yi": 0,
        "_qvr_neden": "Bant: EUS → YIS; 3 dönemde +220 puan (400 → 620); Kaynak: QVR",
    }
    # "YI" as text, junk and missing periods absent, a fractional score kept as it is
    assert {k: v for k, v in rows["E"].items() if k.startswith("qvr")} == {
        "qvr202401": 800, "qvr202402": "YI", "qvr202404": 825}
    g = rows["G"]
    assert {k: v for k, v in g.items() if k.startswith(("qvr", "r2", "df"))} == {
        "qvr202401": 510, "qvr202404": 515.5, "r202404": 4000000, "df202404": 3000}
    assert "segment" not in g and "unvan" not in g and "bolge_kodu" not in g  # no dim_entity row
    assert rows["J"]["son_risk"] == 4000000.5
    assert rows["C"]["son_risk"] is None and "r202404" not in rows["C"]  # risk missing
    assert rows["H"]["qvr202404"] == "YI"


@pytest.mark.parametrize("muta, hizli, rejim, potansiyel", [
    ("A", 1, 1, 0), ("B", 1, 0, 0), ("C", 0, 0, 0), ("D", 1, 0, 1), ("E", 0, 0, 1),
    ("G", 0, 0, 0), ("H", 0, 0, 0), ("J", 1, 1, 0),
])
def test_marks_on_their_boundaries(doc, muta, hizli, rejim, potansiyel):
    r = _rows(doc)[muta]
    assert (r["_hizli_yukselen"], r["_rejim_degisimi"], r["_potansiyel_yi"]) == (hizli, rejim, potansiyel)


def test_reason_texts(doc):
    rows = _rows(doc)
    assert rows["D"]["_qvr_neden"] == "3 dönemde +120 puan (700 → 820); Kaynak: MANUEL"
    # no band before (a junk score): only the rise is told
    assert rows["E"]["_qvr_neden"] == "3 dönemde +25 puan (800 → 825)"
    assert rows["C"]["_qvr_neden"] == ""
    assert rows["J"]["_qvr_neden"] == "Bant: EUS → YIS; 3 dönemde +200 puan (300 → 500)"


def test_flow_and_snapshot(doc):
    n = doc["meta"]["n_firma"]
    flow = doc["flow_matrix"]
    assert {(f["from_donem"], f["to_donem"]) for f in flow} == {("202403", "202404")}
    assert sum(f["count"] for f in flow) == n
    moves = {(f["from_band"], f["to_band"]): f["count"] for f in flow}
    # A and J leave EUS; E's junk score is no band; G had no row in 202403
    assert moves == {("EUS", "YIS"): 2, ("YIS", "YIS"): 3, ("YOK", "YUKSEK"): 1, ("YOK", "YIS"): 1,
                     ("YI", "YI"): 1}
    assert [(f["from_band"], f["to_band"]) for f in flow][:2] == [("EUS", "YIS"), ("YIS", "YIS")]
    assert next(f["risk"] for f in flow if f["from_band"] == "EUS") == 8000000.5
    snap = doc["band_snapshot"]
    assert list(snap) == P
    assert all(sum(v.values()) == n for v in snap.values())
    assert snap["202404"] == {"EUS": 0, "YIS": 6, "YUKSEK": 1, "YI": 1, "YOK": 0}
    assert doc["band_risk"]["202404"]["YI"] == 4000000


def test_findings_index(doc):
    assert doc["diag_index"] == {"A": {
        "202403": {"bulgular": [{"katman": "KIK", "kriter": "K1", "grup": "gecikme", "aciklama": "Gecikme"}],
                   "yeni_gruplar": ["gecikme"]},
        "202404": {"bulgular": [{"katman": "RKD", "kriter": "R1", "grup": "gecikme"},
                                {"katman": "SQL", "kriter": "S1", "grup": "yasal", "aciklama": "İcra"}],
                   "yeni_gruplar": ["yasal"]},
    }}


def test_missing_dimension_columns_and_findings_table(tmp_path):
    path = tmp_path / "bare.duckdb"
    con = duckdb.connect(str(path))
    _facts(con, with_dim_columns=False)
    con.close()
    doc = build_scoreboard(path, generated_at="x", risk_periods=0)
    assert "diag_index" not in doc and doc["meta"]["bulgular_gizli"] is False
    assert doc["meta"]["risk_donemler"] == []
    for r in doc["rows"]:
        assert "unvan" not in r and "sube_kodu" not in r
        assert not any(k.startswith(("r2", "rd", "df")) for k in r)


def test_second_risk_series_from_a_named_column(db):
    doc = build_scoreboard(db, generated_at="x", rd_column="nakdi_risk", risk_periods=2)
    a = _rows(doc)["A"]
    assert [k for k in a if k.startswith(("r2", "rd", "df"))] == [
        "r202403", "r202404", "rd202403", "rd202404", "df202403", "df202404"]
    assert (a["rd202403"], a["rd202404"]) == (500, 750)
    assert doc["meta"]["risk_serileri"] == {"r": "kombine_risk", "rd": "nakdi_risk", "df": "risk_degisim"}
    with pytest.raises(ValueError, match="no column nakit"):
        build_scoreboard(db, rd_column="nakit")


def test_model_marks_and_sections(db):
    model = {"entity_id": ["A", "H", "Z"], "prob": [0.42, 0.9, 0.1],
             "alerted": [True, True, True], "caught": [False, True, False], "missed": [True, False, False]}
    doc = build_scoreboard(db, generated_at="x", model=model, alert_threshold=0.35, model_id="yi-2024-04",
                           model_trained_at="2024-05-01", ml_predictions=[{"entity_id": "A", "prob": 0.42}],
                           backtest_summary={"format": 1})
    rows = _rows(doc)
    pick = ("_erken_sinyal", "_yakalanan", "_kacirilan", "_ml_yi_prob")
    assert [rows["A"].get(k) for k in pick] == [1, 0, 1, 0.42]
    assert [rows["H"].get(k) for k in pick] == [0, 1, 0, 0.9]  # already YI: no early signal
    assert [rows["B"].get(k) for k in pick] == [0, 0, 0, None]  # not scored
    assert list(rows["A"])[-2:] == ["_qvr_neden", "_ml_yi_prob"]
    meta = doc["meta"]
    assert (meta["alarm_esigi"], meta["model_id"], meta["model_egitim_tarihi"]) == (0.35, "yi-2024-04", "2024-05-01")
    assert doc["ml_predictions"] == [{"entity_id": "A", "prob": 0.42}]
    assert doc["backtest_summary"] == {"format": 1} and "backtest_firma" not in doc
    with pytest.raises(ValueError, match="prob"):
        build_scoreboard(db, model={"entity_id": ["A"], "prob": [0.1, 0.2]})


def test_file_equals_json_dumps_and_renders_alike(db, doc, tmp_path):
    done = build_scoreboard(db, tmp_path / "json" / "scoreboard.json", generated_at="2024-05-02T07:00:00")
    text = (tmp_path / "json" / "scoreboard.json").read_text(encoding="utf-8")
    assert text == json.dumps(doc, ensure_ascii=False)
    assert (done["rows"], done["periods"], done["latest"], done["bytes"]) == (8, 4, "202404", len(text.encode()))
    a = render_html(json.loads(text), output_html=str(tmp_path / "a.html"))
    b = render_html(str(done["path"]), output_html=str(tmp_path / "b.html"))
    assert a["rows"] == b["rows"] == 8
    assert (tmp_path / "a.html").read_bytes() == (tmp_path / "b.html").read_bytes()
    assert render_html_v300(str(done["path"]), output_html=str(tmp_path / "c.html"))["rows"] == 8


def test_bad_inputs(tmp_path, db):
    with pytest.raises(FileNotFoundError):
        build_scoreboard(tmp_path / "none.duckdb")
    empty = tmp_path / "empty.duckdb"
    con = duckdb.connect(str(empty))
    con.execute("CREATE TABLE fact_periodic (entity_id VARCHAR, donem INTEGER, qvr_skor VARCHAR, "
                "kombine_risk DOUBLE)")
    con.close()
    with pytest.raises(ValueError, match="no facts"):
        build_scoreboard(empty)
    with pytest.raises(ValueError, match="is the database"):
        build_scoreboard(db, db)
    with pytest.raises(ValueError, match="risk_periods"):
        build_scoreboard(db, risk_periods=-1)


def test_thread_count_does_not_change_the_document(tmp_path, monkeypatch):
    from halvex.sample.facts_db import write_sample_db

    # Enough fact rows (480,000) for the borrowers to be built on two threads; findings of
    # borrowers all along, whose index follows the rows' order.
    db = write_sample_db(tmp_path / "facts.duckdb", n_entities=80000, n_periods=6, seed=3)
    con = duckdb.connect(str(db))
    con.execute("CREATE TABLE fact_findings AS SELECT entity_id, max(donem) AS donem, 'KIK' AS katman, "
                "'K1' AS kriter, 'gecikme' AS grup FROM fact_periodic GROUP BY entity_id "
                "HAVING hash(entity_id) % 50 = 0")
    con.close()
    texts = []
    for threads in ("1", "2"):
        monkeypatch.setenv("HALVEX_THREADS", threads)
        build_scoreboard(db, tmp_path / f"doc{threads}.json", generated_at="x")
        texts.append((tmp_path / f"doc{threads}.json").read_bytes())
    assert texts[0] == texts[1]
    doc = json.loads(texts[1])
    order = {r["muta"]: k for k, r in enumerate(doc["rows"])}
    index = [order[m] for m in doc["diag_index"]]
    assert len(index) > 500 and index == sorted(index)


def test_a_named_column_is_quoted_as_an_identifier(tmp_path):
    path = tmp_path / "quoted.duckdb"
    con = duckdb.connect(str(path))
    con.execute("""CREATE TABLE fact_periodic (entity_id BIGINT, donem VARCHAR, qvr_skor DOUBLE,
                   kombine_risk DOUBLE, "nakdi ""risk""; --" DOUBLE)""")
    con.execute("INSERT INTO fact_periodic VALUES (9007199254740993, '2024-01', 812.0, 10.25, 7)")
    con.close()
    doc = build_scoreboard(path, generated_at="x", rd_column='nakdi "risk"; --')
    assert doc["rows"] == [{"muta": 9007199254740993, "son_risk": 10.25, "qvr2024-01": 812,
                            "r2024-01": 10.25, "rd2024-01": 7, "_hizli_yukselen": 0,
                            "_rejim_degisimi": 0, "_potansiyel_yi": 0, "_qvr_neden": ""}]
    assert doc["flow_matrix"] == [] and doc["meta"]["risk_donemler"] == ["2024-01"]
