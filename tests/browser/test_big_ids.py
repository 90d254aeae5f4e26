"""Customer numbers beyond 2^53 on the three pages (standard, administrator, compressed) in
headless Chromium: numbers that JSON.parse would read as one (9007199254740992 and ...993)
stay two borrowers, with their own number in the grid, the detail panel, the findings, the
watch list, the search, the sort and the CSV.

    .venv/bin/python -m pytest -q tests/browser/test_big_ids.py
"""

from __future__ import annotations

from pathlib import Path

import pytest

from chromium import CHROMIUM, require  # noqa: E402

sync_api = require()

from halvex.pipeline import vitrum  # noqa: E402
from halvex.sample.scoreboard import make_scoreboard  # noqa: E402
from test_pages import csv_export, write_document  # noqa: E402

OUT = Path(__file__).resolve().parents[2] / "test_output" / "browser" / "big_ids"
CHUNK = 150                        # several chunks, so that workers decode them
PERIOD = "2025-09"
# 16 to 23 digits: pairs a double cannot tell apart, 2^64 and past it, the largest safe
# integer and its neighbour, one negative
BIG = [9007199254740991, 9007199254740992, 9007199254740993, 9007199254740994,
       1234567890123457, 12345678901234567, 123456789012345678, 9223372036854775808,
       18446744073709551616, 18446744073709551617, 99999999999999999999,
       12345678901234567890123, -9007199254740995]
# each big number's own findings: group (standard page letters) and criterion (administrator)
FINDINGS = {9007199254740992: ("gecikme", "Gecikme"), 9007199254740993: ("icra", "İcra / Takip"),
            18446744073709551616: ("ortak", "Ortak / Grup Riski"), 18446744073709551617: ("yasal", "Yasal Süreçler")}


def _document():
    doc = make_scoreboard(600, seed=5)
    doc["meta"]["donemler"] = doc["meta"]["donemler"][-2:]
    doc["meta"]["risk_donemler"] = doc["meta"]["risk_donemler"][-1:]
    rows = doc["rows"]
    # spread over the chunks (the renderer orders rows by risk)
    for k, m in enumerate(BIG):
        rows[k * 45]["muta"] = m
        rows[k * 45]["unvan"] = f"Büyük numara {k}"
    doc["diag_index"] = {
        str(m): {PERIOD: {"bulgular": [{"katman": "RKD", "kriter": f"RKD_KRITER_{k}", "grup": g}], "yeni_gruplar": [g]}}
        for k, (m, (g, _)) in enumerate(FINDINGS.items())}
    return doc


@pytest.fixture(scope="module")
def pages():
    doc = _document()
    path = write_document(OUT, doc, reference=False)
    mutas = [r["muta"] for r in doc["rows"]]
    out = {"mutas": mutas}
    out["standard"] = vitrum.render_html(str(path), output_html=str(OUT / "standard.html"), chunk_size=CHUNK)["html_path"]
    out["admin"] = vitrum.render_html(
        str(path), output_html=str(OUT / "admin.html"), chunk_size=CHUNK,
        extra_data={"page_mode": "admin", "ml_predictions": [{"muta": m, "olasilik": 0.5} for m in BIG]})["html_path"]
    out["v300"] = vitrum.render_html_v300(str(path), output_html=str(OUT / "v300.html"), chunk_size=CHUNK)["html_path"]
    return out


def _open(browser, path, workers=True):
    ctx = browser.new_context(viewport={"width": 1440, "height": 900}, accept_downloads=True)
    page = ctx.new_page()
    errors = []
    page.on("pageerror", lambda e: errors.append(str(e)))
    if not workers:
        page.add_init_script("window.Worker = undefined;")   # the page decodes the chunks itself
    page.goto(Path(path).as_uri())
    page.wait_for_function("window.__halvex && window.__halvex.allDecodedAt !== null", timeout=30000)
    st = page.evaluate("({ failed: window.__halvex.failedChunks, errors: window.__halvex.errors })")
    assert st == {"failed": [], "errors": []} and errors == []
    # the decoder's own source, alone in a worker, decoded the chunks
    assert (page.evaluate("window.__halvex.workers") > 0) == workers
    return ctx, page


def _settle(page):
    page.evaluate("() => new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")


def _search(page, text):
    page.fill("#hx-q", text)
    page.wait_for_function("q => window.__halvex.query === q", arg=text)
    _settle(page)


def _view(page):
    return [str(m) for m in page.evaluate("window.__halvex.viewMutas(1e9)")]


def _grid_mutas(page):
    return page.eval_on_selector_all(
        "#hx-rows .row:not([hidden])", "rs => rs.map(r => r.querySelectorAll('[role=gridcell]')[0].textContent)")


def _csv_mutas(page):
    with page.expect_download() as dl:
        page.click("#hx-csv")
    _, table = csv_export(Path(dl.value.path()).read_bytes().decode("utf-8-sig"))
    assert table[0][0] == "MUTA"
    return [row[0] for row in table[1:]]


@pytest.mark.parametrize("name,workers", [("standard", True), ("admin", True), ("v300", True), ("v300", False)])
def test_each_borrower_keeps_its_own_number(pages, browser, name, workers):
    ctx, page = _open(browser, pages[name], workers)
    try:
        want = [str(m) for m in pages["mutas"]]
        page.evaluate("document.getElementById('hx-show-all').click()")
        assert sorted(_view(page)) == sorted(want)
        # sorted by number, both ways, exactly (ties as doubles settled by the digits)
        for desc in (False, True):
            page.evaluate("d => window.__halvex.sortBy('muta', d)", desc)
            assert _view(page) == [str(m) for m in sorted(pages["mutas"], key=int, reverse=desc)]
        assert sorted(_csv_mutas(page)) == sorted(want)
        for m in BIG:
            text = str(m)
            _search(page, text)
            # the exact one (and those that hold its digits), shown with its own number
            assert sorted(_view(page)) == sorted(x for x in want if text in x)
            assert text in _grid_mutas(page)
            assert page.locator("#hx-rows .row:not([hidden]) mark").first.text_content() == text
            # the column is narrower than the longest numbers: pointing at one shows it whole
            page.wait_for_function(
                "t => [...document.querySelectorAll('#hx-rows .row:not([hidden])')]"
                ".some(r => r.querySelector('[role=gridcell]').title === t)", arg=text, timeout=5000)
    finally:
        ctx.close()


@pytest.mark.parametrize("name", ["standard", "admin", "v300"])
def test_stars_findings_and_detail_follow_the_exact_number(pages, browser, name):
    ctx, page = _open(browser, pages[name])
    try:
        pair = [9007199254740992, 9007199254740993]
        _search(page, str(pair[1]))
        assert _view(page) == [str(pair[1])]
        page.click("#hx-rows .row:not([hidden]) button.star")
        assert page.evaluate("window.__halvex.watched") == [str(pair[1])]
        _search(page, str(pair[0]))
        assert page.get_attribute("#hx-rows .row:not([hidden]) button.star", "aria-pressed") == "false"
        page.check("#hx-f-watch")
        _search(page, "")
        assert _view(page) == [str(pair[1])]
        assert _csv_mutas(page) == [str(pair[1])]
        page.uncheck("#hx-f-watch")
        for m in BIG:
            _search(page, str(m))
            page.click("#hx-rows .row:not([hidden]) >> nth=0")
            detail = page.text_content("#hx-detail")
            assert f"MUTA {m}" in detail
            if name == "v300":
                continue                               # the compressed page carries no findings
            lists = page.locator("#hx-detail ul.findings")
            found = lists.first.text_content() if lists.count() else ""
            for other, (_, title) in FINDINGS.items():
                assert (title in found) == (other == m), (m, other, found)
            if name == "admin" and m in FINDINGS:
                assert f"RKD_KRITER_{list(FINDINGS).index(m)}" in found
            page.click("#hx-detail-close")
        if name == "admin":                            # predictions list the numbers as written
            text = page.text_content("#hx-ml")
            assert all(str(m) in text for m in BIG)
    finally:
        ctx.close()
