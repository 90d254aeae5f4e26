"""A diagnostic file whose keys repeat multiplies the matrix: a build that would not fit in
the memory left fails at once, with the rows it would make, instead of being killed."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import duckdb
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from halvex.cli import main

# AddressSanitizer reserves terabytes of address space for its shadow memory, so a process
# under it cannot be given an address-space limit.
needs_address_limit = pytest.mark.skipif(bool(os.environ.get("HALVEX_SANITIZE_RUN")),
                                         reason="no address-space limit under AddressSanitizer")


def repeated_key_db(folder, facts: int, diag: int):
    """`facts` fact rows and `diag` diagnostic rows, all of entity A in period 1: the merge
    makes facts * diag rows."""
    path = folder / "facts.duckdb"
    con = duckdb.connect(str(path))
    con.execute("CREATE TABLE fact_periodic AS SELECT 'A' AS entity_id, 1 AS donem, '600' AS qvr_skor, "
                "'' AS qvr_kaynak, 1.0 AS kombine_risk, NULL AS risk_degisim, 0 AS ykn_izl_flag "
                f"FROM range({facts})")
    con.execute("CREATE TABLE dim_entity (entity_id VARCHAR, segment VARCHAR, bolge_kodu VARCHAR)")
    con.close()
    (folder / "cache").mkdir()
    pq.write_table(pa.table({"entity_id": ["A"] * diag, "donem": ["1"] * diag, "diag_kik_bulgu": [1] * diag}),
                   folder / "cache" / "diag_features.parquet")
    return path


# Run in a child whose address space may grow by `headroom_mb` beyond what it has after a
# first small build (DuckDB's threads and their heaps are then in place): prints the error's
# type and text, or the matrix's row count.
CHILD = textwrap.dedent("""
    import resource, sys
    import duckdb, pandas, pyarrow
    from halvex.ml.features import build_features
    def vm_bytes():
        for line in open("/proc/self/status"):
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    build_features(sys.argv[3])
    limit = vm_bytes() + int(sys.argv[2]) * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    try:
        print(len(build_features(sys.argv[1])))
    except BaseException as e:
        print(type(e).__name__, e)
""")


def build_in_child(db, headroom_mb: int) -> str:
    (db.parent / "warm").mkdir()
    warm = repeated_key_db(db.parent / "warm", 2, 2)
    done = subprocess.run([sys.executable, "-c", CHILD, str(db), str(headroom_mb), str(warm)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip().splitlines()[-1]  # after the build's own lines


@needs_address_limit
def test_a_merge_beyond_the_address_space_limit_is_refused_with_its_rows(tmp_path):
    db = repeated_key_db(tmp_path, 2000, 2000)  # 4,000,000 rows of about 400 bytes
    said = build_in_child(db, 600)
    assert said.startswith("MemoryError ") and "4000000 rows" in said, said
    assert "MB needed" in said and "MB available" in said and "\n" not in said


@needs_address_limit
def test_a_merge_that_fits_keeps_every_repeated_row(tmp_path):
    db = repeated_key_db(tmp_path, 300, 200)
    assert build_in_child(db, 600) == "60000"


def test_the_command_refuses_in_one_line(tmp_path, capsys):
    db = repeated_key_db(tmp_path, 100_000, 100_000)  # 10^10 rows: terabytes on any machine
    out = tmp_path / "m.parquet"
    assert main(["features", str(db), "-o", str(out)]) == 1
    err = capsys.readouterr().err.strip()
    assert "\n" not in err and "MemoryError" in err and "10000000000 rows" in err, err
    assert not out.exists()
