"""The dashboard for keyboard and screen-reader users, on paper, on small screens and zoomed:
focus order and Escape, what is announced, the detail panel's role, print, layout shift,
reflow at 360 CSS px and the contrast of every text in both colour schemes.

    .venv/bin/python -m pytest -q tests/browser/test_page_access.py
"""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from test_dashboard import N, dash, open_page  # noqa: F401  (fixtures; skips without Chromium)

from halvex.pipeline import vitrum
from halvex.sample.scoreboard import make_scoreboard

SHOTS = Path(__file__).resolve().parents[2] / "test_output" / "browser" / "access"
PAGES = ["standard", "admin", "v300"]
BIG_N = 2_500                                          # more rows than a print holds


def _shot(p, name):
    SHOTS.mkdir(parents=True, exist_ok=True)
    p.page.screenshot(path=str(SHOTS / f"{name}.png"))


@pytest.fixture(scope="module")
def big_page(dash):
    folder = SHOTS / "big"
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / "scoreboard.json"
    path.write_text(json.dumps(make_scoreboard(BIG_N, seed=5), ensure_ascii=False), encoding="utf-8")
    return vitrum.render_html(str(path), output_html=str(folder / "standard.html"), top_n=100)["html_path"]


def _active(pg) -> str:
    return pg.evaluate("""() => { const a = document.activeElement;
        return a.id || (a.dataset && a.dataset.col ? 'col:' + a.dataset.col : a.tagName); }""")


# ------------------------------------------------------------------ keyboard
def test_escape_closes_every_dropdown_and_the_column_panel_and_gives_the_focus_back(dash, open_page):
    p = open_page(dash["standard"])
    pg = p.page
    for box in ("hx-f-seg", "hx-f-band", "hx-f-bolge", "hx-f-sube"):
        pg.focus(f"#{box} summary")
        pg.keyboard.press("Enter")
        assert pg.evaluate("id => document.getElementById(id).open", box)
        pg.focus(f"#{box} .ms-list input")                 # from inside the list too
        pg.keyboard.press("Escape")
        assert not pg.evaluate("id => document.getElementById(id).open", box), box
        assert pg.evaluate("id => document.activeElement === document.querySelector('#' + id + ' summary')", box)
    pg.focus("#hx-cols-btn")
    pg.keyboard.press("Enter")
    assert pg.is_visible("#hx-cols")
    pg.focus("#hx-cols input[type=checkbox]")
    pg.keyboard.press("Escape")
    assert pg.is_hidden("#hx-cols")
    assert _active(pg) == "hx-cols-btn" and pg.get_attribute("#hx-cols-btn", "aria-expanded") == "false"


def test_filters_sorts_and_loading_are_announced_politely(dash, open_page):
    p = open_page(dash["standard"])
    pg = p.page
    live = pg.locator("#hx-announce")
    assert live.get_attribute("aria-live") == "polite"
    # the status line changes a few times a second while loading: it is not a live region
    assert pg.get_attribute("#hx-status", "role") is None and pg.get_attribute("#hx-status", "aria-live") is None
    pg.wait_for_function("document.getElementById('hx-announce').textContent.includes('800')")
    assert "yüklendi" in live.text_content()
    p.select("hx-f-seg", "KOBI")
    kobi = sum(1 for r in dash["rows"] if r.get("segment") == "KOBI")
    pg.wait_for_function("n => document.getElementById('hx-announce').textContent.includes(n + ' firma')", arg=str(kobi))
    # the risk header shows the renderer's order as descending: a click reverses what it shows
    pg.click("#hx-head [data-col=risk]")
    pg.wait_for_function("document.getElementById('hx-announce').textContent.includes('Risk (mio TL)')")
    assert "artan" in live.text_content() and str(kobi) in live.text_content()
    pg.click("#hx-head [data-col=risk]")
    pg.wait_for_function("document.getElementById('hx-announce').textContent.includes('azalan')")


def test_column_headers_come_before_the_rows_in_tab_order(dash, open_page):
    p = open_page(dash["standard"])
    pg = p.page
    pg.focus("#hx-clear")                                  # the last filter control
    pg.keyboard.press("Tab")
    assert _active(pg) == "col:muta"                       # one stop for the header row...
    pg.keyboard.press("ArrowRight")
    assert _active(pg) == "col:unvan"                      # ...whose headers the arrows walk
    pg.keyboard.press("Enter")
    assert pg.get_attribute("#hx-head [data-col=unvan]", "aria-sort") == "ascending"
    pg.keyboard.press("Tab")
    assert _active(pg) == "hx-grid"                        # then the rows
    pg.keyboard.press("ArrowDown")
    assert p.state()["cursor"] == 1
    pg.keyboard.press("Shift+Tab")
    assert _active(pg) == "col:unvan"
    pg.keyboard.press("Shift+Tab")
    assert _active(pg) == "hx-clear"
    # back from after the grid: the rows first
    pg.focus("#hx-sankey-span")
    pg.keyboard.press("Shift+Tab")
    assert _active(pg) == "hx-grid"


@pytest.mark.parametrize("chart", ["hx-snapshot", "hx-sankey"])
def test_chart_filters_are_reachable_and_work_by_keyboard(dash, open_page, chart):
    p = open_page(dash["standard"])
    pg = p.page
    pg.locator("#hx-panels").scroll_into_view_if_needed()
    pg.wait_for_function("window.__halvex.chartRows === 800")
    stops = pg.eval_on_selector_all(f"#{chart} .pick", "ps => ps.filter(x => x.tabIndex === 0).length")
    assert stops == 1                                      # one tab stop a chart, arrows inside
    first = pg.locator(f"#{chart} .pick[tabindex='0']")
    first_label = first.get_attribute("aria-label")
    assert first.get_attribute("role") == "button" and first_label
    first.focus()
    pg.keyboard.press("ArrowRight")
    label = pg.evaluate("document.activeElement.getAttribute('aria-label')")
    assert label and label != first_label
    want = int(label.split(": ")[1].split(" ")[0].replace(".", ""))
    pg.keyboard.press("Enter")
    p.settle()
    assert p.state()["matchedRows"] == want
    assert pg.is_visible("#hx-chart-filter")
    # the charts are drawn again for the rows in view; the focus stays in the chart
    pg.wait_for_function("n => window.__halvex.chartRows === n", arg=want)
    assert pg.evaluate("id => document.getElementById(id).contains(document.activeElement)", chart)


def test_detail_is_a_dialog_only_where_it_covers_the_page(dash, open_page):
    # wide: beside the list, a complementary region; the list stays usable
    p = open_page(dash["standard"], size=(1440, 900))
    pg = p.page
    pg.focus("#hx-grid")
    pg.keyboard.press("Enter")
    p.settle()
    assert pg.get_attribute("#hx-detail", "role") == "complementary"
    assert pg.get_attribute("#hx-detail", "aria-modal") is None
    grid, aside = pg.evaluate("['hx-grid', 'hx-detail'].map(id => document.getElementById(id).getBoundingClientRect().toJSON())")
    assert grid["right"] <= aside["left"] and aside["right"] <= 1440
    assert aside["top"] == pytest.approx(grid["top"], abs=1) and aside["bottom"] == pytest.approx(grid["bottom"], abs=1)
    assert not pg.evaluate("document.querySelector('main').inert")
    _shot(p, "detail_beside_1440")
    pg.keyboard.press("Escape")
    assert pg.is_hidden("#hx-detail") and _active(pg) == "hx-grid"
    # narrow: over the page, a modal dialog that keeps the focus
    for size in [(1024, 700), (360, 740)]:
        p = open_page(dash["admin"], size=size)
        pg = p.page
        pg.focus("#hx-grid")
        pg.keyboard.press("Enter")
        p.settle()
        assert pg.get_attribute("#hx-detail", "role") == "dialog"
        assert pg.get_attribute("#hx-detail", "aria-modal") == "true"
        assert pg.evaluate("document.querySelector('main').inert")
        for _ in range(12):
            pg.keyboard.press("Tab")
            assert pg.evaluate("document.getElementById('hx-detail').contains(document.activeElement)")
        # its charts fit the panel's width
        assert pg.eval_on_selector_all("#hx-detail svg.hist", """s => s.map(x => x.getBoundingClientRect().right)
            .every(r => r <= document.getElementById('hx-detail').getBoundingClientRect().left
                             + document.getElementById('hx-detail').clientWidth)""")
        _shot(p, f"detail_dialog_{size[0]}")
        pg.keyboard.press("Escape")
        assert pg.is_hidden("#hx-detail") and _active(pg) == "hx-grid"
        assert not pg.evaluate("document.querySelector('main').inert")


# ------------------------------------------------------------------ print
def _print(p):
    p.page.set_viewport_size({"width": 1047, "height": 718})
    p.page.emulate_media(media="print")
    p.settle()


def test_print_is_light_lists_every_column_and_never_cuts_the_customer_number(dash, open_page):
    p = open_page(dash["admin"], dark=True)
    pg = p.page
    p.select("hx-f-seg", "KOBI")
    columns = p.state()["columns"]
    titles = pg.eval_on_selector_all("#hx-head .c .t", "ts => ts.map(t => t.textContent)")
    _print(p)
    assert pg.evaluate("getComputedStyle(document.body).backgroundColor") in ("rgb(255, 255, 255)", "rgba(0, 0, 0, 0)")
    ink = pg.evaluate("[getComputedStyle(document.querySelector('#hx-print td')).color, "
                      "getComputedStyle(document.getElementById('hx-title')).color]")
    assert all(_luminance(c) < 0.1 for c in ink), ink      # dark text on white paper
    assert pg.eval_on_selector_all("#hx-print thead th", "ts => ts.map(t => t.textContent)") == titles
    assert len(titles) == len(columns)
    assert pg.eval_on_selector_all("#hx-print tbody tr:first-child svg.spark", "s => s.length") == 1
    cut = pg.eval_on_selector_all("#hx-print tbody tr", """rs => rs.map(r => r.cells[0])
        .filter(c => c.scrollWidth > c.clientWidth).map(c => c.textContent)""")
    assert cut == []
    assert pg.evaluate("document.querySelector('#hx-print table').scrollWidth") <= 1047
    pg.pdf(path=str(SHOTS / "print_dark_scheme.pdf"))


def test_print_counts_and_filters_match_the_screen(dash, open_page, big_page):
    p = open_page(dash["standard"])
    pg = p.page
    p.select("hx-f-seg", "KOBI")
    screen = {k: pg.text_content(f"#hx-{k}") for k in ("total", "matched")}
    _print(p)
    summary = pg.text_content("#hx-print .print-sum")
    assert "Segment: KOBI" in summary
    assert "Sıralama: Risk (mio TL) ▼ (varsayılan)" in summary   # as the risk header shows it
    assert f"Toplam: {screen['total']}" in summary and f"Eşleşen: {screen['matched']}" in summary
    matched = p.state()["matchedRows"]
    assert pg.eval_on_selector_all("#hx-print tbody tr", "rs => rs.length") == matched
    assert pg.is_hidden(".bar .counts")                     # one set of counts on paper
    assert pg.locator("#hx-print .print-more").count() == 0
    # more rows than a print holds: the first 2,000 and a line naming the total
    p = open_page(big_page)
    pg = p.page
    _print(p)
    assert pg.eval_on_selector_all("#hx-print tbody tr", "rs => rs.length") == 2000
    more = pg.text_content("#hx-print .print-more")
    assert "2.000" in more and "2.500" in more


# ------------------------------------------------------------------ layout shift
CLS_OBSERVER = """
window.__shifts = [];
new PerformanceObserver(list => { for (const e of list.getEntries())
    window.__shifts.push({v: e.value, input: e.hadRecentInput}); }).observe({type: 'layout-shift', buffered: true});
"""


def _cls(pg) -> tuple[float, float]:
    """Layout shift since the last call: without the shifts right after input (the
    measure of Web Vitals) and all of them."""
    got = pg.evaluate("() => { const s = window.__shifts; window.__shifts = []; return s; }")
    return sum(s["v"] for s in got if not s["input"]), sum(s["v"] for s in got)


@pytest.mark.parametrize("name", PAGES)
@pytest.mark.parametrize("size", [(1440, 900), (1024, 700)], ids=lambda s: f"{s[0]}x{s[1]}")
def test_no_layout_shift_on_load_filter_and_export(dash, open_page, name, size):
    p = open_page(dash[name], size=size, init_script=CLS_OBSERVER)
    pg = p.page
    pg.wait_for_timeout(300)
    load = _cls(pg)
    assert load[0] < 0.1, load
    # filters, some with no row left, also when they come from the URL
    p.select("hx-f-seg", "KOBI")
    p.search("zzzz yok böyle firma")
    pg.wait_for_timeout(300)
    pg.evaluate("location.hash = ''")
    pg.wait_for_timeout(300)
    filt = _cls(pg)
    assert filt[1] < 0.1, filt
    with pg.expect_download():
        pg.click("#hx-csv")
    pg.wait_for_timeout(300)
    export = _cls(pg)
    assert export[1] < 0.1, export


@pytest.mark.parametrize("size", [(1440, 900), (1024, 700), (360, 740)], ids=lambda s: f"{s[0]}px")
def test_a_refused_number_and_the_watch_list_notes_move_nothing(dash, open_page, size):
    p = open_page(dash["standard"], size=size, init_script=CLS_OBSERVER)
    pg = p.page
    grid_top = "document.getElementById('hx-grid').getBoundingClientRect().top"
    top = pg.evaluate(grid_top)
    _cls(pg)
    pg.fill("#hx-f-risk", "1,2,3")
    pg.press("#hx-f-risk", "Enter")
    assert pg.is_visible("#hx-num-err")
    with pg.expect_download():
        pg.click("#hx-watch-export")
    assert "indirildi" in pg.text_content("#hx-watch-note")
    pg.wait_for_timeout(300)
    assert pg.evaluate(grid_top) == top
    assert _cls(pg)[1] < 0.01
    # the error line is in the window and is not covered by the grid
    box = pg.evaluate("document.getElementById('hx-num-err').getBoundingClientRect().toJSON()")
    assert 0 <= box["left"] and box["right"] <= size[0] + 0.5
    assert pg.evaluate("""(() => { const r = document.getElementById('hx-num-err').getBoundingClientRect();
        return document.getElementById('hx-num-err').contains(document.elementFromPoint(r.left + 4, r.top + r.height / 2)); })()""")
    _shot(p, f"number_error_{size[0]}")


@pytest.mark.parametrize("name", ["admin", "v300"])
def test_no_layout_shift_on_a_slow_load(dash, browser, name):
    """A slow machine paints the page's markup before its script has run: the script's
    texts, widths and hidden controls must not move what was painted."""
    ctx = browser.new_context(viewport={"width": 1024, "height": 700})
    try:
        pg = ctx.new_page()
        pg.add_init_script(CLS_OBSERVER)
        ctx.new_cdp_session(pg).send("Emulation.setCPUThrottlingRate", {"rate": 20})
        for _ in range(2):                             # when the first paint comes varies
            pg.goto(Path(dash[name]).as_uri())
            pg.wait_for_function("window.__halvex && window.__halvex.allDecodedAt !== null", timeout=60000)
            pg.wait_for_timeout(500)
            load = _cls(pg)
            assert load[0] < 0.1, load
    finally:
        ctx.close()


# ------------------------------------------------------------------ small screens and zoom
@pytest.mark.parametrize("name", PAGES)
@pytest.mark.parametrize("zoom", [1, 4], ids=["360px", "zoom400"])
def test_nothing_is_cut_at_360_css_px_and_400_percent_zoom(dash, browser, name, zoom):
    # 400 % zoom of a 1440 x 900 window: 360 x 225 CSS px on four device pixels each
    ctx = browser.new_context(viewport={"width": 360, "height": 900 // zoom if zoom > 1 else 740},
                              device_scale_factor=zoom)
    try:
        pg = ctx.new_page()
        pg.goto(Path(dash[name]).as_uri())
        pg.wait_for_function("window.__halvex && window.__halvex.allDecodedAt !== null", timeout=30000)
        pg.wait_for_timeout(200)
        if zoom == 1:
            pg.screenshot(path=str(SHOTS / f"{name}_360.png"))
        page_fits = "document.documentElement.scrollWidth <= innerWidth"
        assert pg.evaluate(page_fits), pg.evaluate("document.documentElement.scrollWidth")
        # every control of the header and the bars within the width
        out = pg.evaluate("""() => [...document.querySelectorAll('header.top *, .bar > *, .bar label, .bar summary')]
            .filter(e => e.getClientRects().length && !e.closest('details:not([open]) .ms-list')).map(e => [e.id || e.className || e.tagName, e.getBoundingClientRect().right])
            .filter(([, r]) => r > innerWidth + 0.5)""")
        assert out == []
        assert pg.evaluate("(s => s.scrollWidth <= s.clientWidth)(document.getElementById('hx-status'))")
        # the pinned columns let go: the grid's width is for scrolling, not for two columns
        assert pg.eval_on_selector_all("#hx-head .c.stick", "s => s.length") == 0
        grid_w = pg.evaluate("document.getElementById('hx-grid').clientWidth")
        pg.evaluate("document.getElementById('hx-grid').scrollLeft = 200")
        pg.wait_for_timeout(100)
        assert pg.evaluate("document.querySelector('#hx-head [data-col=muta]').getBoundingClientRect().right") < 200
        assert grid_w > 200
        # an open list and the column panel stay inside the page too
        for box in ("hx-f-seg", "hx-f-band") + (("hx-f-sube",) if name != "v300" else ()):
            pg.click(f"#{box} summary")
            assert pg.evaluate(page_fits), box
            right = pg.evaluate("id => document.querySelector('#' + id + ' .ms-list').getBoundingClientRect().right", box)
            assert right <= 360.5, box
            pg.keyboard.press("Escape")
        pg.click("#hx-cols-btn")
        assert pg.evaluate(page_fits)
        # a wider window pins them again: the layout (and the URL) never changed
        pg.set_viewport_size({"width": 1440, "height": 900})
        pg.wait_for_timeout(100)
        assert pg.eval_on_selector_all("#hx-head .c.stick", "s => s.map(x => x.dataset.col)") == ["muta", "unvan"]
        assert "sabit" not in pg.evaluate("location.hash")
    finally:
        ctx.close()


# ------------------------------------------------------------------ contrast
def _luminance(rgb: str) -> float:
    vals = [float(x) for x in rgb[rgb.index("(") + 1:rgb.index(")")].split(",")[:3]]
    lin = [v / 255 / 12.92 if v / 255 <= 0.03928 else ((v / 255 + 0.055) / 1.055) ** 2.4 for v in vals]
    return 0.2126 * lin[0] + 0.7152 * lin[1] + 0.0722 * lin[2]


# Every element with text of its own (SVG text too), shown and not clipped away: its colour
# against the first opaque background behind it (the ancestors' backgrounds, composed).
CONTRAST = """() => {
  const parse = c => { const m = c.match(/[\\d.]+/g); return m ? m.map(Number).concat(m.length < 4 ? [1] : []) : [0, 0, 0, 0]; };
  const lum = ([r, g, b]) => { const f = v => { v /= 255; return v <= 0.03928 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4); };
                               return 0.2126 * f(r) + 0.7152 * f(g) + 0.0722 * f(b); };
  const over = (top, under) => { const a = top[3]; return [0, 1, 2].map(k => top[k] * a + under[k] * (1 - a)).concat([1]); };
  function background(e) {
    const layers = [];
    for (let x = e; x && x.nodeType === 1; x = x.parentElement) {
      const c = parse(getComputedStyle(x).backgroundColor);
      if (c[3] > 0) { layers.push(c); if (c[3] >= 1) break; }
    }
    let bg = [255, 255, 255, 1];
    for (let k = layers.length - 1; k >= 0; k--) bg = over(layers[k], bg);
    return bg;
  }
  const bad = [];
  for (const e of document.querySelectorAll('body *')) {
    if (!Array.from(e.childNodes).some(n => n.nodeType === 3 && n.data.trim())) continue;
    if (e.closest('script, style, title, option, .sr-only, [hidden]')) continue;
    const r = e.getBoundingClientRect(), st = getComputedStyle(e);
    if (r.width < 2 || r.height < 2 || st.visibility !== 'visible' || st.display === 'none') continue;
    const svgText = e instanceof SVGElement;
    const fg = parse(svgText ? st.fill : st.color), bg = background(e);
    const fgc = over(fg, bg);
    const L1 = lum(fgc), L2 = lum(bg), ratio = (Math.max(L1, L2) + 0.05) / (Math.min(L1, L2) + 0.05);
    if (ratio < 4.5) bad.push([e.textContent.trim().slice(0, 30), e.className && e.className.baseVal !== undefined ? e.className.baseVal : e.className,
                              Math.round(ratio * 100) / 100]);
  }
  return bad;
}"""


@pytest.mark.parametrize("name", PAGES)
@pytest.mark.parametrize("dark", [False, True], ids=["light", "dark"])
def test_every_text_has_a_contrast_of_at_least_4_5(dash, open_page, name, dark):
    p = open_page(dash[name], dark=dark)
    pg = p.page
    p.search("a")                                          # marked matches
    pg.locator("#hx-panels").scroll_into_view_if_needed()
    pg.wait_for_timeout(300)
    assert pg.evaluate(CONTRAST) == []
    pg.click("#hx-cols-btn")
    pg.click("#hx-f-band summary")
    assert pg.evaluate(CONTRAST) == []
    pg.keyboard.press("Escape")
    pg.click("#hx-cols-btn")
    # a borrower with diagnostic groups, in the detail panel
    pg.evaluate("""() => { const r = [...document.querySelectorAll('#hx-rows .row:not([hidden])')]
        .find(r => r.querySelector('.dg')) || document.querySelector('#hx-rows .row'); r.click(); }""")
    p.settle()
    if name != "v300":
        assert pg.locator("#hx-detail .dg").count() > 0
    assert pg.evaluate(CONTRAST) == []
    _shot(p, f"contrast_{name}_{'dark' if dark else 'light'}")
