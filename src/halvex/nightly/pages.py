"""The pages of a run: the standard, administrator and v300 dashboards of its document, and
the model report page when the report module is installed."""

from __future__ import annotations

import contextlib
import importlib
import io
import os

RENDERER_MODULE = "halvex.pipeline.vitrum"
REPORT_MODULE = "halvex.ml.model.report"

# Stable names inside a run folder.
PAGE = "html/qvr_dashboard.html"
ADMIN_PAGE = "html/qvr_dashboard_admin.html"
V300_PAGE = "html/qvr_dashboard_v300.html"
REPORT_PAGE = "html/model_report.html"


def render_pages(doc_path: str, where: str, predictions: list, summary: dict | None,
                 firma: dict | None) -> dict:
    """Renders the three dashboards of the document at ``doc_path`` under ``where``. Returns
    their paths inside it (``page``, ``admin_page``, ``v300_page``) and the renderer's
    lines (``notes``)."""
    said = io.StringIO()
    with contextlib.redirect_stdout(said):
        vitrum = importlib.import_module(RENDERER_MODULE)
        extra = {"ml_predictions": predictions}
        if summary is not None:
            extra["backtest_summary"] = summary
        vitrum.render_html(doc_path, output_html=os.path.join(where, PAGE), extra_data=extra)
        # The borrower's back-test history is for the administrators' page only.
        admin = {**extra, "page_mode": "admin"}
        if firma is not None:
            admin["backtest_firma"] = firma
        vitrum.render_html(doc_path, output_html=os.path.join(where, ADMIN_PAGE), extra_data=admin)
        vitrum.render_html_v300(doc_path, output_html=os.path.join(where, V300_PAGE))
    notes = [line.strip() for line in said.getvalue().splitlines() if line.strip()]
    return {"page": PAGE, "admin_page": ADMIN_PAGE, "v300_page": V300_PAGE, "notes": notes}


def model_report(where: str, has_backtest: bool) -> str | None:
    """Writes the model report page when the report module is installed and there is a
    back-test to show; otherwise says why not."""
    try:
        report = importlib.import_module(REPORT_MODULE)
    except ModuleNotFoundError as exc:
        if exc.name != REPORT_MODULE:
            raise
        return "model report skipped: halvex.ml.model.report is not installed"
    if not has_backtest:
        return "model report skipped: no back-test was run"
    report.write_report(os.path.join(where, REPORT_PAGE), model_dir=os.path.join(where, "model"),
                        backtest=os.path.join(where, "backtest"))
    return None
