"""What an analyst's day on the dashboard needs a browser for: numbers typed the Turkish way
in the filters, the watch list kept from one night's page to the next, the row cap and the
default order said, the columns decided on first, and the search that folds Turkish letters.

    .venv/bin/python -m pytest -q tests/browser/test_analyst_day.py
"""

from __future__ import annotations

from test_dashboard import N, dash, open_page  # noqa: F401  (fixtures; skips without Chromium)
from test_pages import _score


def _risk_mio(r):                                       # as the standard page holds it
    v = r.get("son_risk", 0)
    if v is None:
        return None
    m = v / 1e6
    return round(m) if abs(m) >= 1 else round(m, 1)


def _delta(r, donemler):
    a, b = _score(r.get("qvr" + donemler[-2])), _score(r.get("qvr" + donemler[-1]))
    return None if a is None or b is None or a == -1 or b == -1 else b - a


def _type(p, field, text):
    p.page.fill(field, text)
    p.page.dispatch_event(field, "change")
    p.settle()


# ------------------------------------------------------------------ numbers typed the Turkish way
def test_range_filters_read_turkish_numbers_and_refuse_the_rest(dash, open_page):
    rows, donemler = dash["rows"], dash["doc"]["meta"]["donemler"]
    p = open_page(dash["standard"])
    pg = p.page
    # "1.000" is a thousand million TL, not one
    _type(p, "#hx-f-risk", "1.000")
    want = sum(1 for r in rows if (_risk_mio(r) is not None and _risk_mio(r) >= 1000))
    assert 0 < want < sum(1 for r in rows if (_risk_mio(r) or 0) >= 1)
    assert p.state()["matchedRows"] == want
    # a maximum, and both: between
    _type(p, "#hx-f-risk", "")
    _type(p, "#hx-f-risk-max", "0,5")
    assert p.state()["matchedRows"] == sum(1 for r in rows if _risk_mio(r) is not None and _risk_mio(r) <= 0.5)
    _type(p, "#hx-f-risk", "0.2")
    assert p.state()["matchedRows"] == sum(1 for r in rows if _risk_mio(r) is not None and 0.2 <= _risk_mio(r) <= 0.5)
    assert "riskust=0.5" in pg.evaluate("location.hash") and "risk=0.2" in pg.evaluate("location.hash")
    # refused visibly, and not applied
    _type(p, "#hx-f-risk", "1,2,3")
    assert pg.get_attribute("#hx-f-risk", "aria-invalid") == "true"
    assert pg.is_visible("#hx-num-err") and "1,2,3" in pg.text_content("#hx-num-err")
    assert p.state()["matchedRows"] == sum(1 for r in rows if _risk_mio(r) is not None and _risk_mio(r) <= 0.5)
    _type(p, "#hx-f-risk", "")
    assert pg.get_attribute("#hx-f-risk", "aria-invalid") is None and pg.is_hidden("#hx-num-err")
    # "%" only in the percentage fields
    pg.click("#hx-clear")
    _type(p, "#hx-f-ml-max", "%20")
    assert p.state()["matchedRows"] == sum(1 for r in rows if r.get("_ml_yi_prob") is not None and r["_ml_yi_prob"] <= 0.2)
    _type(p, "#hx-f-risk-max", "%20")
    assert pg.get_attribute("#hx-f-risk-max", "aria-invalid") == "true"
    # the change since the previous period: up by at least 50 points
    pg.click("#hx-clear")
    pg.select_option("#hx-f-delta", "1")
    _type(p, "#hx-f-delta-min", "50")
    deltas = [_delta(r, donemler) for r in rows]
    assert p.state()["matchedRows"] == sum(1 for d in deltas if d is not None and d >= 50) > 0
    pg.select_option("#hx-f-delta", "-1")
    p.settle()
    assert p.state()["matchedRows"] == sum(1 for d in deltas if d is not None and d <= -50) > 0
    # the view comes back from the URL with the fields written the Turkish way
    pg.evaluate("location.reload()")
    pg.wait_for_function("window.__halvex && window.__halvex.allDecodedAt !== null")
    p.settle()
    assert p.state()["matchedRows"] == sum(1 for d in deltas if d is not None and d <= -50)
    assert pg.input_value("#hx-f-delta-min") == "50" and pg.input_value("#hx-f-delta") == "-1"
    assert p.errors == []
