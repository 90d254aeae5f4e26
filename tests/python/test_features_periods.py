"""Periods stored as DATE or TIMESTAMP: the matrix is that of the same periods stored as
their ISO text, with and without the diagnostic file, whole and in partitions."""

from __future__ import annotations

from pathlib import Path

import duckdb
import pandas as pd
import pytest

from halvex.cli import main
from halvex.ml.features import DIAG_FEATURE_COLS, build_features
from halvex.ml.partitions import ROWS_VARIABLE, plan
from halvex.sample.facts_db import write_sample_db

# yyyymm of the sample periods as a date (the first of the month) and as its ISO text
AS_DATE = "make_date(CAST(donem // 100 AS INTEGER), CAST(donem % 100 AS INTEGER), 1)"
AS_TEXT = f"strftime({AS_DATE}, '%Y-%m-%d')"


def copy_db(src: Path, dst: Path, donem_sql: str, diag_donem_sql: str | None) -> Path:
    """src with fact_periodic.donem replaced by donem_sql (over the integer yyyymm) and the
    diagnostic file's donem (text yyyymm) by diag_donem_sql, or no diagnostic file (None)."""
    dst.parent.mkdir(parents=True)
    con = duckdb.connect(str(dst))
    try:
        con.execute(f"ATTACH '{src}' AS src (READ_ONLY)")
        con.execute(f"CREATE TABLE fact_periodic AS SELECT * REPLACE ({donem_sql} AS donem) "
                    "FROM src.fact_periodic")
        con.execute("CREATE TABLE dim_entity AS SELECT * FROM src.dim_entity")
        if diag_donem_sql is not None:
            (dst.parent / "cache").mkdir()
            source = src.parent / "cache" / "diag_features.parquet"
            yyyymm = "CAST(donem AS INTEGER)"
            con.execute(f"COPY (SELECT * REPLACE ({diag_donem_sql.replace('donem', yyyymm)} AS donem) "
                        f"FROM read_parquet('{source}')) TO '{dst.parent / 'cache' / 'diag_features.parquet'}'")
    finally:
        con.close()
    return dst


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return write_sample_db(tmp_path_factory.mktemp("periods") / "int" / "facts.duckdb",
                           n_entities=300, seed=11)


def build(db, capsys):
    frame = build_features(db)
    return frame, capsys.readouterr().out


@pytest.mark.parametrize("diag", ["none", "text", "date"])
def test_date_periods_give_the_matrix_of_their_iso_text(sample, tmp_path, capsys, diag):
    diag_sql = {"none": None, "text": AS_TEXT, "date": AS_DATE}[diag]
    as_text = copy_db(sample, tmp_path / "text" / "facts.duckdb", AS_TEXT, None if diag == "none" else AS_TEXT)
    as_date = copy_db(sample, tmp_path / "date" / "facts.duckdb", AS_DATE, diag_sql)
    expected, lines = build(as_text, capsys)
    got, got_lines = build(as_date, capsys)
    pd.testing.assert_frame_equal(got, expected)
    assert got_lines == lines
    assert got["donem"].iloc[0] == "2023-01-01"
    # Only the periods' form differs from the integer periods they came from.
    original, _ = build(sample, capsys)
    if diag == "none":
        assert "diag feature'lar 0" in lines
    else:
        assert "merge edildi" in lines and original["diag_bulgu_sayisi"].sum() > 0
    assert (got["donem"].str.replace("-", "").str[:6].astype(int) == original["donem"].astype(int)).all()
    same = [c for c in got.columns if c != "donem" and (diag != "none" or c not in DIAG_FEATURE_COLS)]
    pd.testing.assert_frame_equal(got[same], original[same])


# Each form of a time, with the text that stands for it; TIMESTAMPTZ is written from UTC+3.
TIMES = {
    "TIMESTAMP": ("2024-01-31 22:30:00", "2024-01-31 22:30:00"),
    "TIMESTAMP_S": ("2024-01-31 22:30:00", "2024-01-31 22:30:00"),
    "TIMESTAMP_MS": ("2024-01-31 22:30:00.250", "2024-01-31 22:30:00.25"),
    "TIMESTAMP_NS": ("2024-01-31 22:30:00.000000500", "2024-01-31 22:30:00.0000005"),
    "TIMESTAMPTZ": ("2024-02-01 01:30:00+03", "2024-01-31 22:30:00"),
}


@pytest.mark.parametrize("kind", list(TIMES))
def test_timestamp_periods_sort_in_time_and_match_their_text(tmp_path, kind):
    stored, text = TIMES[kind]
    path = tmp_path / "facts.duckdb"
    con = duckdb.connect(str(path))
    con.execute("SET TimeZone = 'Europe/Istanbul'")
    con.execute(f"CREATE TABLE fact_periodic (entity_id VARCHAR, donem {kind}, qvr_skor VARCHAR, "
                "qvr_kaynak VARCHAR, kombine_risk DOUBLE, risk_degisim DOUBLE, ykn_izl_flag INTEGER)")
    con.execute("CREATE TABLE dim_entity (entity_id VARCHAR, segment VARCHAR, bolge_kodu VARCHAR)")
    # A year earlier and a year later, inserted out of order; then "YI" a period ahead.
    for donem, score in [(stored.replace("2024", "2025", 1), "YI"), (stored, "600"),
                         (stored.replace("2024", "2023", 1), "500")]:
        con.execute(f"INSERT INTO fact_periodic VALUES ('A', CAST(? AS {kind}), ?, '', 1.0, NULL, 0)",
                    [donem, score])
    con.close()
    df = build_features(path)
    assert df["donem"].tolist() == [text.replace("2024", "2023", 1), text, text.replace("2024", "2025", 1)]
    assert df["qvr_lag_1"].tolist()[1:] == [500.0, 600.0] and df["label"].tolist()[:2] == [1.0, 1.0]

    (tmp_path / "cache").mkdir()
    pd.DataFrame({"entity_id": ["A"], "donem": [text], "diag_kik_bulgu": [4]}).to_parquet(
        tmp_path / "cache" / "diag_features.parquet")
    assert build_features(path)["diag_kik_bulgu"].tolist() == [0, 4, 0]


@pytest.mark.parametrize("donem", ["'infinity'::DATE", "'-infinity'::DATE", "'10000-01-01'::DATE",
                                   "'-0001-12-31'::DATE", "'infinity'::TIMESTAMP"])
def test_periods_beyond_the_four_digit_years_are_refused_by_name(tmp_path, donem):
    path = tmp_path / "facts.duckdb"
    con = duckdb.connect(str(path))
    con.execute(f"CREATE TABLE fact_periodic AS SELECT 'A' AS entity_id, {donem} AS donem, "
                "'1' AS qvr_skor, '' AS qvr_kaynak, 1.0 AS kombine_risk, NULL AS risk_degisim, "
                "0 AS ykn_izl_flag UNION ALL SELECT 'A', NULL, '1', '', 1.0, NULL, 0")
    con.execute("CREATE TABLE dim_entity (entity_id VARCHAR, segment VARCHAR, bolge_kodu VARCHAR)")
    con.close()
    with pytest.raises(ValueError, match=r"column 'donem' .* years 0000 to 9999"):
        build_features(path)


def test_partitioned_date_build_equals_the_whole(sample, tmp_path, monkeypatch, capsys):
    db = copy_db(sample, tmp_path / "date" / "facts.duckdb", AS_DATE, AS_DATE)
    expected, lines = build(db, capsys)
    assert len(plan(db, 500)) > 1
    monkeypatch.setenv(ROWS_VARIABLE, "500")
    out = tmp_path / "m.parquet"
    assert main(["features", str(db), "-o", str(out)]) == 0
    assert capsys.readouterr().out.startswith(lines)
    pd.testing.assert_frame_equal(pd.read_parquet(out), expected)
