"""The model report page in headless Chromium: opened from disk with every request outside
the file refused, no error logged, nothing serious for axe, no sideways scrolling of the page
on a phone. Screenshots at 1440x900 and 360 px wide are left in test_output/browser/.

    .venv/bin/python -m pytest -q tests/browser/test_report_page.py
"""

from __future__ import annotations

from pathlib import Path

import pytest

from chromium import CHROMIUM, require  # noqa: E402

sync_api = require()

from halvex.ml.features import build_features  # noqa: E402
from halvex.ml.model import backtest, train  # noqa: E402
from halvex.ml.model.report import write_report  # noqa: E402
from halvex.sample.facts_db import write_sample_db  # noqa: E402

OUT = Path(__file__).resolve().parents[2] / "test_output" / "browser"
FAST = {"num_leaves": 7, "min_data_in_leaf": 5, "min_data_per_group": 5, "learning_rate": 0.2}
HORIZON = 3


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    root = tmp_path_factory.mktemp("model-report")
    db = write_sample_db(root / "facts.duckdb", n_entities=300, n_periods=24, seed=5)
    matrix = build_features(db, target_horizon=HORIZON)
    backtest(matrix, HORIZON, params=FAST, threads=1, top_n=10).save(root / "bt")
    train(matrix, HORIZON, params=FAST, threads=1).save(root / "model")
    OUT.mkdir(parents=True, exist_ok=True)
    return write_report(OUT / "model_report.html", model_dir=root / "model", backtest=root / "bt")


def _open(browser, path, width, height):
    ctx = browser.new_context(viewport={"width": width, "height": height})
    page = ctx.new_page()
    errors, requests = [], []
    page.on("console", lambda m: errors.append(m.text) if m.type in ("error", "warning") else None)
    page.on("pageerror", lambda e: errors.append(str(e)))

    def route(r):
        if r.request.url.startswith("file:"):
            r.continue_()
        else:
            requests.append(r.request.url)
            r.abort()
    ctx.route("**/*", route)
    page.goto(Path(path).as_uri())
    page.wait_for_load_state("load")
    return ctx, page, errors, requests


@pytest.mark.parametrize("width, height", [(1440, 900), (360, 740)])
def test_report_opens_offline_and_axe_finds_nothing_serious(browser, report, width, height):
    from axe_playwright_python.sync_playwright import Axe

    ctx, page, errors, requests = _open(browser, report, width, height)
    try:
        assert page.locator("svg.chart[role=img]").count() == 5
        # Every chart is named by its title and described.
        names = page.eval_on_selector_all(
            "svg.chart", "els => els.map(e => e.getAttribute('aria-labelledby').split(' ')"
                         ".map(id => document.getElementById(id).textContent).join(' | '))")
        assert all(n.split(" | ")[0] and n.split(" | ")[1] for n in names)
        assert page.locator("table caption").count() == page.locator("table").count() >= 8
        # Wide tables scroll inside their own box; the page itself never scrolls sideways.
        assert page.evaluate("document.documentElement.scrollWidth") <= width
        results = Axe().run(page)
        bad = [(v["id"], v["impact"], [n["target"] for n in v["nodes"]][:3])
               for v in results.response["violations"] if v["impact"] in ("critical", "serious")]
        assert bad == []
        page.screenshot(path=str(OUT / f"model_report_{width}.png"), full_page=True)
        assert errors == [] and requests == []
    finally:
        ctx.close()
