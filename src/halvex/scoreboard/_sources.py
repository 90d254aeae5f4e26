"""What a scoreboard build asks of Python: the column names and the query results of the facts
database, through the same read-only, extension-free connection as a feature build. The
extension module halvex.scoreboard.document calls these; nothing here is public."""

from __future__ import annotations

import pyarrow as pa

from halvex.ml._sources import _arrow, _interruptible, connect_facts, served

# The tables the document reads; the last holds the findings (README: The scoreboard document).
_TABLES = ("fact_periodic", "dim_entity", "fact_findings")


def columns(path: str) -> tuple[list[str], list[str], list[str]]:
    """The column names of each of _TABLES in the database at ``path``; an empty list for a
    table it does not hold."""
    con = connect_facts(path)
    try:
        found = con.execute(
            "SELECT lower(table_name), column_name FROM duckdb_columns() "
            "WHERE database_name = current_database() AND schema_name = current_schema() "
            "ORDER BY table_name, column_index").fetchall()
    finally:
        con.close()
    names: dict[str, list[str]] = {t: [] for t in _TABLES}
    for table, column in found:
        if table in names:
            names[table].append(column)
    return names["fact_periodic"], names["dim_entity"], names["fact_findings"]


def fetch(path: str, query: str) -> pa.Table:
    """The whole result of ``query`` on the database at ``path``, opened read-only (or
    from the facts this run already read, when they hold it)."""
    known = served(path, query)
    if known is not None:
        return known
    con = connect_facts(path)
    try:
        return _interruptible(lambda: _arrow(con.sql(query)))
    finally:
        con.close()
