"""The dashboard as an analyst works in it: columns in view, numbers, keyboard and screen
readers, sorting and filtering, CSV export, print and the view kept in the URL.

Pages are rendered from a small sample document with a few rows set by hand (names that
look like spreadsheet formulas, amounts on the rounding edges, missing values, two regions
sharing a name) into test_output/browser/dash/. Screenshots at 1440x900 and 1024x700 are
left beside them.

    .venv/bin/python -m pytest -q tests/browser/test_dashboard.py
"""

from __future__ import annotations

import math
from pathlib import Path

import pytest

from test_pages import (CHROMIUM, Page, _last_score, _renderer_order, _score, csv_export,  # noqa: F401
                        fresh_output, write_document)  # noqa: F401  (skips without Chromium)
from oracles import mio

from halvex.pipeline import vitrum
from halvex.sample.scoreboard import make_scoreboard, write_reference_csv

OUT = Path(__file__).resolve().parents[2] / "test_output" / "browser" / "dash"
N = 800
SIZES = [(1440, 900), (1024, 700)]

FORMULAS = ["-2+3+cmd|' /C calc'!A0", "=HYPERLINK(\"http://x\")", "+90 555 1234", "@SUM(A1:A9)",
            "\tTab Ltd.", "\rSatır Başı A.Ş."]
# son_risk in TL -> what both pages show (million TL: whole from one million up, else one
# decimal; 999,999 TL is 1.0 on the standard page, which reads as 1, so both show "1")
AMOUNTS = [(2_500_000, "2"), (3_500_000, "4"), (450_000, "0,5"), (250_000, "0,2"), (999_999, "1"),
           (0, "0,0"), (None, "–"), (12_345_678_901, "12.346")]


def _document():
    doc = make_scoreboard(N, seed=11)
    rows = doc["rows"]
    # hand-set rows get the largest risks, so they come first in the renderer's order
    for k, text in enumerate(FORMULAS):
        rows[k].update(unvan=text, son_risk=9e12 - k * 1e9)
    rows[10].update(unvan="İnşaat Yapı Işık A.Ş.", son_risk=8e12)
    rows[11].update(unvan="Kuzey Insaat Isik Ltd.", son_risk=7.9e12)
    for k, (tl, _) in enumerate(AMOUNTS):
        rows[20 + k]["unvan"] = f"Tutar {k}"
        rows[20 + k]["son_risk"] = tl
    rows[30].update(unvan="Olasılık A", _ml_yi_prob=0.198)
    rows[31].update(unvan="Olasılık B", _ml_yi_prob=0)
    rows[32].update(unvan="")                          # a blank name sorts last both ways
    rows[33].update(unvan="")
    # two region codes and two branch codes that share their names
    for k, (b, s) in enumerate([("R1", "S1"), ("R2", "S2"), ("R1", "S1"), ("R2", "S2")]):
        rows[40 + k].update(bolge_kodu=b, sube_kodu=s, unvan=f"Ortak {k}")
    return doc


def _reference(path, doc):
    write_reference_csv(path, doc)
    with open(path, "a", encoding="utf-8") as fh:
        fh.write("R1,Ortak Bölge,S1,Merkez Şube\nR2,Ortak Bölge,S2,Merkez Şube\n")


@pytest.fixture(scope="module")
def dash():
    fresh_output(OUT)
    doc = _document()
    path = write_document(OUT / "json", doc, reference=False)
    _reference(OUT / "json" / "sube_bolge_ref.csv", doc)
    (OUT / "no_js").mkdir(exist_ok=True)
    with pytest.MonkeyPatch.context() as env:
        env.setenv("HALVEX_JS_DIR", str(OUT / "no_js"))
        out = {"doc": doc, "rows": _renderer_order([dict(r) for r in doc["rows"]])}
        out["standard"] = vitrum.render_html(str(path), output_html=str(OUT / "standard.html"), top_n=100)["html_path"]
        out["admin"] = vitrum.render_html(
            str(path), output_html=str(OUT / "admin.html"), top_n=100,
            extra_data={"page_mode": "admin",
                        "ml_predictions": [{"muta": r["muta"], "olasilik": 0.5 + k / 1000} for k, r in enumerate(doc["rows"][:60])]})["html_path"]
        out["v300"] = vitrum.render_html_v300(str(path), output_html=str(OUT / "v300.html"), top_n=100,
                                              chunk_size=150)["html_path"]
    return out


@pytest.fixture
def open_page(browser):
    opened = []

    def _open(path, size=(1440, 900), dark=False, init_script=None, wait=True):
        p = Page.__new__(Page)
        p.ctx = browser.new_context(viewport={"width": size[0], "height": size[1]}, accept_downloads=True,
                                    color_scheme="dark" if dark else "light")
        p.page = p.ctx.new_page()
        p.errors, p.requests = [], []
        p.page.on("console", lambda m: p.errors.append(m.text) if m.type in ("error", "warning") else None)
        p.page.on("pageerror", lambda e: p.errors.append(str(e)))
        if init_script:
            p.page.add_init_script(init_script)
        opened.append(p)
        p.page.goto(Path(path).as_uri() if "#" not in str(path) else "file://" + str(path))
        if wait:
            p.page.wait_for_function("window.__halvex && window.__halvex.allDecodedAt !== null", timeout=30000)
            p.settle()
        return p
    yield _open
    for p in opened:
        p.close()


def _shot(p, name):
    p.page.screenshot(path=str(OUT / f"{name}.png"))


def _header_rects(p):
    return p.page.evaluate("""() => Object.fromEntries([...document.querySelectorAll('#hx-head .c')].map(h => {
        const r = h.getBoundingClientRect(); return [h.dataset.col, {l: r.left, r: r.right, h: r.height,
        lines: h.querySelector('.t').getClientRects().length}]; }))""")


# ------------------------------------------------------------------ decisions in view
@pytest.mark.parametrize("name", ["standard", "admin", "v300"])
@pytest.mark.parametrize("size", SIZES, ids=lambda s: f"{s[0]}x{s[1]}")
def test_decision_columns_in_view_and_screenshots(dash, open_page, name, size):
    p = open_page(dash[name], size=size)
    _shot(p, f"{name}_{size[0]}")
    assert p.errors == []
    cols = p.state()["columns"]
    P = len(dash["doc"]["meta"]["donemler"])
    # who and where first (segment, region, branch), then the decision columns
    decision = (["muta", "unvan", "segment"] + (["bolge", "sube"] if name != "v300" else []) +
                [f"s{P - 1}", "delta", "risk"] + (["ml", "marks"] if name != "v300" else []))
    assert cols[:len(decision)] == decision
    # then the older periods, newest first
    older = [c for c in cols if c.startswith("s") and c[1:].isdigit()][1:]
    assert older == [f"s{k}" for k in range(P - 2, -1, -1)]
    rects = _header_rects(p)
    grid_right = p.page.evaluate("document.getElementById('hx-grid').getBoundingClientRect().right")
    if size[0] == 1440:
        assert all(rects[c]["r"] <= grid_right for c in decision), "decision columns need no scrolling at 1440 px"
    # period headers stay on one line (no break at the hyphen)
    assert all(rects[f"s{k}"]["lines"] == 1 for k in range(P))
    # dark mode follows the system setting
    dark = open_page(dash[name], size=size, dark=True)
    _shot(dark, f"{name}_{size[0]}_dark")
    bg = dark.page.evaluate("getComputedStyle(document.body).backgroundColor")
    assert bg != p.page.evaluate("getComputedStyle(document.body).backgroundColor")


def test_pinned_columns_keep_their_place_while_the_rest_scroll(dash, open_page):
    p = open_page(dash["standard"], size=(1024, 700))
    p.page.evaluate("document.getElementById('hx-grid').scrollLeft = 600")
    p.settle()
    rects = _header_rects(p)
    grid_left = p.page.evaluate("document.getElementById('hx-grid').getBoundingClientRect().left")
    assert rects["muta"]["l"] == pytest.approx(grid_left + 1, abs=2)
    assert rects["unvan"]["l"] == pytest.approx(rects["muta"]["r"], abs=1)
    # a scrolled column that reaches the pinned area lies under them: the pinned cell is on top
    x, y = rects["unvan"]["l"] + 20, p.page.evaluate("document.querySelector('#hx-rows .row').getBoundingClientRect().top + 10")
    top = p.page.evaluate("([x, y]) => document.elementFromPoint(x, y).closest('.c').getAttribute('aria-colindex')", [x, y])
    assert top == "2"
    _shot(p, "pinned_scrolled_1024")


def test_column_chooser_hides_reorders_resizes_and_pins(dash, open_page):
    p = open_page(dash["standard"])
    p.page.click("#hx-cols-btn")
    assert p.page.is_visible("#hx-cols")
    _shot(p, "column_chooser_1440")
    p.page.uncheck("#hx-cols input[aria-label='Segment göster']")
    assert "segment" not in p.state()["columns"]
    before = p.state()["columns"]
    k = before.index("risk")
    p.page.click("#hx-cols button[aria-label='Risk (mio TL) yukarı']")
    after = p.state()["columns"]
    assert after[k - 1] == "risk" and after[k] == before[k - 1]
    p.page.fill("#hx-cols input[aria-label='Unvan genişliği']", "180")
    p.page.dispatch_event("#hx-cols input[aria-label='Unvan genişliği']", "change")
    p.settle()
    assert _header_rects(p)["unvan"]["r"] - _header_rects(p)["unvan"]["l"] == pytest.approx(180, abs=1)
    # pinning a column moves it in front of the unpinned ones
    p.page.check("#hx-cols input[aria-label='Risk (mio TL) sabitle']")
    cols = p.state()["columns"]
    assert cols.index("risk") < cols.index(f"s{len(dash['doc']['meta']['donemler']) - 1}")
    assert p.page.evaluate("document.querySelector('#hx-head [data-col=risk]').classList.contains('stick')")


# ------------------------------------------------------------------ honest numbers
def _risk_texts(p, unvans):
    out = {}
    for u in unvans:
        p.search(u)
        cells = p.column_texts("risk")
        assert len(cells) == 1, u
        out[u] = cells[0]
    return out


def test_amounts_are_shown_alike_on_both_pages(dash, open_page):
    names = [f"Tutar {k}" for k in range(len(AMOUNTS))]
    expected = {n: text for n, (_, text) in zip(names, AMOUNTS)}
    std = open_page(dash["standard"])
    assert _risk_texts(std, names) == expected
    v300 = open_page(dash["v300"])
    assert _risk_texts(v300, names) == expected
    # the tooltip says the value is rounded; a missing amount says so
    v300.search("Tutar 0")
    risk = "#hx-rows .row:not([hidden]) [aria-colindex='%d']"
    title = v300.page.eval_on_selector(risk % (v300.state()["columns"].index("risk") + 1), "c => c.title")
    assert "yuvarlanmış" in title and "2.500.000 TL" in title
    std.search("Tutar 6")
    assert std.page.eval_on_selector(risk % (std.state()["columns"].index("risk") + 1), "c => c.title") == "Değer yok"


def test_probabilities_and_missing_values_in_grid_and_detail(dash, open_page):
    p = open_page(dash["standard"])
    p.search("Olasılık A")
    assert p.column_texts("ml") == ["19,8"]
    p.search("Olasılık B")
    assert p.column_texts("ml") == ["0,0"]                  # a real 0, not a missing value
    p.search("Tutar 6")
    p.page.click("#hx-rows .row:not([hidden])")
    risk_cell = p.page.locator("#hx-detail table.kv tr", has_text="Son risk").locator("td")
    assert risk_cell.text_content() == "–"
    # every number in the detail panel stands right-aligned
    aligns = p.page.eval_on_selector_all("#hx-detail td.num", "ts => ts.map(t => getComputedStyle(t).textAlign)")
    assert aligns and set(aligns) == {"right"}
    # grid numbers too
    aligns = p.page.eval_on_selector_all("#hx-rows .row:not([hidden]) .c.num", "cs => cs.map(c => getComputedStyle(c).textAlign)")
    assert aligns and set(aligns) == {"right"}
    _shot(p, "detail_missing_1440")


# ------------------------------------------------------------------ keyboard and screen readers
def test_grid_roles_and_keyboard(dash, open_page):
    p = open_page(dash["standard"])
    pg = p.page
    assert pg.get_attribute("#hx-grid", "role") == "grid"
    assert pg.get_attribute("#hx-grid", "aria-rowcount") == str(N + 1)
    assert pg.eval_on_selector_all("#hx-head [role=columnheader]", "hs => hs.length") == len(p.state()["columns"])
    first = pg.eval_on_selector("#hx-rows .row:not([hidden])", "r => [r.getAttribute('role'), r.getAttribute('aria-rowindex'), r.querySelector('.c').getAttribute('role')]")
    assert first == ["row", "2", "gridcell"]
    # a header takes the focus; Enter sorts by it
    pg.focus("#hx-head [data-col=unvan]")
    pg.keyboard.press("Enter")
    p.settle()
    assert pg.get_attribute("#hx-head [data-col=unvan]", "aria-sort") == "ascending"
    pg.keyboard.press("Enter")
    p.settle()
    assert pg.get_attribute("#hx-head [data-col=unvan]", "aria-sort") == "descending"
    # rows: arrows, Page Down, End, Home
    pg.focus("#hx-grid")
    pg.keyboard.press("ArrowDown")
    pg.keyboard.press("ArrowDown")
    p.settle()
    assert p.state()["cursor"] == 2
    assert pg.eval_on_selector("#hx-active-row", "r => r.getAttribute('aria-rowindex')") == "4"
    assert pg.get_attribute("#hx-grid", "aria-activedescendant") == "hx-active-row"
    pg.keyboard.press("PageDown")
    p.settle()
    assert p.state()["cursor"] > 10
    pg.keyboard.press("End")
    p.settle()
    assert p.state()["cursor"] == p.state()["shownRows"] - 1
    assert pg.eval_on_selector("#hx-active-row", "r => r.getAttribute('aria-rowindex')") == str(p.state()["shownRows"] + 1)
    pg.keyboard.press("Home")
    pg.keyboard.press("ArrowDown")
    p.settle()
    # Enter opens the detail (beside the list at this width) with the focus; Escape gives it back
    want = p.mutas(2)[1]
    pg.keyboard.press("Enter")
    p.settle()
    assert pg.get_attribute("#hx-detail", "role") == "complementary"
    assert pg.evaluate("document.activeElement.id") == "hx-detail"
    assert p.state()["detailMuta"] == want
    _shot(p, "detail_beside_1440")
    pg.keyboard.press("Escape")
    assert pg.is_hidden("#hx-detail")
    assert pg.evaluate("document.activeElement.id") == "hx-grid"


@pytest.mark.parametrize("name", ["standard", "admin", "v300"])
@pytest.mark.parametrize("dark", [False, True], ids=["light", "dark"])
def test_accessibility_audit_finds_nothing_serious(dash, open_page, name, dark):
    from axe_playwright_python.sync_playwright import Axe
    p = open_page(dash[name], dark=dark)
    p.search("a")                                       # matches highlighted in the grid
    p.page.click("#hx-cols-btn")                        # the column chooser open
    p.page.click("#hx-f-seg summary")                   # a multi-select open
    results = Axe().run(p.page)
    bad = [(v["id"], v["impact"], [n["target"] for n in v["nodes"]][:3])
           for v in results.response["violations"] if v["impact"] in ("critical", "serious")]
    assert bad == []
    p.page.keyboard.press("Escape")
    p.page.click("#hx-rows .row:not([hidden])")         # and with the detail dialog open
    results = Axe().run(p.page)
    bad = [(v["id"], v["impact"], [n["target"] for n in v["nodes"]][:3])
           for v in results.response["violations"] if v["impact"] in ("critical", "serious")]
    assert bad == []


# ------------------------------------------------------------------ sorting and filtering
def test_secondary_sort_with_numbered_arrows_and_blanks_last(dash, open_page):
    rows = dash["rows"]
    p = open_page(dash["standard"])
    p.show_all()
    p.page.click("#hx-head [data-col=segment]")
    p.page.click("#hx-head [data-col=risk]", modifiers=["Shift"])
    p.settle()
    assert p.page.get_attribute("#hx-head [data-col=segment]", "data-ind") == "▲1"
    assert p.page.get_attribute("#hx-head [data-col=risk]", "data-ind") == "▼2"

    def key(r):                                         # segment A-Z (blank last), risk high to low (missing last)
        s = r.get("segment") if r.get("segment") in ("KUR-TIC", "KOBI", "MIKRO", "ESKK") else ""
        rk = mio(r.get("son_risk", 0))                  # as the standard page holds it
        return (s == "", s, rk is None, -(rk or 0))
    assert p.mutas(N) == [r["muta"] for r in sorted(rows, key=key)]
    # blank names last in both directions
    for _ in range(2):
        p.page.click("#hx-head [data-col=unvan]")
        p.settle()
        last_two = p.mutas(N)[-2:]
        assert {m for m in last_two} == {rows_by["muta"] for rows_by in rows if not rows_by.get("unvan")}


def test_range_multi_and_movement_filters(dash, open_page):
    rows, donemler = dash["rows"], dash["doc"]["meta"]["donemler"]
    p = open_page(dash["standard"])
    p.page.fill("#hx-f-risk", "5")
    p.page.dispatch_event("#hx-f-risk", "change")
    p.settle()
    assert p.state()["matchedRows"] == sum(1 for r in rows if r.get("son_risk") is not None and round(r.get("son_risk", 0) / 1e6) >= 5
                                           if abs(r.get("son_risk", 0) or 0) >= 1e6) > 0
    p.page.fill("#hx-f-risk", "")
    p.page.dispatch_event("#hx-f-risk", "change")
    p.page.fill("#hx-f-ml", "19,8")
    p.page.dispatch_event("#hx-f-ml", "change")
    p.settle()
    assert p.state()["matchedRows"] == sum(1 for r in rows if (r.get("_ml_yi_prob") or 0) >= 0.198)
    p.page.click("#hx-clear")
    # two segments at once
    p.select("hx-f-seg", "KOBI")
    p.select("hx-f-seg", "MIKRO")
    assert p.state()["matchedRows"] == sum(1 for r in rows if r.get("segment") in ("KOBI", "MIKRO"))
    assert "KOBI, MIKRO" in p.page.text_content("#hx-f-seg summary")
    p.page.click("#hx-clear")

    def band(s):
        return 4 if s is None else 3 if s == -1 else 2 if s >= 825 else 1 if s >= 500 else 0

    def moved(r):
        a = band(_score(r.get("qvr" + donemler[-2])))
        b = band(_score(r.get("qvr" + donemler[-1])))
        return 0 if a > 3 or b > 3 or a == b else (1 if b > a else -1)
    p.page.select_option("#hx-f-move", "1")
    p.settle()
    assert p.state()["matchedRows"] == sum(1 for r in rows if moved(r) == 1) > 0
    p.page.select_option("#hx-f-move", "-1")
    p.settle()
    assert p.state()["matchedRows"] == sum(1 for r in rows if moved(r) == -1) > 0


def test_regions_sharing_a_name_are_one_option(dash, open_page):
    p = open_page(dash["standard"])
    labels = p.page.eval_on_selector_all("#hx-f-bolge .ms-list label", "ls => ls.map(l => l.textContent.trim())")
    assert labels.count("Ortak Bölge") == 1
    p.select("hx-f-bolge", "Ortak Bölge")
    assert p.state()["matchedRows"] == 4                  # both codes
    subs = p.page.eval_on_selector_all("#hx-f-sube .ms-list label", "ls => ls.map(l => l.textContent.trim())")
    assert subs.count("Merkez Şube") == 1
    p.select("hx-f-sube", "Merkez Şube")
    assert p.state()["matchedRows"] == 4


def test_search_ignores_diacritics_unless_exact_and_marks_matches(dash, open_page):
    p = open_page(dash["standard"])
    p.search("insaat")
    names = p.column_texts("unvan")
    assert "İnşaat Yapı Işık A.Ş." in names and "Kuzey Insaat Isik Ltd." in names
    marks = p.page.eval_on_selector_all("#hx-rows .row:not([hidden]) mark", "ms => ms.map(m => m.textContent)")
    assert "İnşaat" in marks and "Insaat" in marks
    p.search("isik")
    assert "İnşaat Yapı Işık A.Ş." in p.column_texts("unvan")
    # an exact match on request: "ş" is no longer "s"
    p.search("ışık")
    assert {"İnşaat Yapı Işık A.Ş.", "Kuzey Insaat Isik Ltd."} <= set(p.column_texts("unvan"))
    folded = p.state()["matchedRows"]
    p.page.check("#hx-q-exact")
    p.page.wait_for_function("() => window.__halvex.matchedRows !== %d" % folded)
    p.settle()
    assert "İnşaat Yapı Işık A.Ş." in p.column_texts("unvan") and "Kuzey Insaat Isik Ltd." not in p.column_texts("unvan")
    assert "tam=1" in p.page.evaluate("location.hash")
    p.page.uncheck("#hx-q-exact")
    _shot(p, "search_marked_1440")
    # nothing found: a message with a button that clears the filters
    p.search("qqqzzzxxx")
    assert p.page.is_visible("#hx-empty") and "Kayıt bulunamadı" in p.page.text_content("#hx-empty")
    # in sight, not below an empty grid
    assert p.page.evaluate("document.getElementById('hx-empty').getBoundingClientRect().bottom <= innerHeight")
    _shot(p, "nothing_found_1440")
    p.page.click("#hx-empty-clear")
    p.settle()
    assert p.state()["matchedRows"] == N and p.page.is_hidden("#hx-empty")


# ------------------------------------------------------------------ CSV export
def _download(p):
    with p.page.expect_download() as dl:
        p.page.click("#hx-csv")
    raw = Path(dl.value.path()).read_bytes().decode("utf-8-sig")    # carriage returns kept
    return dl.value.suggested_filename, raw, csv_export(raw)[1]


def test_csv_neutralises_formulas_and_keeps_numbers(dash, open_page):
    p = open_page(dash["standard"])
    name, raw, table = _download(p)
    assert not name.endswith("_filtreli.csv")
    head = table[0]
    assert head[:6] == ["MUTA", "Unvan", "Segment", "Bölge", "Şube", "Skor " + dash["doc"]["meta"]["donemler"][-1]]
    by_unvan = {row[1]: row for row in table[1:]}
    for text in FORMULAS:
        assert "'" + text in by_unvan, text                 # apostrophe in front, text kept
    assert '"\'-2+3+cmd|\' /C calc\'!A0"' in raw          # and quoted
    # numbers stay numbers; a missing amount is an empty cell, a real 0 is 0
    risk = head.index("Risk (mio TL)")
    assert by_unvan["Tutar 0"][risk] == "2"
    assert by_unvan["Tutar 2"][risk] == "0,5"
    assert by_unvan["Tutar 6"][risk] == ""
    assert by_unvan["Tutar 5"][risk] == "0"
    assert all(row[0].isdigit() for row in table[1:])     # MUTA unquoted
    # visible columns in their order: hide one, move one
    p.page.click("#hx-cols-btn")
    p.page.uncheck("#hx-cols input[aria-label='Segment göster']")
    p.page.click("#hx-cols button[aria-label='Risk (mio TL) yukarı']")
    p.search("Tutar")
    name, raw, table = _download(p)
    assert name.endswith("_filtreli.csv")
    assert "Segment" not in table[0]
    assert table[0].index("Risk (mio TL)") < table[0].index("Değişim")
    assert len(table) - 1 == len(AMOUNTS)


def gated_chunks(released: int) -> str:
    """An init script under which the page decodes its chunks itself (no workers), the k-th
    chunk only once window.__release >= k; ``released`` chunks pass from the start."""
    return """
window.__release = %d;
window.Worker = undefined;
const Real = DecompressionStream;
let taken = 0;
window.DecompressionStream = class {
  constructor(f) {
    const me = ++taken;
    const ts = new TransformStream({ async transform(chunk, c) {
      while (me > window.__release) await new Promise(r => setTimeout(r, 20));
      c.enqueue(chunk); } });
    this.writable = ts.writable;
    this.readable = ts.readable.pipeThrough(new Real(f));
  }
};
""" % released


def test_csv_waits_until_every_chunk_is_loaded(dash, open_page):
    p = open_page(dash["v300"], init_script=gated_chunks(0), wait=False)
    p.page.wait_for_function("document.getElementById('hx-csv-note')")
    p.settle()
    assert p.page.is_disabled("#hx-csv")
    note = p.page.text_content("#hx-csv-note")
    assert "yüklenince" in note and p.page.is_visible("#hx-csv-note")
    _shot(p, "csv_waiting_1440")
    p.page.evaluate("window.__release = 1e9")
    p.page.wait_for_function("window.__halvex.allDecodedAt !== null", timeout=30000)
    p.settle()
    assert p.page.is_enabled("#hx-csv") and p.page.text_content("#hx-csv-note") == ""
    _, _, table = _download(p)
    assert len(table) - 1 == N



def test_rows_in_view_stay_while_more_chunks_arrive(dash, open_page):
    p = open_page(dash["v300"], init_script=gated_chunks(1), wait=False)
    p.page.wait_for_function("window.__halvex && window.__halvex.decodedChunks === 1")
    p.page.wait_for_timeout(300)
    p.settle()
    before = p.page.eval_on_selector_all("#hx-rows .row:not([hidden])", "rs => rs.map(r => r.textContent)")
    assert len(before) > 10
    p.page.evaluate("window.__halvex.rowsFilled.length = 0; document.querySelectorAll('#hx-rows .row').forEach(r => r.__kept = 1)")
    total = p.state()["totalChunks"]
    for k in range(2, total):
        p.page.evaluate("k => { window.__release = k; }", k)
        p.page.wait_for_function("k => window.__halvex.decodedChunks === k", arg=k)
        p.settle()
        # the same row elements with the same texts; no frame filled a row again
        kept = p.page.eval_on_selector_all("#hx-rows .row:not([hidden])", "rs => rs.map(r => [r.__kept, r.textContent])")
        assert kept == [[1, t] for t in before]
        assert sum(p.page.evaluate("window.__halvex.rowsFilled")) == 0
        # the loaded count follows within a moment
        p.page.wait_for_function("n => document.getElementById('hx-loaded').textContent === n",
                                 arg=f"{k * 150:,}".replace(",", "."), timeout=2000)
    p.page.evaluate("window.__release = 1e9")
    p.page.wait_for_function("window.__halvex.allDecodedAt !== null")
    p.settle()
    assert p.page.text_content("#hx-loaded") == f"{N:,}".replace(",", ".")
    assert p.page.is_hidden("#hx-progress")

# ------------------------------------------------------------------ the view in the URL
def test_view_survives_reload_back_and_a_copied_link(dash, open_page):
    p = open_page(dash["standard"])
    p.select("hx-f-seg", "KOBI")
    p.page.click("#hx-head [data-col=risk]")
    p.page.click("#hx-head [data-col=unvan]", modifiers=["Shift"])
    p.page.click("#hx-cols-btn")
    p.page.uncheck("#hx-cols input[aria-label='Segment göster']")
    p.search("a")
    p.settle()
    before = p.state()
    p.page.click("#hx-rows .row:not([hidden]) >> nth=1")
    muta = p.state()["detailMuta"]
    url = p.page.url
    assert "#" in url
    # back closes the detail, forward opens it again
    p.page.go_back()
    p.settle()
    assert p.page.is_hidden("#hx-detail")
    assert p.state()["matchedRows"] == before["matchedRows"]
    p.page.go_forward()
    p.settle()
    assert p.page.is_visible("#hx-detail") and p.state()["detailMuta"] == muta
    # reload
    p.page.evaluate("location.reload()")
    p.page.wait_for_function("window.__halvex && window.__halvex.allDecodedAt !== null")
    p.settle()
    after = p.state()
    for key in ("matchedRows", "sorts", "columns", "query"):
        assert after[key] == before[key], key
    assert p.page.is_visible("#hx-detail") and after["detailMuta"] == muta
    assert p.page.input_value("#hx-q") == "a"
    assert "KOBI" in p.page.text_content("#hx-f-seg summary")
    # a copied link in a new window
    q = open_page(url.replace("file://", ""))
    st = q.state()
    assert st["sorts"] == before["sorts"] and st["columns"] == before["columns"]
    assert st["matchedRows"] == before["matchedRows"] and st["detailMuta"] == muta
    assert q.errors == []


# ------------------------------------------------------------------ charts
def _count_in_title(title: str) -> int:
    import re
    return int(re.search(r": ([\d.]+)", title).group(1).replace(".", ""))


@pytest.mark.parametrize("name", ["standard", "v300"])
def test_charts_follow_the_filters_and_filter_on_click(dash, open_page, name):
    rows = dash["rows"]
    p = open_page(dash[name])
    pg = p.page
    assert p.state()["chartRows"] == N
    assert "Skor yok" in pg.text_content("#hx-snapshot-legend")     # rows without a latest score
    # the Sankey fits its panel and shows its counts
    widths = pg.evaluate("[document.querySelector('#hx-sankey svg').getBoundingClientRect().width, "
                         "document.getElementById('hx-sankey').clientWidth]")
    assert widths[0] <= widths[1]
    assert pg.eval_on_selector_all("#hx-sankey text.cnt", "ts => ts.length") > 0
    p.select("hx-f-seg", "KOBI")
    kobi = sum(1 for r in rows if r.get("segment") == "KOBI")
    # charts out of sight wait until they are looked at
    pg.wait_for_timeout(300)
    if pg.evaluate("document.getElementById('hx-panels').getBoundingClientRect().top > innerHeight"):
        assert p.state()["chartRows"] == N
    pg.locator("#hx-panels").scroll_into_view_if_needed()
    pg.wait_for_function("n => window.__halvex.chartRows === n", arg=kobi)
    assert "filtrelenmiş" in pg.text_content("#hx-snapshot-note")
    totals = pg.evaluate("""() => { const by = {}; for (const t of document.querySelectorAll('#hx-snapshot rect.pick title')) {
        const [p] = t.textContent.split(' · '); by[p] = (by[p] || 0) + Number(t.textContent.split(': ')[1].split('\\n')[0].replace(/\\./g, '')); }
        return Object.values(by); }""")
    assert totals and set(totals) == {kobi}                            # every period's bar adds up to the rows in view
    # a transition of the Sankey filters the grid to its rows
    link = pg.locator("#hx-sankey path.pick").first
    want = _count_in_title(link.locator("title").text_content())
    link.dispatch_event("click")
    p.settle()
    assert p.state()["matchedRows"] == want
    assert pg.is_visible("#hx-chart-filter") and "→" in pg.text_content("#hx-chart-filter")
    _shot(p, f"chart_filter_{name}_1440")
    pg.click("#hx-chart-filter-clear")
    p.settle()
    assert p.state()["matchedRows"] == kobi and pg.is_hidden("#hx-chart-filter")
    # a band bar too
    pg.locator("#hx-panels").scroll_into_view_if_needed()
    pg.wait_for_function("n => window.__halvex.chartRows === n", arg=kobi)
    bar = pg.locator("#hx-snapshot rect.pick").last
    want = _count_in_title(bar.locator("title").text_content())
    bar.dispatch_event("click")
    p.settle()
    assert p.state()["matchedRows"] == want



def test_charts_are_not_recomputed_for_a_new_order(dash, open_page):
    """The charts and the region summary show which rows are in view; sorting changes only
    their order, so it leaves them as they are; a filter still redraws them."""
    p = open_page(dash["standard"])
    pg = p.page
    pg.locator("#hx-panels").scroll_into_view_if_needed()
    pg.wait_for_timeout(400)
    computed = p.state()["chartsComputed"]
    summary = pg.inner_html("#hx-summary")
    pg.evaluate("window.__halvex.sortBy('risk', false)")
    pg.click("#hx-head [data-col=unvan]", modifiers=["Shift"])
    pg.wait_for_timeout(400)
    assert p.state()["sorts"] == [["risk", False], ["unvan", False]]
    assert p.state()["chartsComputed"] == computed and pg.inner_html("#hx-summary") == summary
    p.select("hx-f-seg", "KOBI")
    kobi = sum(1 for r in dash["rows"] if r.get("segment") == "KOBI")
    pg.locator("#hx-panels").scroll_into_view_if_needed()
    pg.wait_for_function("n => window.__halvex.chartRows === n", arg=kobi)
    assert p.state()["chartsComputed"] == computed + 1
    # back to the rows the charts were first drawn from, in another order: drawn again for them
    p.select("hx-f-seg", "KOBI", on=False)
    pg.locator("#hx-panels").scroll_into_view_if_needed()
    pg.wait_for_function("n => window.__halvex.chartRows === n", arg=N)
    assert pg.inner_html("#hx-summary") == summary

# ------------------------------------------------------------------ watch-list, borrower report, print
def test_watch_list_star_column_filter_and_csv(dash, open_page):
    p = open_page(dash["standard"])
    pg = p.page
    first_two = p.mutas(2)
    stars = pg.locator("#hx-rows .row:not([hidden]) button.star")
    stars.nth(0).click()
    stars.nth(1).click()
    assert pg.get_attribute("#hx-rows .row:not([hidden]) >> nth=0 >> button.star", "aria-pressed") == "true"
    assert pg.is_hidden("#hx-detail")                    # the star does not open the detail
    assert sorted(p.state()["watched"]) == sorted(str(m) for m in first_two)
    pg.check("#hx-f-watch")
    p.settle()
    assert p.state()["matchedRows"] == 2
    _, _, table = _download(p)
    watch = table[0].index("İzleme")
    assert [row[watch] for row in table[1:]] == ["1", "1"]
    # kept for this page: after a reload the stars are still there
    pg.evaluate("location.reload()")
    pg.wait_for_function("window.__halvex && window.__halvex.allDecodedAt !== null")
    p.settle()
    assert sorted(p.state()["watched"]) == sorted(str(m) for m in first_two)
    assert p.state()["matchedRows"] == 2                  # the filter came back from the URL
    # and the detail panel toggles the same list
    pg.click("#hx-rows .row:not([hidden]) >> nth=0")
    pg.click("#hx-detail .star-btn")
    assert len(p.state()["watched"]) == 1


def test_borrower_report_has_a_history_chart_and_prints_on_one_page(dash, open_page):
    p = open_page(dash["standard"], size=(1440, 900))
    pg = p.page
    pg.click("#hx-rows .row:not([hidden]) >> nth=3")
    charts = pg.locator("#hx-detail svg.hist")
    assert charts.count() == 2
    score_chart, risk_chart = charts.nth(0), charts.nth(1)
    assert score_chart.is_visible() and risk_chart.is_visible()
    labels = score_chart.locator("text").all_text_contents()
    assert "Dönem" in labels and "QVR skoru" in labels and "500" in labels and "825" in labels
    assert dash["doc"]["meta"]["donemler"][-1] in labels
    risk_periods = pg.evaluate("JSON.parse(document.getElementById('hx-risk-donemler').textContent)")
    labels = risk_chart.locator("text").all_text_contents()
    assert "Dönem" in labels and "mio TL" in labels and str(risk_periods[-1]) in labels
    assert risk_chart.locator("rect.bar").count() >= 1
    # no label runs past its chart's edges (the last period used to be cut off)
    for chart in (score_chart, risk_chart):
        assert chart.evaluate("""s => [...s.querySelectorAll('text:not([transform])')].every(t => {
            const b = t.getBBox(); return b.x >= 0 && b.x + b.width <= s.width.baseVal.value; })""")
    _shot(p, "borrower_report_1440")
    # as printed: the report alone, on one A4 landscape page (277 x 190 mm at 96 px per inch)
    pg.evaluate("document.body.classList.add('print-detail')")
    pg.set_viewport_size({"width": 1047, "height": 718})
    pg.emulate_media(media="print")
    size = pg.evaluate("[document.documentElement.scrollWidth, document.documentElement.scrollHeight]")
    assert size[0] <= 1047 and size[1] <= 718, size
    assert pg.is_hidden("#hx-grid")
    pg.screenshot(path=str(OUT / "borrower_report_print.png"), full_page=True)


def test_print_lists_the_view_with_its_filters_and_every_prediction(dash, open_page):
    p = open_page(dash["admin"])
    pg = p.page
    p.select("hx-f-seg", "KOBI")
    pg.click("#hx-head [data-col=risk]")
    pg.set_viewport_size({"width": 1047, "height": 718})
    pg.emulate_media(media="print")
    p.settle()
    summary = pg.text_content("#hx-print .print-sum")
    kobi = sum(1 for r in dash["rows"] if r.get("segment") == "KOBI")
    assert "Segment: KOBI" in summary and "Risk (mio TL)" in summary
    assert f"Eşleşen: {kobi} · Yazdırılan: {kobi}" in summary
    assert pg.eval_on_selector_all("#hx-print tbody tr", "rs => rs.length") == kobi
    # fits the page width; band colours kept
    assert pg.evaluate("document.querySelector('#hx-print table').scrollWidth") <= 1047
    assert pg.evaluate("getComputedStyle(document.querySelector('#hx-print td.sc .v')).printColorAdjust") == "exact"
    # the prediction table prints every row, not a scroll box
    ml = pg.evaluate("(() => { const b = document.getElementById('hx-ml'); return [b.scrollHeight, b.clientHeight, b.querySelectorAll('tr').length]; })()")
    assert ml[0] <= ml[1] + 1 and ml[2] == 61
    pg.pdf(path=str(OUT / "print.pdf"))


def test_region_summary_drills_down_to_branches_and_filters(dash, open_page):
    p = open_page(dash["standard"])
    pg = p.page
    pg.locator("#hx-p-summary").scroll_into_view_if_needed()
    counts = pg.eval_on_selector_all("#hx-summary tr.region-row", "rs => rs.map(r => [r.querySelector('.link').textContent, Number(r.cells[1].textContent.replace(/\\./g, ''))])")
    assert sum(c for _, c in counts) == N
    assert dict(counts)["Ortak Bölge"] == 4               # two codes, one line
    row = pg.locator("#hx-summary tr.region-row", has_text="Ortak Bölge")
    row.locator("button[aria-expanded]").click()
    subs = pg.eval_on_selector_all("#hx-summary tr.sub-row", "rs => rs.map(r => [r.querySelector('.link').textContent, r.cells[1].textContent])")
    assert subs == [["Merkez Şube", "4"]]
    _shot(p, "region_summary_1440")
    pg.locator("#hx-summary tr.sub-row .link").click()
    p.settle()
    assert p.state()["matchedRows"] == 4
    assert "Merkez Şube" in pg.text_content("#hx-f-sube summary")
    # the summary follows the filter
    pg.locator("#hx-p-summary").scroll_into_view_if_needed()
    pg.wait_for_function("window.__halvex.chartRows === 4")
    assert pg.eval_on_selector_all("#hx-summary tr.region-row", "rs => rs.length") == 1
