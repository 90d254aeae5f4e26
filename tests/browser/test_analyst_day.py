"""What an analyst's day on the dashboard needs a browser for: numbers typed the Turkish way
in the filters, the watch list kept from one night's page to the next, the row cap and the
default order said, the columns decided on first, and the search that folds Turkish letters.

    .venv/bin/python -m pytest -q tests/browser/test_analyst_day.py
"""

from __future__ import annotations

import copy
import json
import os
from pathlib import Path

from test_dashboard import N, OUT, dash, open_page  # noqa: F401  (fixtures; skips without Chromium)
from oracles import mio, score as _score

from halvex.pipeline import vitrum


def _risk_mio(r):                                       # as the standard page holds it
    return mio(r.get("son_risk", 0))


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
    _type(p, "#hx-f-delta-min", "20")
    assert p.state()["matchedRows"] == sum(1 for d in deltas if d is not None and d <= -20) > 0
    pg.select_option("#hx-f-delta", "0")
    p.settle()
    assert p.state()["matchedRows"] == sum(1 for d in deltas if d is not None and abs(d) >= 20)
    pg.select_option("#hx-f-delta", "-1")
    # the view comes back from the URL with the fields written the Turkish way
    pg.evaluate("location.reload()")
    pg.wait_for_function("window.__halvex && window.__halvex.allDecodedAt !== null")
    p.settle()
    assert p.state()["matchedRows"] == sum(1 for d in deltas if d is not None and d <= -20)
    assert pg.input_value("#hx-f-delta-min") == "20" and pg.input_value("#hx-f-delta") == "-1"
    assert p.errors == []


# ------------------------------------------------------------------ nothing hidden silently
def test_row_cap_and_default_order_are_said(dash, open_page):
    p = open_page(dash["standard"])
    pg = p.page
    assert p.state()["shownRows"] == 100
    assert pg.text_content("#hx-cap") == "İlk 100 / 800 satır gösteriliyor"
    assert pg.get_attribute("#hx-grid", "aria-rowcount") == str(N + 1)
    # the renderer's order is shown on the risk header until the analyst sorts
    assert pg.get_attribute("#hx-head [data-col=risk]", "aria-sort") == "descending"
    assert "varsayılan" in pg.get_attribute("#hx-head [data-col=risk]", "title")
    assert pg.eval_on_selector_all("#hx-head [aria-sort=descending], #hx-head [aria-sort=ascending]", "hs => hs.length") == 1
    pg.click("#hx-head [data-col=risk]")                 # the shown order, reversed
    p.settle()
    assert pg.get_attribute("#hx-head [data-col=risk]", "aria-sort") == "ascending"
    assert "varsayılan" not in pg.get_attribute("#hx-head [data-col=risk]", "title")
    pg.click("#hx-head [data-col=unvan]")
    p.settle()
    assert pg.get_attribute("#hx-head [data-col=risk]", "aria-sort") == "none"
    # "show all" is kept in the URL
    pg.click("#hx-show-all")
    p.settle()
    assert p.state()["shownRows"] == N and pg.text_content("#hx-cap") == ""
    assert "tumu=1" in pg.evaluate("location.hash")
    pg.evaluate("location.reload()")
    pg.wait_for_function("window.__halvex && window.__halvex.allDecodedAt !== null")
    p.settle()
    assert p.state()["shownRows"] == N
    pg.go_back()
    pg.wait_for_function("window.__halvex.shownRows === 100")
    assert p.errors == []


def test_segment_region_and_branch_stand_by_the_identity_columns(dash, open_page):
    for name, where in (("standard", ["segment", "bolge", "sube"]), ("v300", ["segment"])):
        p = open_page(dash[name])
        assert p.state()["columns"][:2 + len(where)] == ["muta", "unvan"] + where
        # in view at 1440 px without scrolling
        right = p.page.evaluate("document.getElementById('hx-grid').getBoundingClientRect().right")
        assert p.page.evaluate("r => [...document.querySelectorAll('#hx-head [data-col=sube], #hx-head [data-col=segment]')]"
                               ".every(h => h.getBoundingClientRect().right <= r)", right)
    # the chooser still moves them
    p = open_page(dash["standard"])
    p.page.click("#hx-cols-btn")
    p.page.click("#hx-cols button[aria-label='Segment aşağı']")
    assert p.state()["columns"][:5] == ["muta", "unvan", "bolge", "segment", "sube"]


# ------------------------------------------------------------------ search that finds
def test_search_folds_by_default_and_nothing_found_names_the_filters(dash, open_page):
    p = open_page(dash["standard"])
    pg = p.page
    p.search("insaat isik")                             # "İnşaat", "Işık" without the Turkish letters
    assert "Kuzey Insaat Isik Ltd." in p.column_texts("unvan")
    p.select("hx-f-seg", "KOBI")
    _type(p, "#hx-f-risk", "1.000")
    p.search("qqqzzz")
    assert p.state()["matchedRows"] == 0
    empty = pg.text_content("#hx-empty")
    assert pg.is_visible("#hx-empty") and all(t in empty for t in ("qqqzzz", "KOBI", "Risk ≥ 1000"))
    assert "0 / " in pg.text_content("#hx-status")
    pg.click("#hx-empty-clear")
    p.settle()
    assert pg.text_content("#hx-status").startswith("Yükleme tamamlandı")
    assert p.errors == []


# ------------------------------------------------------------------ the watch list survives the next night
def _next_night(doc):
    """The same borrowers rendered again with another creation time and row count."""
    doc = copy.deepcopy(doc)
    doc["meta"]["generated_at"] = "2099-01-02T03:04:05"
    doc["rows"] = doc["rows"][:-1]
    path = OUT / "json" / "next_night.json"
    path.write_text(json.dumps(doc, ensure_ascii=False), encoding="utf-8")
    os.environ["HALVEX_JS_DIR"] = str(OUT / "no_js")
    try:
        return vitrum.render_html(str(path), output_html=str(OUT / "next_night" / "standard.html"), top_n=100)["html_path"]
    finally:
        del os.environ["HALVEX_JS_DIR"]


def _open_in(ctx, path):
    pg = ctx.new_page()
    pg.goto(Path(path).as_uri())
    pg.wait_for_function("window.__halvex && window.__halvex.allDecodedAt !== null", timeout=30000)
    pg.evaluate("() => new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")
    return pg


def test_stars_are_kept_by_customer_number_across_renders_and_pages(dash, open_page, tmp_path):
    p = open_page(dash["standard"])
    pg = p.page
    first = p.mutas(1)[0]
    pg.locator("#hx-rows .row:not([hidden]) button.star").nth(0).click()
    assert p.state()["watched"] == [str(first)]
    # tomorrow's page, in another folder with another creation time, shows the star
    tomorrow = _open_in(p.ctx, _next_night(dash["doc"]))
    assert tomorrow.evaluate("window.__halvex.watched") == [str(first)]
    tomorrow.check("#hx-f-watch")
    tomorrow.wait_for_function("window.__halvex.matchedRows === 1")
    # so do the administrator and compressed pages of the same origin
    for name in ("admin", "v300"):
        other = _open_in(p.ctx, dash[name])
        assert other.evaluate("window.__halvex.watched") == [str(first)], name
        other.close()
    # a star set on tomorrow's page reaches the page open beside it
    tomorrow.uncheck("#hx-f-watch")
    tomorrow.wait_for_function("window.__halvex.matchedRows > 1")
    tomorrow.evaluate("() => new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")
    tomorrow.locator("#hx-rows .row:not([hidden]) button.star").nth(1).click()
    pg.wait_for_function("window.__halvex.watched.length === 2")
    # exported as a small file and read on another machine (a fresh browser profile)
    with pg.expect_download() as dl:
        pg.click("#hx-watch-export")
    exported = Path(dl.value.path()).read_text(encoding="utf-8")
    assert sorted(json.loads(exported)["izleme_listesi"]) == sorted(str(m) for m in (first, p.mutas(2)[1]))
    fresh = open_page(dash["v300"])
    (tmp_path / "liste.json").write_text(exported, encoding="utf-8")
    with fresh.page.expect_file_chooser() as fc:
        fresh.page.click("#hx-watch-import")
    fc.value.set_files(str(tmp_path / "liste.json"))
    fresh.page.wait_for_function("window.__halvex.watched.length === 2")
    assert "2 MUTA eklendi" in fresh.page.text_content("#hx-watch-note")
    # a file that is no watch list is refused visibly and changes nothing
    (tmp_path / "bozuk.json").write_text('{"x": 1}', encoding="utf-8")
    with fresh.page.expect_file_chooser() as fc:
        fresh.page.click("#hx-watch-import")
    fc.value.set_files(str(tmp_path / "bozuk.json"))
    fresh.page.wait_for_function("document.getElementById('hx-watch-note').textContent.includes('değişmedi')")
    assert len(fresh.state()["watched"]) == 2
    assert p.errors == [] and fresh.errors == []
