"""build_features on the generated sample database: agreement with the pandas yardstick,
thread-count independence, and the command line."""

from __future__ import annotations

import importlib.util
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from halvex.cli import main
from halvex.ml.features import build_features
from halvex.sample.facts_db import run_features_demo, write_sample_db

ROOT = Path(__file__).resolve().parents[2]


def _pandas_yardstick():
    spec = importlib.util.spec_from_file_location("features_pandas", ROOT / "benchmarks" / "features_pandas.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def _polars_peer():
    """benchmarks/features_polars.py, which imports features_pandas by name as the benchmark does."""
    pytest.importorskip("polars")
    sys.modules.setdefault("features_pandas", _pandas_yardstick())
    spec = importlib.util.spec_from_file_location("features_polars", ROOT / "benchmarks" / "features_polars.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def sample_db(tmp_path_factory):
    return write_sample_db(tmp_path_factory.mktemp("sample") / "facts.duckdb", n_entities=600, seed=3)


def assert_same_matrix(a: pd.DataFrame, b: pd.DataFrame):
    assert list(a.columns) == list(b.columns) and len(a) == len(b)
    for name in a.columns:
        x, y = a[name], b[name]
        if name == "qvr_std_3":  # the yardstick's rolling std carries rounding residue
            np.testing.assert_allclose(x, y, rtol=1e-9, atol=1e-5)
        elif name in ("entity_id", "donem"):
            assert x.astype(str).tolist() == y.astype(str).tolist(), name
        else:
            pd.testing.assert_series_equal(x, y, check_dtype=False, check_names=False, obj=name)


@pytest.mark.parametrize("horizon", [3, 1, 6])
def test_matches_pandas_yardstick(sample_db, horizon, capsys):
    ours = build_features(sample_db, horizon)
    ours_out = capsys.readouterr().out
    theirs = _pandas_yardstick().build_features_pandas(sample_db, horizon)
    assert capsys.readouterr().out == ours_out
    assert_same_matrix(ours, theirs)
    assert ours["label"].notna().any() and (ours["label"] == 1).any()


def test_without_diag_file(tmp_path, capsys):
    db = write_sample_db(tmp_path / "facts.duckdb", n_entities=300, seed=5, with_diag=False)
    ours = build_features(db)
    assert ours["donem"].dtype == np.int32
    assert (ours["diag_en_agir_katman_kod"] == -1).all()
    assert_same_matrix(ours, _pandas_yardstick().build_features_pandas(db))
    assert "yok" in capsys.readouterr().out


def test_thread_count_does_not_change_the_result(tmp_path):
    db = write_sample_db(tmp_path / "facts.duckdb", n_entities=40000, n_periods=12, seed=9)
    code = ("import sys, pandas as pd; from halvex.ml.features import build_features; "
            "build_features(sys.argv[1]).to_parquet(sys.argv[2])")
    frames = []
    for threads in ("1", "2", "3"):
        out = tmp_path / f"t{threads}.parquet"
        env = {**__import__("os").environ, "HALVEX_THREADS": threads}
        subprocess.run([sys.executable, "-c", code, str(db), str(out)], check=True, env=env,
                       capture_output=True)
        frames.append(pd.read_parquet(out))
    pd.testing.assert_frame_equal(frames[0], frames[1])
    pd.testing.assert_frame_equal(frames[0], frames[2])


def test_command_line(sample_db, tmp_path, capsys):
    out = tmp_path / "m" / "features.csv"
    assert main(["features", str(sample_db), "--horizon", "2", "-o", str(out)]) == 0
    printed = capsys.readouterr().out
    assert "  Features: " in printed and "  Written: " in printed
    written = pd.read_csv(out)
    assert written.shape[1] == 42 and len(written) == len(build_features(sample_db, 2))
    assert main(["features", str(sample_db), "-o", str(tmp_path / "x.txt")]) == 2
    assert main(["features", str(tmp_path / "missing.duckdb")]) == 2
    assert not (tmp_path / "missing.duckdb").exists()


def test_demo_writes_database_and_matrix(tmp_path, capsys):
    frame = run_features_demo(tmp_path, n_entities=200)
    assert (tmp_path / "facts.duckdb").exists()
    assert (tmp_path / "cache" / "diag_features.parquet").exists()
    assert pd.read_parquet(tmp_path / "features.parquet").shape == frame.shape
    printed = capsys.readouterr().out
    assert "  [DIAG] " in printed and "  Labeled: " in printed


@pytest.mark.parametrize("order", ["sorted", "shuffled"])
def test_diag_edge_cases_match_pandas_yardstick(tmp_path, order, capsys):
    """A diagnostic file with duplicate keys, missing keys and keys the facts lack gives the
    yardstick's matrix, whether its rows come sorted (merge) or not (hash join)."""
    db, extra = _write_diag_edge_cases(tmp_path, order)
    ours = build_features(db)
    ours_out = capsys.readouterr().out
    theirs = _pandas_yardstick().build_features_pandas(db)
    assert capsys.readouterr().out == ours_out
    import duckdb
    with duckdb.connect(str(db), read_only=True) as con:
        facts = con.sql("SELECT count(*) FROM fact_periodic").fetchall()[0][0]
    assert len(ours) == facts + extra  # each duplicate doubled its fact row
    assert_same_matrix(ours, theirs)


def _write_diag_edge_cases(tmp_path, order):
    """A sample database whose diagnostic file has duplicate keys (with their own values),
    missing keys and keys the facts lack; returns it and the number of duplicates."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    db = write_sample_db(tmp_path / "facts.duckdb", n_entities=400, seed=11)
    path = tmp_path / "cache" / "diag_features.parquet"
    diag = pq.read_table(path).to_pandas()
    extra = diag.iloc[::17].copy()  # duplicate keys, with their own values
    extra["diag_kik_bulgu"] += 100
    ghosts = diag.iloc[:5].copy()
    ghosts["entity_id"] = "ZZ_only_in_file"
    nulls = diag.iloc[5:9].copy()
    nulls.loc[nulls.index[:2], "entity_id"] = None
    nulls.loc[nulls.index[2:], "donem"] = None
    diag = pd.concat([diag, extra, ghosts, nulls], ignore_index=True)
    if order == "sorted":
        diag = diag.sort_values(["entity_id", "donem"], kind="stable", na_position="last")
    else:
        diag = diag.sample(frac=1.0, random_state=4)
    pq.write_table(pa.Table.from_pandas(diag, preserve_index=False), path)
    return db, len(extra)


@pytest.mark.parametrize("windows", [True, False], ids=["window expressions", "sorted shifts"])
@pytest.mark.parametrize("case", ["sample", "horizon 1", "horizon 0", "no diag file", "diag edge cases"])
def test_polars_peer_matches_builder(sample_db, tmp_path, case, windows, capsys):
    """Both forms of the benchmark's Polars peer compute the builder's matrix and lines, so
    that timing them compares like with like."""
    peer = _polars_peer()
    horizon = {"horizon 1": 1, "horizon 0": 0}.get(case, 3)
    db = sample_db
    if case == "no diag file":
        db = write_sample_db(tmp_path / "facts.duckdb", n_entities=300, seed=5, with_diag=False)
    elif case == "diag edge cases":
        db, _ = _write_diag_edge_cases(tmp_path, "shuffled")
    ours = build_features(db, horizon)
    ours_out = capsys.readouterr().out
    theirs = peer.build_features_polars(db, horizon, windows=windows)
    assert capsys.readouterr().out == ours_out
    assert_same_matrix(ours, theirs.to_pandas())
