"""``halvex scoreboard``: the document written atomically, and bad input refused with status 2,
one line on standard error and nothing written."""

import json

import duckdb
import pytest

from halvex.cli import main
from halvex.sample.facts_db import write_sample_db
from halvex.scoreboard import build_scoreboard


@pytest.fixture(scope="module")
def db(tmp_path_factory):
    return write_sample_db(tmp_path_factory.mktemp("db") / "facts.duckdb", n_entities=40, n_periods=5)


def test_writes_the_document(db, tmp_path, capsys):
    out = tmp_path / "json" / "scoreboard.json"
    assert main(["scoreboard", str(db), "-o", str(out), "--risk-periods", "2", "--title", "Gece"]) == 0
    doc = json.loads(out.read_text(encoding="utf-8"))
    assert doc["meta"]["title"] == "Gece" and doc["meta"]["risk_donemler"] == doc["meta"]["donemler"][-2:]
    expected = build_scoreboard(db, generated_at=doc["meta"]["generated_at"], risk_periods=2, title="Gece")
    assert doc == expected
    said = capsys.readouterr().out.splitlines()
    assert said == [f"  Skorkart: {len(doc['rows'])} firma, 5 dönem (son: {doc['meta']['veri_tarihi']})",
                    f"  Written: {out}"]


def _refused(argv, capsys, needle):
    try:
        status = main(argv)
    except SystemExit as stop:  # argparse's own refusal
        status = stop.code
    assert status == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and err[0].startswith("halvex scoreboard: ") and needle in err[0], err


def test_bad_inputs(db, tmp_path, capsys):
    before = db.read_bytes()
    _refused(["scoreboard", str(db), "-o", str(db)], capsys, "is the database")
    assert db.read_bytes() == before
    _refused(["scoreboard", str(tmp_path / "none.duckdb"), "-o", str(tmp_path / "a.json")], capsys,
             "no database")
    _refused(["scoreboard", str(tmp_path), "-o", str(tmp_path / "a.json")], capsys, "folder")
    _refused(["scoreboard", str(db), "-o", str(tmp_path / "a.json"), "--rd-column", "x"], capsys,
             "no column x")
    _refused(["scoreboard", str(db), "-o", str(tmp_path / "a.json"), "--risk-periods", "-1"], capsys,
             "--risk-periods")
    junk = tmp_path / "junk.duckdb"
    junk.write_bytes(b"not a database at all" * 100)
    _refused(["scoreboard", str(junk), "-o", str(tmp_path / "a.json")], capsys, "not a DuckDB database")
    bare = tmp_path / "bare.duckdb"
    con = duckdb.connect(str(bare))
    con.execute("CREATE TABLE fact_periodic (entity_id VARCHAR, donem INTEGER)")
    con.close()
    _refused(["scoreboard", str(bare), "-o", str(tmp_path / "a.json")], capsys, "no column qvr_skor")
    assert not (tmp_path / "a.json").exists()
    assert not list(tmp_path.glob(".a.json*"))


def test_an_existing_document_stays_when_the_build_fails(db, tmp_path, capsys):
    out = tmp_path / "doc.json"
    out.write_text("old")
    _refused(["scoreboard", str(db), "-o", str(out), "--rd-column", "nope"], capsys, "nope")
    assert out.read_text() == "old"
