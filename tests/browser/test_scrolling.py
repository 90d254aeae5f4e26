"""Scrolling a long grid: a frame fills only the rows that come into view, and what the
grid ends up showing is what a full redraw shows.

A 50,000-row standard page (every row shown) is rendered into test_output/browser/scroll/.
Timings on a shared machine are noisy, so the checks count the rows each frame fills; the
long-task check only has a bound far above the target (the benchmark,
benchmarks/bench_browser.py, measures the real figures at a million rows).

    .venv/bin/python -m pytest -q tests/browser/test_scrolling.py
"""

from __future__ import annotations

from pathlib import Path

import pytest

from test_pages import CHROMIUM, Page, write_document  # noqa: F401  (skips without Chromium)

from halvex.pipeline import vitrum
from halvex.sample.scoreboard import make_scoreboard

OUT = Path(__file__).resolve().parents[2] / "test_output" / "browser" / "scroll"
N = 50_000
ROW_H = 28
OVERSCAN = 6
# a frame while scrolling: the target is 50 ms; this bound only catches work that grows with
# the row count (a re-sort or a full pass per frame), which takes seconds at this size
LONG_TASK_BOUND_MS = 2500


@pytest.fixture(scope="module")
def page_path():
    path = write_document(OUT, make_scoreboard(N, n_periods=12, n_risk_periods=3, seed=21))
    (OUT / "no_js").mkdir(exist_ok=True)
    with pytest.MonkeyPatch.context() as env:
        env.setenv("HALVEX_JS_DIR", str(OUT / "no_js"))
        return vitrum.render_html(str(path), output_html=str(OUT / "standard.html"))["html_path"]


@pytest.fixture
def grid(browser, page_path):
    p = Page(browser, page_path)
    p.page.evaluate("document.getElementById('hx-show-all').click()")
    p.settle()
    assert p.state()["shownRows"] == N
    yield p
    p.close()


def _scroll_to(p, top):
    p.page.evaluate("t => { document.getElementById('hx-grid').scrollTop = t; }", top)
    p.settle()


def _quiet(p):
    """Waits until the grid has finished filling (the deferred rows and cells): no frame drawn
    for ten frames in a row."""
    p.page.evaluate("""async () => {
        const frame = () => new Promise(r => requestAnimationFrame(r));
        let seen = -1, still = 0;
        while (still < 10) { await frame(); const n = window.__halvex.draws; still = n === seen ? still + 1 : 0; seen = n; } }""")


def _cells(p):
    """Every shown row's cells: text and tooltip, in grid order."""
    return p.page.eval_on_selector_all(
        "#hx-rows .row:not([hidden])",
        "rs => rs.map(r => [r.getAttribute('aria-rowindex'), r.className,"
        "                   Array.from(r.querySelectorAll('[role=gridcell]'), c => [c.textContent, c.title, c.className])])")


def _filled_since(p, mark):
    return p.page.evaluate("m => window.__halvex.rowsFilled.slice(m)", mark)


def _mark(p):
    p.page.evaluate("window.__halvex.rowsFilled.length = 0")
    return 0


def test_a_few_rows_scrolled_fill_only_those_rows(grid):
    _scroll_to(grid, 200 * ROW_H)
    _quiet(grid)
    mark = _mark(grid)
    for k in range(1, 11):
        grid.page.evaluate("t => { document.getElementById('hx-grid').scrollTop = t; }", (200 + 3 * k) * ROW_H)
        grid.settle()
    _quiet(grid)
    filled = _filled_since(grid, mark)
    # three rows come into view per step; the rows still in view are kept as they are
    assert max(filled) <= 3, filled
    assert sum(filled) == 30, filled


def test_a_jump_fills_the_visible_rows_first_then_the_rest(grid):
    visible = grid.page.evaluate("""() => { const g = document.getElementById('hx-grid');
        return Math.ceil((g.clientHeight - document.getElementById('hx-head').offsetHeight) / 28); }""")
    mark = _mark(grid)
    _scroll_to(grid, 20_000 * ROW_H)
    _quiet(grid)
    filled = [f for f in _filled_since(grid, mark) if f]
    assert filled[0] <= visible + 1, filled
    assert sum(filled) <= visible + 1 + 2 * OVERSCAN, filled
    # the rows shown are the view's, in order
    shown = grid.page.eval_on_selector_all("#hx-rows .row:not([hidden])", "rs => rs.map(r => r.querySelectorAll('[role=gridcell]')[0].textContent)")
    first = 20_000 - OVERSCAN
    want = grid.page.evaluate("([a, b]) => window.__halvex.viewMutas(b).slice(a).map(String)", [first, first + len(shown)])
    assert shown == want


def test_scrolled_rows_show_what_a_full_redraw_shows(grid):
    # jumps down and across and back, a few rows up, with no time to finish in between
    grid.page.evaluate("""async () => {
        const g = document.getElementById('hx-grid'), frame = () => new Promise(r => requestAnimationFrame(r));
        for (const [top, left] of [[9000, 0], [31000, 900], [31000, 0], [30990, 0], [12345, 2000], [12340, 300]]) {
          g.scrollTop = top * 28; g.scrollLeft = left; await frame(); } }""")
    _quiet(grid)
    scrolled = _cells(grid)
    assert len(scrolled) > 20
    # a resize draws every row again from scratch
    grid.page.evaluate("window.dispatchEvent(new Event('resize'))")
    _quiet(grid)
    assert _cells(grid) == scrolled
    # rows keep their stripes by position in the view
    odd = [r[1].split().count("alt") == 1 for r in scrolled]
    assert odd == [int(r[0]) % 2 == 1 for r in scrolled]


def test_no_long_task_grows_with_the_row_count_while_scrolling(grid):
    longest = grid.page.evaluate("""async () => {
        const g = document.getElementById('hx-grid'); let longest = 0;
        const obs = new PerformanceObserver(l => { for (const e of l.getEntries()) longest = Math.max(longest, e.duration); });
        obs.observe({ type: 'longtask' });
        for (let k = 0; k <= 40; k++) {
          g.scrollTop = (g.scrollHeight - g.clientHeight) * k / 40;
          await new Promise(r => requestAnimationFrame(r));
        }
        await new Promise(r => setTimeout(r, 300));
        obs.disconnect();
        return longest; }""")
    assert longest < LONG_TASK_BOUND_MS


def test_chunks_arriving_after_the_shown_rows_draw_no_frames(browser, tmp_path):
    """With the first rows shown (the default limit), a chunk that arrives changes nothing the
    grid draws: the frames drawn while loading do not follow the number of chunks."""
    path = write_document(tmp_path, make_scoreboard(12_000, seed=4), reference=False)
    html = vitrum.render_html(str(path), output_html=str(tmp_path / "many_chunks.html"), chunk_size=100)
    assert html["chunks"] == 120
    p = Page(browser, html["html_path"])
    try:
        st = p.state()
        assert st["loadedRows"] == 12_000 and st["shownRows"] == 100
        # the first rows, the cells out of view a few rows a frame, and the final redraw
        assert st["draws"] <= 10, st["rowsFilled"]
        assert p.grid_mutas() == [str(m) for m in p.mutas(100)][:len(p.grid_mutas())]
    finally:
        p.close()


def _misplaced_cells(p):
    """Cells in view across that are hidden or whose margin box (a score chip is narrower than
    its column) does not stand under their column's header, and the number of cells laid out in
    the shown rows."""
    return p.page.evaluate("""() => {
        const box = document.getElementById('hx-grid').getBoundingClientRect(), bad = [];
        const heads = [...document.querySelectorAll('#hx-head [role=columnheader]')];
        let laidOut = 0;
        for (const r of document.querySelectorAll('#hx-rows .row:not([hidden])')) {
          [...r.querySelectorAll('[role=gridcell]')].forEach((c, k) => {
            const h = heads[k].getBoundingClientRect(), b = c.getBoundingClientRect(), st = getComputedStyle(c);
            const ml = parseFloat(st.marginLeft), mr = parseFloat(st.marginRight);
            if (b.width > 0) laidOut++;
            if (h.right <= box.left || h.left >= box.right) return;
            if (c.hidden || Math.abs(b.left - ml - h.left) > 0.5 || Math.abs(b.width + ml + mr - h.width) > 0.5)
              bad.push([r.getAttribute('aria-rowindex'), k, b.left - ml, h.left]);
          });
        }
        return [bad, laidOut, heads.length * document.querySelectorAll('#hx-rows .row:not([hidden])').length]; }""")


def test_cells_in_view_across_stand_under_their_headers(grid):
    # only the cells near the view across are laid out; wherever the grid was scrolled before,
    # those in view stand under their column's header (pinned ones too) and show their row
    seen_fewer = False
    for top, left in [(0, 0), (0, 700), (5000, 700), (5000, 2000), (5000, 100_000), (5003, 350), (40_000, 0)]:
        grid.page.evaluate("([t, l]) => { const g = document.getElementById('hx-grid'); g.scrollTop = t * 28; g.scrollLeft = l; }",
                           [top, left])
        grid.settle()
        bad, laid_out, cells = _misplaced_cells(grid)
        assert bad == [], (top, left, bad[:5])
        seen_fewer |= laid_out < cells
        _quiet(grid)
        assert _misplaced_cells(grid)[0] == []
        shown = _cells(grid)
        grid.page.evaluate("window.dispatchEvent(new Event('resize'))")
        _quiet(grid)
        assert _cells(grid) == shown
    assert seen_fewer
    # on a narrower screen the first cell laid out can be a score chip, placed by its margin
    grid.page.set_viewport_size({"width": 1024, "height": 700})
    leads = set()
    # (cells within 240 px of the view are laid out: scrolled 42 px into a score column's margin)
    score = grid.page.evaluate("document.querySelector('#hx-head [data-col=s11]').offsetLeft")
    for left in (score + 282, score + 362, score + 442):
        grid.page.evaluate("l => { document.getElementById('hx-grid').scrollLeft = l; }", left)
        grid.settle()
        assert _misplaced_cells(grid)[0] == [], left
        leads.add(grid.page.evaluate("""() => { const r = document.querySelector('#hx-rows .row:not([hidden])');
            const cells = [...r.querySelectorAll('[role=gridcell]')].filter(c => !c.hidden);
            return cells.find(c => !c.closest('.pin')).className; }"""))
    assert any("sc-chip" in c for c in leads), leads
    # a column made wider moves the cells after it in every row
    grid.page.evaluate("document.getElementById('hx-grid').scrollLeft = 600")
    grid.settle()
    grid.page.click("#hx-cols-btn")
    width = grid.page.locator("#hx-cols input.num-in").nth(2)
    width.fill("300")
    width.dispatch_event("change")
    grid.settle()
    assert _misplaced_cells(grid)[0] == []


def _pinned_backgrounds(p):
    """Rows whose pinned block does not paint the row's own background: [row index, row, block]."""
    return p.page.evaluate("""() => [...document.querySelectorAll('#hx-rows .row:not([hidden])')].flatMap(r => {
        const bg = getComputedStyle(r).backgroundColor;
        return [...r.querySelectorAll(':scope > .pin')].map(c => getComputedStyle(c).backgroundColor)
          .filter(c => c !== bg).map(c => [r.getAttribute('aria-rowindex'), bg, c]); })""")


@pytest.mark.parametrize("scheme", ["light", "dark"])
def test_pinned_cells_cover_the_cells_under_them_with_their_rows_background(grid, scheme):
    # scrolled across, the pinned cells cover the others: striped, hovered and selected rows
    # alike, in both colour schemes
    grid.page.emulate_media(color_scheme=scheme)
    grid.page.evaluate("() => { const g = document.getElementById('hx-grid'); g.scrollTop = 777 * 28; g.scrollLeft = 500; }")
    _quiet(grid)
    assert len(grid.page.eval_on_selector_all("#hx-rows .row:not([hidden]) > .pin > .stick", "cs => cs")) > 20
    rows = grid.page.locator("#hx-rows .row:not([hidden])")
    rows.nth(3).locator(".c:not(.stick):not([hidden])").first.hover()
    assert "row" in grid.page.evaluate("document.querySelector('#hx-rows .row:hover').className")
    assert _pinned_backgrounds(grid) == []
    rows.nth(6).locator(".c.stick").first.click()
    _quiet(grid)
    assert grid.page.locator("#hx-rows .row.sel").count() == 1
    rows.nth(6).locator(".c.stick").first.hover()
    assert _pinned_backgrounds(grid) == []
    # the stripes differ, so a row taking the wrong one is seen
    colours = grid.page.evaluate("""() => [...document.querySelectorAll('#hx-rows .row:not([hidden]):not(.sel)')]
        .map(r => getComputedStyle(r).backgroundColor)""")
    assert len(set(colours)) >= 2
