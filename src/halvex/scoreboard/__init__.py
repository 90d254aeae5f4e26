"""The scoreboard document that ``halvex.pipeline.vitrum.render_html`` reads, built from the
periodic facts of a DuckDB file (README: The scoreboard document).

    doc = build_scoreboard("facts.duckdb")                     # the document as a dict
    build_scoreboard("facts.duckdb", "run/json/scoreboard.json")  # written atomically
"""

from __future__ import annotations

import contextlib
import datetime as _dt
import json
import math
import numbers
import os
from pathlib import Path
from typing import Any, Mapping

from halvex._output import check_output_path, check_path_text, refuse_input
from halvex.scoreboard.document import build_document

DEFAULT_TITLE = "QVR Erken Uyarı Skorkartı"
DEFAULT_RISK_PERIODS = 3
# The sections of a model run that reach the page through render_html's extra_data.
SECTIONS = ("backtest_summary", "backtest_firma", "ml_predictions")

__all__ = ["build_scoreboard", "DEFAULT_TITLE", "DEFAULT_RISK_PERIODS", "SECTIONS"]


def _key_text(value: Any) -> str:
    """An entity_id in the text form the facts' ids are matched by."""
    if isinstance(value, str):
        return value
    if isinstance(value, bool):
        return str(value)
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        return repr(float(value))
    raise TypeError(f"model entity_id must be text or a number, not {type(value).__name__}")


def _flags(model: Mapping[str, Any], name: str, n: int) -> list[bool]:
    if name not in model or model[name] is None:
        return [False] * n
    values = [bool(v) for v in model[name]]
    if len(values) != n:
        raise ValueError(f"model[{name!r}] has {len(values)} values for {n} entity_id values")
    return values


def _model_columns(model: Mapping[str, Any]) -> tuple:
    """(keys, prob, alerted, caught, missed) from a mapping of columns (a dict of lists or
    arrays, or a DataFrame): entity_id and prob required, the three flags optional."""
    for name in ("entity_id", "prob"):
        if name not in model:
            raise ValueError(f"model needs a column {name!r}")
    keys = [_key_text(v) for v in model["entity_id"]]
    n = len(keys)
    prob = [math.nan if v is None else float(v) for v in model["prob"]]
    if len(prob) != n:
        raise ValueError(f"model['prob'] has {len(prob)} values for {n} entity_id values")
    return keys, prob, _flags(model, "alerted", n), _flags(model, "caught", n), _flags(model, "missed", n)


def build_scoreboard(db_path, out_path=None, *, risk_periods: int = DEFAULT_RISK_PERIODS,
                     title: str = DEFAULT_TITLE, generated_at: str | None = None,
                     rd_column: str | None = None, model: Mapping[str, Any] | None = None,
                     alert_threshold: float | None = None, model_id: str | None = None,
                     model_trained_at: str | None = None, backtest_summary: Any = None,
                     backtest_firma: Any = None, ml_predictions: Any = None,
                     meta_extra: Mapping[str, Any] | None = None, facts: Any = None):
    """Build the scoreboard document of the DuckDB file at ``db_path`` (opened read-only).

    Returns the document as a dict, or with ``out_path`` writes it there atomically as UTF-8
    JSON (``json.dumps(doc, ensure_ascii=False)``) and returns {``path``, ``rows`` (borrowers),
    ``periods``, ``latest`` (period), ``bytes``}. ``rd_column`` names
    the fact_periodic column of the second risk series; ``model`` maps ``entity_id``,
    ``prob`` and optionally ``alerted``, ``caught``, ``missed`` to equal-length columns;
    ``backtest_summary``, ``backtest_firma`` and ``ml_predictions`` are added as they are,
    and ``meta_extra``'s members to ``meta`` after its own. ``facts``: the facts of
    ``db_path`` already read (``halvex.ml.fact_snapshot.read_facts``), used instead of
    querying them again. ValueError when the database has no facts or lacks a table or column it needs.
    """
    if isinstance(risk_periods, bool) or not isinstance(risk_periods, numbers.Integral) or risk_periods < 0:
        raise ValueError(f"risk_periods must be a whole number 0 or more, not {risk_periods!r}")
    db = os.fsdecode(db_path)
    check_path_text(db)  # os.path.exists says False for it: "no database" would be wrong
    if not os.path.exists(db):
        raise FileNotFoundError(f"no database at {db}")
    if out_path is not None:
        check_output_path(out_path)
        refuse_input(out_path, {"the database": db})
    if generated_at is None:
        generated_at = _dt.datetime.now().isoformat(timespec="seconds")
    sections = []
    for name, value in zip(SECTIONS, (backtest_summary, backtest_firma, ml_predictions)):
        if value is not None:
            sections.append((name, json.dumps(value, ensure_ascii=False)))
    extra = [(str(k), json.dumps(v, ensure_ascii=False, allow_nan=False))
             for k, v in (meta_extra or {}).items()]
    try:
        from halvex.diag_groups import SQL_ADMIN_ONLY as admin_only
    except ImportError:
        admin_only = False
    served = contextlib.nullcontext()
    if facts is not None:
        from halvex.ml.fact_snapshot import serving
        if facts.db_path != db:
            raise ValueError(f"facts were read from {facts.db_path}, not {db}")
        served = serving(facts)
    with served:
        text = build_document(
            db, None if out_path is None else os.fsdecode(out_path), int(risk_periods), str(title),
            str(generated_at), rd_column or "", None if alert_threshold is None else float(alert_threshold),
            model_id or "", model_trained_at or "", bool(admin_only),
            None if model is None else _model_columns(model), sections, extra)
    if out_path is not None:
        return {"path": Path(os.fsdecode(out_path)), **text}
    return json.loads(text)
