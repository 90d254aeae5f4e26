"""The periodic facts read once and handed to both builds of a night: the feature matrix and
the scoreboard document.

    facts = read_facts("facts.duckdb", rd_column="nakdi_risk")  # one query on the database
    matrix = build_features_from_facts(facts, target_horizon=3)  # == build_features(db, 3)
    build_scoreboard(facts.db_path, "doc.json", rd_column="nakdi_risk", facts=facts)

One query brings every column either build reads (``fact_periodic`` joined to
``dim_entity``, in the order both builds sort by); each build then takes its own columns of
that table instead of querying the database. A build asking for something the snapshot does
not hold (a column it lacks, another second risk series) queries the database as usual, so
its errors stay what they were.
"""

from __future__ import annotations

import contextlib
import os
import re
from dataclasses import dataclass
from typing import Iterator

import pyarrow as pa

from halvex.ml import _sources

# The columns either build reads, in the builds' spelling; optional ones are left out when
# the table lacks them.
_FACT_COLUMNS = ("entity_id", "donem", "qvr_skor", "qvr_kaynak", "kombine_risk", "risk_degisim", "ykn_izl_flag")
_ENTITY_COLUMNS = ("segment", "bolge_kodu", "unvan", "sube_kodu")
_JOIN = "LEFT JOIN dim_entity de ON fp.entity_id = de.entity_id"
_ORDER = "ORDER BY fp.entity_id, fp.donem"
_SELECT = re.compile(r"^\s*SELECT\s+(?P<items>.*?)\s+FROM fact_periodic fp\s*(?P<rest>.*?)\s*$", re.S)
_ITEM = re.compile(r'^(?:fp|de)\.(?:(?P<plain>\w+)|"(?:[^"]|"")*"\s+AS\s+(?P<alias>\w+))$', re.S)


def _quoted(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


@dataclass(frozen=True)
class FactSnapshot:
    """The result of the one fact query of a run: ``table`` holds one column per select
    item (named as the builds' queries name it), ``items`` their select expressions."""
    db_path: str
    table: pa.Table
    items: dict[str, str]
    joined: bool
    rd_column: str | None

    @property
    def rows(self) -> int:
        return self.table.num_rows

    def answer(self, query: str) -> pa.Table | None:
        """The result of a build's fact query taken from the snapshot, or None when the
        query asks for more or other than it holds."""
        m = _SELECT.match(query)
        if m is None:
            return None
        rest = " ".join(m.group("rest").split())
        if rest != " ".join(((_JOIN,) if self.joined else ()) + (_ORDER,)):
            return None
        names = []
        for item in (" ".join(i.split()) for i in m.group("items").split(",")):
            found = _ITEM.match(item)
            if found is None:
                return None
            name = found.group("plain") or found.group("alias")
            if self.items.get(name) != item:
                return None
            names.append(name)
        return self.table.select(names)


def read_facts(db_path, rd_column: str | None = None) -> FactSnapshot:
    """Reads the periodic facts of the DuckDB file at ``db_path`` (read-only) with one query:
    what ``build_features`` and ``build_scoreboard(..., rd_column=rd_column)`` both read.
    ValueError when the database holds no ``fact_periodic``."""
    from halvex.scoreboard._sources import columns

    path = os.fspath(db_path)
    if not os.path.exists(path):
        raise FileNotFoundError(f"no database at {path}")
    fact_cols, entity_cols, _ = columns(path)
    if not fact_cols:
        raise ValueError("the database holds no table fact_periodic")
    items = {c: f"fp.{c}" for c in _FACT_COLUMNS if c in fact_cols}
    if rd_column:
        if rd_column not in fact_cols:
            raise ValueError(f"fact_periodic has no column {rd_column} for the second risk series")
        items["rd_risk"] = f"fp.{_quoted(rd_column)} AS rd_risk"
    joined = "entity_id" in entity_cols
    if joined:
        items.update({c: f"de.{c}" for c in _ENTITY_COLUMNS if c in entity_cols})
    query = (f"SELECT {', '.join(items.values())} FROM fact_periodic fp "
             + (f"{_JOIN} " if joined else "") + _ORDER)
    con = _sources.connect_facts(path)
    try:
        table = _sources._interruptible(lambda: _sources._arrow(con.sql(query)))
    finally:
        con.close()
    return FactSnapshot(path, table, items, joined, rd_column or None)


@contextlib.contextmanager
def serving(facts: FactSnapshot) -> Iterator[None]:
    """Within the block, the builds' fact queries on ``facts.db_path`` are answered from
    ``facts`` where it holds what they ask."""
    token = _sources.SERVED.set(facts)
    try:
        yield
    finally:
        _sources.SERVED.reset(token)


def build_features_from_facts(facts: FactSnapshot, target_horizon: int = 3):
    """``build_features(facts.db_path, target_horizon)`` from the facts already read (the
    diagnostic file beside the database is read as usual)."""
    from halvex.ml.features import build_features

    with serving(facts):
        return build_features(facts.db_path, target_horizon)
