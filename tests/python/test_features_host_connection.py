"""build_features while the host process holds its own DuckDB connection to the facts file."""

from __future__ import annotations

import duckdb
import pandas as pd
import pytest

from halvex.ml import partitions
from halvex.ml.features import build_features
from halvex.sample.facts_db import write_sample_db


@pytest.fixture(scope="module")
def facts(tmp_path_factory):
    db = write_sample_db(tmp_path_factory.mktemp("host") / "facts.duckdb", n_entities=120, n_periods=8)
    return str(db)


@pytest.fixture(scope="module")
def expected(facts):
    return build_features(facts)


_SETTINGS = ("enable_external_access", "autoload_known_extensions", "autoinstall_known_extensions")


def _settings(con) -> tuple:
    return con.sql("SELECT " + ", ".join(f"current_setting('{s}')" for s in _SETTINGS)).fetchall()[0]


@pytest.mark.parametrize("config", [{}, {"enable_external_access": False}, {"threads": 1}],
                         ids=["default", "no-external-access", "threads"])
def test_read_only_host_connection(facts, expected, config, capsys, monkeypatch):
    host = duckdb.connect(facts, read_only=True, config=config)
    try:
        before = _settings(host)
        pd.testing.assert_frame_equal(build_features(facts), expected)
        # The partitioned build plans its ranges through the same kind of connection.
        monkeypatch.setenv(partitions.ROWS_VARIABLE, "200")
        assert len(partitions.plan(facts)) > 1
        # The host's connection is still open, and its settings are its own.
        assert host.sql("SELECT count(*) FROM fact_periodic").fetchall()[0][0] > 0
        assert _settings(host) == before
    finally:
        host.close()


def test_read_write_host_connection_is_refused_clearly(facts, expected, capsys):
    host = duckdb.connect(facts, read_only=False)
    try:
        with pytest.raises(duckdb.ConnectionException) as caught:
            build_features(facts)
        said = str(caught.value)
        assert facts in said and "read_only=True" in said and "close" in said
        assert host.sql("SELECT count(*) FROM fact_periodic").fetchall()[0][0] > 0
    finally:
        host.close()
    # Once the host lets go, the build runs as usual.
    pd.testing.assert_frame_equal(build_features(facts), expected)


def test_beside_a_host_no_extension_or_remote_access(facts):
    from halvex.ml._sources import connect_facts

    host = duckdb.connect(facts, read_only=True)
    try:
        con = connect_facts(facts)
        try:
            assert _settings(con) == (False, False, False)
            with pytest.raises(duckdb.Error):
                con.sql("SELECT * FROM read_csv('/etc/hostname')").fetchall()
        finally:
            con.close()
    finally:
        host.close()
