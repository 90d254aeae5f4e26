"""The nightly run: from the facts of a DuckDB file to the morning's pages in one call.

    result = run_night("facts.duckdb", "runs/")          # runs/<period>/, runs/latest
    result = run_night("facts.duckdb", "runs/", model_dir="models/2026-11", strict=True)
"""

from halvex.nightly.gates import DEFAULT_MAX_BORROWER_DROP, Gate, GateFailure
from halvex.nightly.night import NOT_VALIDATED, RunResult, run_night, summary_lines

__all__ = ["DEFAULT_MAX_BORROWER_DROP", "Gate", "GateFailure", "NOT_VALIDATED", "RunResult", "run_night",
           "summary_lines"]
