"""build_features on small hand-made DuckDB files: the feature rules, row by row."""

from __future__ import annotations

import math
import os
import sqlite3
import stat
import subprocess
import sys
from pathlib import Path

import duckdb
import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from halvex.ml.features import DIAG_FEATURE_COLS, FEATURE_COLS, FEATURE_LABELS, build_features

NAN = float("nan")


def make_db(folder: Path, facts, entities=(), *, types=None, name="facts.duckdb") -> Path:
    """A DuckDB file with fact_periodic and dim_entity. ``facts`` rows are
    (entity_id, donem, qvr_skor, kombine_risk, ykn_izl_flag); ``entities`` rows are
    (entity_id, segment, bolge_kodu)."""
    t = {"donem": "INTEGER", "qvr_skor": "VARCHAR", "kombine_risk": "DOUBLE",
         "ykn_izl_flag": "INTEGER", "segment": "VARCHAR", "bolge_kodu": "VARCHAR"}
    t.update(types or {})
    path = folder / name
    con = duckdb.connect(str(path))
    con.execute(f"""CREATE TABLE fact_periodic (entity_id VARCHAR, donem {t['donem']},
        qvr_skor {t['qvr_skor']}, qvr_kaynak VARCHAR, kombine_risk {t['kombine_risk']},
        risk_degisim DOUBLE, ykn_izl_flag {t['ykn_izl_flag']})""")
    con.execute(f"CREATE TABLE dim_entity (entity_id VARCHAR, segment {t['segment']}, "
                f"bolge_kodu {t['bolge_kodu']})")
    for e, d, s, r, f in facts:
        con.execute("INSERT INTO fact_periodic VALUES (?, ?, ?, 'QVR', ?, NULL, ?)", [e, d, s, r, f])
    for row in entities:
        con.execute("INSERT INTO dim_entity VALUES (?, ?, ?)", list(row))
    con.close()
    return path


def series(facts, **kw):
    """One entity, periods 1..n, the given scores; other columns plain."""
    return [("E1", i + 1, s, kw.get("risk", [100.0] * len(facts))[i],
             kw.get("flag", [0] * len(facts))[i]) for i, s in enumerate(facts)]


def col(df, name):
    return [None if isinstance(v, float) and math.isnan(v) else v for v in df[name].tolist()]


def test_constants():
    assert len(DIAG_FEATURE_COLS) == 13 and len(FEATURE_COLS) == 39
    assert FEATURE_COLS[0] == "qvr_score" and FEATURE_COLS[-1] == "diag_en_agir_katman_kod"
    assert FEATURE_COLS[26:] == DIAG_FEATURE_COLS
    assert list(FEATURE_LABELS) == FEATURE_COLS
    assert FEATURE_LABELS["seg_KOBI"] == "Segment: KOBİ"
    assert FEATURE_LABELS["diag_ilk_bulgu_uzaklik"] == "İlk bulguden bu yana dönem sayısı"
    assert FEATURE_LABELS["risk_delta_pct"] == "Risk değişimi (%)"


def test_output_layout_and_types(tmp_path, capsys):
    db = make_db(tmp_path, series(["500", "600"]), [("E1", "KOBI", "34")])
    df = build_features(db)
    assert list(df.columns) == ["entity_id", "donem"] + FEATURE_COLS + ["label"]
    ints = {"qvr_consec_rise", "qvr_above_825_count", "qvr_above_500_count", "qvr_band",
            "yi_flag_current", "yi_flag_prev", "yi_flag_count_4", "was_yi_prev", "seg_ESKK",
            "seg_KOBI", "seg_KUR_TIC", "seg_MIKRO", "bolge_kodu", *DIAG_FEATURE_COLS}
    for name in FEATURE_COLS + ["label"]:
        assert df[name].dtype == (np.int64 if name in ints else np.float64), name
    assert df["donem"].dtype == np.int32  # INTEGER as loaded, no diagnostic file
    assert col(df, "diag_en_agir_katman_kod") == [-1, -1] and col(df, "diag_kik_bulgu") == [0, 0]
    assert capsys.readouterr().out == (
        "  [DIAG] diag_features.parquet yok, tüm diag feature'lar 0\n"
        "  Features: 2 rows, 1 entities, 2 periods\n"
        "  Labeled: 1 rows (YI=0, non-YI=1)\n")


def test_score_normalisation_and_band(tmp_path):
    scores = ["YI", "725", "abc", None, "yi", "YI ", "500", "824.9", "825", "999.9", "1000"]
    df = build_features(make_db(tmp_path, series(scores)))
    assert col(df, "qvr_score") == [1000.0, 725.0, None, None, None, None, 500.0, 824.9, 825.0,
                                    999.9, 1000.0]
    assert col(df, "qvr_band") == [3, 1, -1, -1, -1, -1, 1, 1, 2, 2, 3]


def test_rows_sorted_by_entity_then_period(tmp_path):
    facts = [("B", 2, "1", 0, 0), ("B", 1, "2", 0, 0), ("A", 3, "3", 0, 0), ("A", 1, "4", 0, 0)]
    df = build_features(make_db(tmp_path, facts))
    assert col(df, "entity_id") == ["A", "A", "B", "B"]
    assert col(df, "donem") == [1, 3, 1, 2]
    assert col(df, "qvr_score") == [4.0, 3.0, 2.0, 1.0]


def test_score_history(tmp_path):
    df = build_features(make_db(tmp_path, series(["500", "600", "700"])))
    last = df.iloc[2]
    assert last.qvr_std_3 == pytest.approx(81.6496580927726, abs=1e-12)
    assert (last.qvr_mean_3, last.qvr_max_3, last.qvr_delta_1, last.qvr_consec_rise) == (600, 700, 100, 2)
    first = df.iloc[0]
    assert math.isnan(first.qvr_lag_1) and math.isnan(first.qvr_delta_1) and math.isnan(first.qvr_delta_3)
    assert (first.qvr_max_3, first.qvr_mean_3, first.qvr_std_3, first.qvr_consec_rise) == (500, 500, 0, 0)


def test_window_skips_missing_and_equal_values_have_zero_spread(tmp_path):
    df = build_features(make_db(tmp_path, series(["900", None, "700", "0.1", "0.1", "0.1"])))
    third = df.iloc[2]
    assert (third.qvr_max_3, third.qvr_mean_3, third.qvr_std_3) == (900, 800, 100)
    assert math.isnan(third.qvr_lag_1) and math.isnan(third.qvr_delta_1) and third.qvr_consec_rise == 0
    assert df.iloc[5].qvr_std_3 == 0.0  # exactly, not a rounding residue
    # A window with no score at all: max and mean missing, spread 0.
    df = build_features(make_db(tmp_path, series([None, "abc"]), name="b.duckdb"))
    assert col(df, "qvr_max_3") == [None, None] and col(df, "qvr_std_3") == [0.0, 0.0]


def test_rise_streak_and_threshold_counts(tmp_path):
    df = build_features(make_db(tmp_path, series(["400", "450", "500", "480", "600", "600"])))
    assert col(df, "qvr_consec_rise") == [0, 1, 2, 0, 1, 0]
    df = build_features(make_db(tmp_path, series(["900", "900", "900", "900", "400"]), name="b.duckdb"))
    assert col(df, "qvr_above_825_count") == [1, 2, 3, 4, 3]
    assert col(df, "qvr_above_500_count") == [1, 2, 3, 4, 3]
    df = build_features(make_db(tmp_path, series(["YI", None, "abc"]), name="c.duckdb"))
    assert col(df, "qvr_above_825_count") == [1, 1, 1]


def test_risk_movement(tmp_path):
    def risks(values, name):
        df = build_features(make_db(tmp_path, series(["1"] * len(values), risk=values), name=name))
        return df.iloc[-1]
    r = risks([200.0, None], "a.duckdb")
    assert (r.risk_current, r.risk_delta_1, r.risk_delta_pct, r.risk_mio) == (0.0, -200.0, -1.0, 0.0)
    r = risks([None, 300.0], "b.duckdb")
    assert (r.risk_delta_1, r.risk_delta_pct) == (0.0, 0.0)
    r = risks([0.0, 300.0], "c.duckdb")
    assert (r.risk_delta_1, r.risk_delta_pct) == (300.0, 0.0)
    r = risks([200.0, 250.0], "d.duckdb")
    assert (r.risk_delta_pct, r.risk_mio) == (0.25, 0.00025)
    r = risks([5.0], "e.duckdb")
    assert (r.risk_delta_1, r.risk_delta_pct) == (0.0, 0.0)


def test_entities_never_share_history(tmp_path):
    facts = [("A", 1, "900", 100.0, 1), ("A", 2, "950", 200.0, 1), ("B", 1, "100", 300.0, 0),
             ("B", 2, "YI", 300.0, 0)]
    df = build_features(make_db(tmp_path, facts))
    b = df.iloc[2]
    assert math.isnan(b.qvr_lag_1) and b.qvr_consec_rise == 0 and b.qvr_above_825_count == 0
    assert (b.risk_delta_1, b.yi_flag_prev, b.yi_flag_count_4, b.was_yi_prev) == (0.0, 0, 0, 0)
    assert math.isnan(df.iloc[1].label)  # A's last row does not see B's "YI"


@pytest.mark.parametrize("flag_type,values,expected", [
    ("VARCHAR", ["1", "1.0", "Y", None, "2", " 1"], [1, 1, 0, 0, 0, 0]),
    ("DOUBLE", [1.0, 0.0, 2.0, None], [1, 0, 0, 0]),
    ("INTEGER", [1, 0, 2, None], [1, 0, 0, 0]),
    ("DECIMAL(5,2)", [1, 0], [1, 0]),
])
def test_close_monitoring_flag_spellings(tmp_path, flag_type, values, expected):
    facts = [(f"E{i}", 1, "1", 0.0, v) for i, v in enumerate(values)]
    df = build_features(make_db(tmp_path, facts, types={"ykn_izl_flag": flag_type}))
    assert col(df, "yi_flag_current") == expected


def test_flag_history(tmp_path):
    df = build_features(make_db(tmp_path, series(["1"] * 5, flag=[1, 1, 0, 1, 1])))
    assert col(df, "yi_flag_prev") == [0, 1, 1, 0, 1]
    assert col(df, "yi_flag_count_4") == [1, 2, 2, 3, 3]
    df = build_features(make_db(tmp_path, series(["YI", "500", "YI"]), name="b.duckdb"))
    assert col(df, "was_yi_prev") == [0, 1, 0]


def test_segments_and_region_codes(tmp_path):
    ents = [("A", "KUR-TIC", "34"), ("B", "KUR_TIC", "07"), ("C", "KOBİ", "7.9"),
            ("D", "kobi", "X1"), ("E", "ESKK", None), ("F", "MIKRO", "-3.7"), ("G", "None", "1e30")]
    facts = [(e, 1, "1", 0.0, 0) for e in "ABCDEFGH"]  # H has no dim_entity row
    df = build_features(make_db(tmp_path, facts, ents))
    assert col(df, "seg_KUR_TIC") == [1, 0, 0, 0, 0, 0, 0, 0]
    assert col(df, "seg_KOBI") == [0] * 8
    assert col(df, "seg_ESKK") == [0, 0, 0, 0, 1, 0, 0, 0]
    assert col(df, "seg_MIKRO") == [0, 0, 0, 0, 0, 1, 0, 0]
    assert col(df, "bolge_kodu") == [34, 7, 7, 0, 0, -3, 0, 0]


def test_numeric_region_code_column(tmp_path):
    df = build_features(make_db(tmp_path, [("A", 1, "1", 0.0, 0), ("B", 1, "1", 0.0, 0)],
                                [("A", "KOBI", 34)], types={"bolge_kodu": "INTEGER"}))
    assert col(df, "bolge_kodu") == [34, 0]


@pytest.mark.parametrize("horizon,expected", [
    (3, [1.0, 1.0, 0.0, None]),
    (1, [0.0, 1.0, 0.0, None]),
    (2.9, [1.0, 1.0, 0.0, None]),
    (0, [None] * 4),
    (-2, [None] * 4),
    (10**30, [1.0, 1.0, 0.0, None]),
])
def test_label_horizon(tmp_path, horizon, expected):
    df = build_features(make_db(tmp_path, series(["500", "600", "YI", "700"])), horizon)
    assert col(df, "label") == expected


def test_label_needs_a_scored_row_ahead(tmp_path, capsys):
    df = build_features(make_db(tmp_path, series(["500", None, None, None])))
    assert col(df, "label") == [None] * 4
    assert capsys.readouterr().out.endswith("  Labeled: 0 rows (YI=0, non-YI=0)\n")
    # An empty text is a present score; junk text too.
    df = build_features(make_db(tmp_path, series(["500", "", "abc"]), name="b.duckdb"))
    assert col(df, "label") == [0.0, 0.0, None]


def test_empty_fact_table(tmp_path, capsys):
    df = build_features(make_db(tmp_path, []))
    assert isinstance(df, pd.DataFrame) and df.shape == (0, 0)
    assert capsys.readouterr().out == ""


def write_diag(folder: Path, table: pa.Table) -> None:
    (folder / "cache").mkdir(exist_ok=True)
    pq.write_table(table, folder / "cache" / "diag_features.parquet")


def test_diagnostic_merge(tmp_path, capsys):
    facts = [("A", 7, "1", 0.0, 0), ("A", 8, "1", 0.0, 0), ("B", 7, "1", 0.0, 0)]
    db = make_db(tmp_path, facts)
    write_diag(tmp_path, pa.table({
        "entity_id": ["A", "A", "B", "B", "Z"],
        "donem": ["7", "8", "7", "7", "1"],  # B/7 twice: that row is doubled
        "diag_bulgu_sayisi": [2.7, None, 1.0, 3.0, 9.0],
        "diag_en_agir_katman_kod": pa.array([None, 2, 1, 0, 5], pa.int64()),
        "label": [9, 9, 9, 9, 9],  # never reaches the output
    }))
    capsys.readouterr()
    df = build_features(str(db))
    assert col(df, "entity_id") == ["A", "A", "B", "B"]
    assert col(df, "donem") == ["7", "8", "7", "7"]
    assert col(df, "diag_bulgu_sayisi") == [2, 0, 1, 3]
    assert col(df, "diag_en_agir_katman_kod") == [-1, 2, 1, 0]
    assert col(df, "diag_kik_bulgu") == [0, 0, 0, 0]
    assert list(df.columns) == ["entity_id", "donem"] + FEATURE_COLS + ["label"]
    assert df["diag_bulgu_sayisi"].dtype == np.int64
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "  [DIAG] 5 diag feature satırı merge edildi"
    assert out[1] == "  Features: 4 rows, 2 entities, 2 periods"


def test_diagnostic_keys_match_in_text_form(tmp_path):
    db = make_db(tmp_path, [("A", 7, "1", 0.0, 0), ("B", 7, "1", 0.0, 0)])
    write_diag(tmp_path, pa.table({"entity_id": ["A", "B"], "donem": [7.0, 7.0],
                                   "diag_kik_bulgu": [5, 5]}))
    assert col(build_features(db), "diag_kik_bulgu") == [0, 0]  # "7.0" is not "7"
    write_diag(tmp_path, pa.table({"entity_id": ["A"], "donem": pa.array([7], pa.int16()),
                                   "diag_kik_bulgu": [5]}))
    assert col(build_features(db), "diag_kik_bulgu") == [5, 0]


def test_fact_loading_types(tmp_path):
    """DECIMAL and text risks, integer scores, text periods all load."""
    facts = [("A", "2024-01", 500, "1.5", 1), ("A", "2024-02", 700, " 2e3 ", 0)]
    db = make_db(tmp_path, facts, types={"donem": "VARCHAR", "qvr_skor": "INTEGER",
                                         "kombine_risk": "VARCHAR"})
    df = build_features(db)
    assert col(df, "qvr_score") == [500.0, 700.0] and col(df, "risk_current") == [1.5, 2000.0]
    assert col(df, "donem") == ["2024-01", "2024-02"]
    db = make_db(tmp_path, facts[:1], types={"kombine_risk": "DECIMAL(18,3)", "donem": "VARCHAR"},
                 name="dec.duckdb")
    assert col(build_features(db), "risk_current") == [1.5]


class TestBadInput:
    def test_missing_database_is_not_created(self, tmp_path):
        target = tmp_path / "nope.duckdb"
        with pytest.raises(duckdb.Error):
            build_features(target)
        assert not target.exists()

    def test_missing_table_or_column(self, tmp_path):
        path = tmp_path / "x.duckdb"
        con = duckdb.connect(str(path))
        con.execute("CREATE TABLE fact_periodic (entity_id VARCHAR, donem INTEGER)")
        con.close()
        with pytest.raises(duckdb.Error):
            build_features(path)
        con = duckdb.connect(str(path))
        con.execute("DROP TABLE fact_periodic")
        con.close()
        with pytest.raises(duckdb.Error):
            build_features(path)

    def test_non_numeric_risk(self, tmp_path):
        db = make_db(tmp_path, [("A", 1, "1", "12x", 0)], types={"kombine_risk": "VARCHAR"})
        with pytest.raises(ValueError, match="kombine_risk"):
            build_features(db)

    def test_unreadable_or_keyless_diag_file(self, tmp_path):
        db = make_db(tmp_path, series(["1"]))
        (tmp_path / "cache").mkdir()
        (tmp_path / "cache" / "diag_features.parquet").write_bytes(b"not parquet at all")
        with pytest.raises(duckdb.Error, match="diag_features.parquet"):
            build_features(db)
        write_diag(tmp_path, pa.table({"entity_id": ["E1"], "diag_kik_bulgu": [1]}))
        with pytest.raises(KeyError, match="donem"):
            build_features(db)
        write_diag(tmp_path, pa.table({"entity_id": ["E1"], "donem": ["1"], "diag_kik_bulgu": ["x"]}))
        with pytest.raises(ValueError, match="diag_kik_bulgu"):
            build_features(db)

    def test_first_unreadable_diag_column_is_named(self, tmp_path):
        """Two diagnostic columns hold text that is no number, the later column in an early
        row: the error names the earlier column, whichever rows are gathered first."""
        db = make_db(tmp_path, [])
        con = duckdb.connect(str(db))
        con.execute("INSERT INTO fact_periodic SELECT 'E' || lpad(i::VARCHAR, 5, '0'), 1, '500', "
                    "'QVR', 1.0, NULL, 0 FROM range(6000) t(i)")
        con.close()
        n = 6000
        write_diag(tmp_path, pa.table({
            "entity_id": [f"E{i:05d}" for i in range(n)], "donem": ["1"] * n,
            "diag_bulgu_sayisi": ["1"] * (n - 1) + ["many"],
            "diag_kik_bulgu": ["none"] + ["2"] * (n - 1),
        }))
        with pytest.raises(ValueError, match="^diag_bulgu_sayisi: invalid literal for integer: 'many'$"):
            build_features(db)

    def test_database_file_unchanged(self, tmp_path):
        db = make_db(tmp_path, series(["1", "2"]))
        before = (db.read_bytes(), db.stat().st_mtime_ns)
        db.chmod(stat.S_IRUSR)  # read-only works too
        build_features(db)
        assert (db.read_bytes(), db.stat().st_mtime_ns) == before
        assert sorted(os.listdir(tmp_path)) == ["facts.duckdb"]


class TestArguments:
    @pytest.mark.parametrize("args,kwargs,message", [
        ((), {}, "build_features() takes at least 1 positional argument (0 given)"),
        ((), {"target_horizon": 2}, "build_features() takes at least 1 positional argument (0 given)"),
        (("a", 1, 2), {}, "build_features() takes at most 2 positional arguments (3 given)"),
        (("a",), {"foo": 1}, "build_features() got an unexpected keyword argument 'foo'"),
        (("a",), {"db_path": "b"}, "build_features() got multiple values for keyword argument 'db_path'"),
        (("a", 1), {"target_horizon": 2},
         "build_features() got multiple values for keyword argument 'target_horizon'"),
        (("a", "3"), {}, "Argument 'target_horizon' has incorrect type (expected int, got str)"),
        (("a", None), {}, "Argument 'target_horizon' has incorrect type (expected int, got NoneType)"),
    ])
    def test_binding_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            build_features(*args, **kwargs)
        assert str(info.value) == message

    def test_path_forms_and_keywords(self, tmp_path):
        db = make_db(tmp_path, series(["500", "YI"]))
        a = build_features(str(db), 1)
        b = build_features(db_path=Path(db), target_horizon=np.int64(1))
        pd.testing.assert_frame_equal(a, b)
        assert build_features.__doc__.startswith("build_features(db_path, target_horizon=3)") or \
            "Build feature matrix from fact_periodic (vectorized)." in build_features.__doc__


_OFFLINE_PROBE = """
import sys, time, duckdb
from halvex.ml.features import build_features
start = time.monotonic()
try:
    build_features(sys.argv[1])
except duckdb.Error as e:
    print(f"{time.monotonic() - start:.3f}")
    print(e)
else:
    print("no error")
"""


class TestNoNetwork:
    """Paths DuckDB would serve through extensions (downloaded on first use) fail at once,
    and nothing is installed. Each call runs in a child process whose home folder (where
    DuckDB keeps extensions) is empty and whose proxies point at a closed local port; the
    URLs themselves name the local machine."""

    @pytest.fixture
    def probe(self, tmp_path):
        home = tmp_path / "home"
        home.mkdir()
        env = dict(os.environ, HOME=str(home))
        for proxy in ("http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"):
            env[proxy] = "http://127.0.0.1:9"

        def run(path):
            out = subprocess.run([sys.executable, "-c", _OFFLINE_PROBE, str(path)], env=env,
                                 capture_output=True, text=True, timeout=60)
            lines = out.stdout.splitlines()
            assert lines and lines[0] != "no error", out.stdout + out.stderr
            assert os.listdir(home) == [], "DuckDB tried to install an extension"
            return float(lines[0]), "\n".join(lines[1:])
        return run

    def test_sqlite_file(self, tmp_path, probe):
        path = tmp_path / "facts.sqlite"
        con = sqlite3.connect(path)
        con.execute("CREATE TABLE fact_periodic (entity_id TEXT)")
        con.commit()
        con.close()
        seconds, message = probe(path)
        assert seconds < 10 and str(path) in message and "installs or loads none" in message

    @pytest.mark.parametrize("path", ["s3://bucket/facts.duckdb", "http://127.0.0.1:9/facts.duckdb",
                                      "https://127.0.0.1:9/facts.duckdb", "md:facts"])
    def test_remote_paths(self, path, probe):
        seconds, message = probe(path)
        assert seconds < 10 and path in message and "installs or loads none" in message

    def test_local_files_still_open(self, tmp_path):
        db = make_db(tmp_path, series(["500", "YI"]))
        pd.testing.assert_frame_equal(build_features(bytes(db)), build_features(str(db)))


@pytest.mark.parametrize("path", ["facts\0.duckdb", b"facts\0.duckdb"])
def test_embedded_nul_in_path(tmp_path, path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match="^embedded null byte$"):
        build_features(path)
    assert os.listdir(tmp_path) == []
