"""Entity partitions of a fact table, for building a large feature matrix piece by piece.

Every feature and the label of an entity depend only on that entity's own fact rows and
its diagnostic rows, so the matrix of a set of entities is the matrix of the whole table
restricted to them. ``plan`` cuts the entities into ranges of about ``rows`` fact rows each,
in the order ``build_features`` sorts them (ascending ``entity_id``, byte order for text,
missing ids last), so the partitions' matrices, one after the other, are the whole matrix
row for row. Each partition is a pair of SQL conditions: one on the facts ``fp`` of the fact
query, one on the diagnostic file's rows.

Only integer and text entity ids are cut; a table with ids of another type (or a database
that cannot be read here) is built whole, and the build reports any problem itself.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass

# About 1 GiB of working columns per partition, and a few hundred MiB of matrix.
PARTITION_ROWS = 2_000_000
# Overrides PARTITION_ROWS (tests use small partitions).
ROWS_VARIABLE = "HALVEX_PARTITION_ROWS"

_INTEGER_TYPES = {"TINYINT", "SMALLINT", "INTEGER", "BIGINT", "UTINYINT", "USMALLINT", "UINTEGER"}


@dataclass(frozen=True)
class Partition:
    facts: str  # condition on the fact query's rows (fp.entity_id)
    diag: str   # condition on the diagnostic rows; "" when each partition reads them all


def partition_rows() -> int:
    """Fact rows per partition: ``HALVEX_PARTITION_ROWS`` when set, else PARTITION_ROWS."""
    text = os.environ.get(ROWS_VARIABLE)
    if text is None:
        return PARTITION_ROWS
    try:
        rows = int(text)
    except ValueError:
        rows = 0
    if rows < 1:
        raise ValueError(f"{ROWS_VARIABLE} must be a positive whole number, not {text!r}")
    return rows


def diagnostic_path(db_path) -> str:
    """Where the builder looks for the diagnostic file of ``db_path`` (a file or a folder)."""
    from halvex.ml.features import _diagnostic_path

    return _diagnostic_path(db_path)


def diagnostic_source(db_path: str) -> str | None:
    """What the builder reads as the diagnostic file of ``db_path`` (a folder is read as its
    Parquet files), or None when there is none."""
    path = diagnostic_path(db_path)
    if not os.path.exists(path):
        return None
    return os.path.join(path, "*.parquet") if os.path.isdir(path) else path


def _literal(value) -> str:
    if isinstance(value, str):
        return "'" + value.replace("'", "''") + "'"
    return str(int(value))


def _base_type(type_name: str) -> str:
    # "VARCHAR COLLATE NOCASE" and the like name their base type first.
    return re.split(r"[\s(]", type_name.strip(), maxsplit=1)[0].upper()


def _key_type(rel) -> str | None:
    names = [c.lower() for c in rel.columns]
    if "entity_id" not in names:
        return None
    return _base_type(str(rel.types[names.index("entity_id")]))


def _diag_key(fact_type: str, diag_type: str | None) -> str | None:
    """The diagnostic rows' key compared with the facts' bounds: a superset of the rows whose
    entity_id, in text form, equals that of a fact row in range (the join itself is exact).
    None when no such expression is sure, so every partition reads the whole file."""
    if diag_type is None:
        return None
    if fact_type in _INTEGER_TYPES:
        # Text form of an integer is its decimal digits, which read back as that integer.
        return "TRY_CAST(CAST(entity_id AS VARCHAR) AS BIGINT)"
    if diag_type == "VARCHAR":
        return '(entity_id COLLATE "binary")'
    if diag_type in _INTEGER_TYPES:
        return 'CAST(entity_id AS VARCHAR) COLLATE "binary"'
    return None  # floats, booleans, dates: their text forms are the builder's own


def _conditions(key: str, bounds: list[str]) -> list[str]:
    """Ranges (-inf, b0], (b0, b1], ..., (b_last, +inf) or missing: every row in exactly one."""
    if not bounds:
        return [""]
    out = [f"{key} <= {bounds[0]}"]
    out += [f"{key} > {lo} AND {key} <= {hi}" for lo, hi in zip(bounds, bounds[1:])]
    out.append(f"{key} > {bounds[-1]} OR {key} IS NULL")
    return out


def plan(db_path, rows: int | None = None) -> list[Partition]:
    """Partitions of about ``rows`` fact rows (default ``partition_rows()``); an empty list
    when the table is built whole (it fits in one, or cannot be cut)."""
    import duckdb

    from halvex.ml._sources import connect_facts, connect_memory

    rows = partition_rows() if rows is None else rows
    path = os.fsdecode(os.fspath(db_path))
    try:
        con = connect_facts(path)
    except duckdb.Error:
        return []
    try:
        total = con.sql("SELECT count(*) FROM fact_periodic").fetchall()[0][0]
        if total <= rows:
            return []
        fact_type = _key_type(con.sql("SELECT entity_id FROM fact_periodic"))
        if fact_type not in _INTEGER_TYPES and fact_type != "VARCHAR":
            return []
        key = '(entity_id COLLATE "binary")' if fact_type == "VARCHAR" else "entity_id"
        # The last entity of each run of about `rows` fact rows, in sort order.
        ends = con.sql(f"""
            WITH per_entity AS (
                SELECT {key} AS k, count(*) AS n FROM fact_periodic
                WHERE entity_id IS NOT NULL GROUP BY ALL),
            running AS (
                SELECT k, CAST(sum(n) OVER (ORDER BY k ROWS UNBOUNDED PRECEDING) AS BIGINT) AS upto
                FROM per_entity)
            SELECT max(k) AS last FROM running GROUP BY (upto - 1) // {int(rows)} ORDER BY last
        """).fetchall()
    except duckdb.Error:
        return []
    finally:
        con.close()
    bounds = [_literal(e[0]) for e in ends[:-1]]
    if not bounds:
        return []

    fact_key = '(fp.entity_id COLLATE "binary")' if fact_type == "VARCHAR" else "fp.entity_id"
    diag_key = None
    source = diagnostic_source(path)
    if source is not None:
        try:
            dcon = connect_memory()
            try:
                diag_key = _diag_key(fact_type, _key_type(dcon.read_parquet(source)))
            finally:
                dcon.close()
        except duckdb.Error:
            diag_key = None  # the build reads it whole and reports what is wrong
    facts = _conditions(fact_key, bounds)
    diag = _conditions(diag_key, bounds) if diag_key else [""] * len(facts)
    return [Partition(f, d) for f, d in zip(facts, diag)]
