"""``halvex features -o`` in entity partitions: the file and the printed lines are those of
one whole build, whatever the partition size, and a failure leaves the old file."""

from __future__ import annotations

import os

import duckdb
import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from halvex.cli import main
from halvex.ml.features import build_features
from halvex.ml.partitions import ROWS_VARIABLE, plan
from halvex.sample.facts_db import write_sample_db


@pytest.fixture(scope="module")
def sample_dbs(tmp_path_factory):
    base = tmp_path_factory.mktemp("parts")
    return {"diag": write_sample_db(base / "diag" / "facts.duckdb", n_entities=500, seed=5),
            "no-diag": write_sample_db(base / "plain" / "facts.duckdb", n_entities=500, seed=5,
                                       with_diag=False)}


def run_cli(db, out, monkeypatch, capsys, rows, horizon=3):
    monkeypatch.setenv(ROWS_VARIABLE, str(rows))
    assert main(["features", str(db), "--horizon", str(horizon), "-o", str(out)]) == 0
    return capsys.readouterr().out


def whole(db, capsys, horizon=3):
    frame = build_features(db, horizon)
    return frame, capsys.readouterr().out


@pytest.mark.parametrize("which", ["diag", "no-diag"])
def test_partitioned_file_equals_the_whole_build(sample_dbs, which, tmp_path, monkeypatch, capsys):
    db = sample_dbs[which]
    expected, lines = whole(db, capsys)
    for rows in (997, 3000):
        assert len(plan(db, rows)) > 1
        printed = run_cli(db, tmp_path / "m.parquet", monkeypatch, capsys, rows)
        assert printed == lines + f"  Written: {tmp_path / 'm.parquet'} ({len(expected)} rows, 42 columns)\n"
        pd.testing.assert_frame_equal(pd.read_parquet(tmp_path / "m.parquet"), expected)
    # One row group or more per partition, never one for the whole file.
    assert pq.ParquetFile(tmp_path / "m.parquet").metadata.num_row_groups >= len(plan(db, 3000))
    run_cli(db, tmp_path / "m.csv", monkeypatch, capsys, 997, horizon=2)
    assert (tmp_path / "m.csv").read_text() == build_features(db, 2).to_csv(index=False)


def test_plan_never_splits_an_entity(sample_dbs):
    db = sample_dbs["diag"]
    parts = plan(db, 100)
    con = duckdb.connect(str(db), read_only=True)
    try:
        seen = []
        for part in parts:
            ids = {r[0] for r in con.sql(f"SELECT entity_id FROM fact_periodic fp WHERE {part.facts}").fetchall()}
            rows = con.sql(f"SELECT count(*) FROM fact_periodic fp WHERE {part.facts}").fetchall()[0][0]
            assert ids and rows <= 100 + 24  # a run of rows, plus the rest of its last entity (24 periods)
            seen.append(ids)
        every = {r[0] for r in con.sql("SELECT DISTINCT entity_id FROM fact_periodic").fetchall()}
    finally:
        con.close()
    assert sum(map(len, seen)) == len(every) and set().union(*seen) == every
    assert plan(db, 10**9) == []  # small enough for one build


def _odd_keys_db(folder, entity_type):
    """Integer or case-collated text ids, missing ids, and diagnostic keys of other types."""
    folder.mkdir()
    rng = np.random.default_rng(2)
    ids = [3, -4, 10, 27, 5, 120, 77, 8, 9, 41, 2, 6] * 2
    rows = []
    for k, e in enumerate(ids[:12]):
        for donem in range(1, 2 + k % 5):
            key = e if entity_type == "INTEGER" else ("ab", "AB", "Ab", "b", "B", "a", "é", "Z", "z", "aB", "c", "C")[k]
            rows.append((key, donem, str(int(rng.integers(300, 999))) if rng.random() > .2 else "YI",
                         float(rng.integers(1, 10**6)), int(rng.random() < .3)))
    rows += [(None, 1, "600", 5.0, 1), (None, 2, "YI", 6.0, 0), (None, 1, "700", 7.0, 1)]
    facts = pd.DataFrame(rows, columns=["entity_id", "donem", "qvr_skor", "kombine_risk", "ykn_izl_flag"])
    kind = "INTEGER" if entity_type == "INTEGER" else "VARCHAR COLLATE NOCASE"
    con = duckdb.connect(str(folder / "facts.duckdb"))
    try:
        con.register("f", facts)
        con.execute(f"""CREATE TABLE fact_periodic (entity_id {kind}, donem INTEGER, qvr_skor VARCHAR,
            qvr_kaynak VARCHAR, kombine_risk DOUBLE, risk_degisim DOUBLE, ykn_izl_flag INTEGER)""")
        con.execute("""INSERT INTO fact_periodic SELECT entity_id, donem, qvr_skor, 'QVR', kombine_risk,
            NULL, ykn_izl_flag FROM f""")
        con.execute(f"CREATE TABLE dim_entity (entity_id {kind}, segment VARCHAR, bolge_kodu VARCHAR)")
        con.execute("""INSERT INTO dim_entity SELECT DISTINCT entity_id, 'KOBI', '07' FROM f
            WHERE entity_id IS NOT NULL""")
    finally:
        con.close()
    keys = sorted({r[0] for r in rows if r[0] is not None}, key=str)
    # Text keys that match ("27"), others that look alike but do not ("027", "27.0").
    diag_ids = [str(k) for k in keys] + (["027", "27.0", "+8"] if entity_type == "INTEGER" else ["AB ", "ab"])
    (folder / "cache").mkdir()
    pq.write_table(pa.table({"entity_id": diag_ids, "donem": ["1"] * len(diag_ids),
                             "diag_kik_bulgu": np.arange(1, len(diag_ids) + 1)}),
                   folder / "cache" / "diag_features.parquet")
    return folder / "facts.duckdb"


@pytest.mark.parametrize("entity_type", ["INTEGER", "VARCHAR"])
def test_odd_keys_keep_order_and_diagnostic_matches(entity_type, tmp_path, monkeypatch, capsys):
    db = _odd_keys_db(tmp_path / "db", entity_type)
    expected, lines = whole(db, capsys)
    assert expected["entity_id"].isna().sum() == 3
    for rows in (1, 5, 9):
        assert len(plan(db, rows)) > 2
        printed = run_cli(db, tmp_path / "m.parquet", monkeypatch, capsys, rows)
        assert printed.startswith(lines)
        pd.testing.assert_frame_equal(pd.read_parquet(tmp_path / "m.parquet"), expected)


def test_failure_in_a_later_partition_keeps_the_old_file(tmp_path, monkeypatch, capsys):
    db = write_sample_db(tmp_path / "facts.duckdb", n_entities=200, seed=1)
    diag = tmp_path / "cache" / "diag_features.parquet"
    table = pq.read_table(diag)
    last = table.column("entity_id").to_pylist().index(max(table.column("entity_id").to_pylist()))
    bad = pa.array([("x" if i == last else "1") for i in range(table.num_rows)])
    pq.write_table(table.set_column(table.schema.get_field_index("diag_kik_bulgu"), "diag_kik_bulgu", bad), diag)
    out = tmp_path / "m.parquet"
    out.write_bytes(b"old matrix")
    monkeypatch.setenv(ROWS_VARIABLE, "300")
    assert len(plan(db)) > 2
    assert main(["features", str(db), "-o", str(out)]) == 2
    assert out.read_bytes() == b"old matrix"
    assert sorted(os.listdir(tmp_path)) == ["cache", "facts.duckdb", "m.parquet"]
    monkeypatch.setenv(ROWS_VARIABLE, "0")
    assert main(["features", str(db), "-o", str(out)]) == 2
    assert "HALVEX_PARTITION_ROWS must be a positive whole number" in capsys.readouterr().err
