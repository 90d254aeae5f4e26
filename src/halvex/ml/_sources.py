"""What a feature build asks of Python: the fact and diagnostic reads through DuckDB's Python
package, and the pandas DataFrame of the result. The extension module halvex.ml.features
calls these; nothing here is public."""

from __future__ import annotations

import contextvars
from typing import Any, Callable

import duckdb
import numpy as np
import pandas as pd
import pyarrow as pa

from halvex._interrupt import consumed, is_interrupted_query

_PANDAS3 = int(pd.__version__.split(".")[0]) >= 3


# DuckDB never installs or loads extensions for a build, so a remote path ("s3://",
# "https://", "md:") or another engine's file (SQLite) fails at once instead of reaching the
# network.
_NO_EXTENSIONS: dict[str, Any] = {"autoinstall_known_extensions": False, "autoload_known_extensions": False}
# What DuckDB says when this process already holds the file through a connection of other
# settings (a host that opened the facts itself), and when that connection may write.
_OTHER_SETTINGS = "different configuration than existing connections"
# Facts already read by this run (halvex.ml.fact_snapshot), answering the builds' fact
# queries on their database instead of the database itself.
SERVED: contextvars.ContextVar[Any] = contextvars.ContextVar("halvex_served_facts", default=None)
_HELD_FOR_WRITING = "Unique file handle conflict"


def connect_memory() -> duckdb.DuckDBPyConnection:
    """An in-memory connection for reading Parquet files, without extensions."""
    return duckdb.connect(":memory:", config=dict(_NO_EXTENSIONS))


def connect_facts(path: str) -> duckdb.DuckDBPyConnection:
    """The facts database at `path`, read-only, without extensions and without external access
    (no remote data behind a view).

    A host that holds the same file through a read-only connection of its own settings is
    left alone: the file is attached read-only to a connection of ours instead, so the host's
    settings are neither borrowed nor changed. A host connection that may write is refused
    with what to do, since a second reader would see the file while it changes."""
    config = dict(_NO_EXTENSIONS, enable_external_access=False)
    try:
        return duckdb.connect(path, read_only=True, config=config)
    except duckdb.ConnectionException as e:
        if _OTHER_SETTINGS not in str(e):
            raise
        return _attach_beside_host(path)
    except duckdb.Error as e:
        said = str(e)
        if "xtension" not in said:
            raise
        raise type(e)(
            f"cannot open '{path}' as a local DuckDB database: it needs a DuckDB extension, "
            f"and build_features installs or loads none ({said.splitlines()[0] if said else ''})"
        ) from e


def _attach_beside_host(path: str) -> duckdb.DuckDBPyConnection:
    con = connect_memory()
    try:
        con.execute("ATTACH '" + path.replace("'", "''") + "' AS facts (READ_ONLY)")
        con.execute("USE facts")
        # Set after the attach, which needs it; DuckDB never turns it back on.
        con.execute("SET enable_external_access = false")
        return con
    except duckdb.Error as e:
        con.close()
        if _HELD_FOR_WRITING not in str(e):
            raise
        raise duckdb.ConnectionException(
            f"cannot read '{path}': this process holds it through a DuckDB connection that may "
            "write, and DuckDB lets no second connection read it meanwhile; close that "
            "connection before building features, or open it with read_only=True"
        ) from None


def _arrow(relation: Any) -> pa.Table:
    """The whole result as a pyarrow Table, without the extra copy a DB-API cursor makes;
    older clients name the fetch differently."""
    for fetch in ("to_arrow_table", "fetch_arrow_table", "arrow"):
        if hasattr(relation, fetch):
            return getattr(relation, fetch)()
    raise TypeError("duckdb relation offers no Arrow fetch")


def _interruptible(read: Callable[[], pa.Table]) -> pa.Table:
    """read(); a query that DuckDB stopped for a signal raises what the signal's handler
    raised (DuckDB reports it as RuntimeError instead)."""
    try:
        return read()
    except RuntimeError as e:
        if is_interrupted_query(e):
            raise consumed() from None
        raise


def served(path: str, query: str) -> pa.Table | None:
    """The result of `query` on the database at `path` from the facts this run already read,
    or None when it holds no answer."""
    facts = SERVED.get()
    if facts is None or facts.db_path != path:
        return None
    return facts.answer(query)


def fetch_facts(path: str, query: str, fact_filter: str, rows_known: Callable[[int], None]) -> pa.Table:
    """The result of the fact query on the database at `path` (opened read-only). rows_known is
    told the fact table's row count first, or 0 when it cannot be had cheaply (the fact query
    then reports any problem); fact_filter is the query's SQL condition, if any."""
    known = None if fact_filter else served(path, query)
    if known is not None:
        rows_known(known.num_rows)
        return known
    con = connect_facts(path)
    try:
        count = "SELECT count(*) FROM fact_periodic fp" + (f" WHERE ({fact_filter})" if fact_filter else "")
        try:
            rows = int(con.sql(count).fetchall()[0][0])
        except Exception as e:
            if is_interrupted_query(e):
                raise consumed() from None
            rows = 0
        rows_known(rows)
        return _interruptible(lambda: _arrow(con.sql(query)))
    finally:
        con.close()


def read_diagnostics(path: str, is_dir: bool, row_filter: str) -> pa.Table:
    """One Parquet file, or the union of the Parquet files of a folder; only the rows that pass
    row_filter (SQL) when it is given."""
    con = connect_memory()
    try:
        relation = con.read_parquet(path + "/*.parquet" if is_dir else path)
        if row_filter:
            relation = relation.filter(row_filter)
        return _interruptible(lambda: _arrow(relation))
    finally:
        con.close()


def text_column(array_address: int, schema_address: int) -> Any:
    """A text column handed over through the Arrow C data interface, as the text array of the
    pandas in use."""
    array = pa.Array._import_from_c(array_address, schema_address)
    if not _PANDAS3:
        return array.to_numpy(zero_copy_only=False)
    return pd.StringDtype("pyarrow", na_value=np.nan).__from_arrow__(array)


def frame(columns: dict[str, Any]) -> pd.DataFrame:
    return pd.DataFrame(columns, copy=False) if columns else pd.DataFrame()
