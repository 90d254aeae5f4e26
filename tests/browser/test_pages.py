"""Both dashboard pages in headless Chromium (Debian's chromium, driven by Playwright).

Pages are rendered from small sample documents into test_output/browser/, opened from disk,
and checked through the page itself: what the grid shows, what the filters, sorting, search,
CSV export and detail panel do, and that the page neither logs errors nor sends requests.
A screenshot of each page is left beside it.

    .venv/bin/python -m pytest -q tests/browser
"""

from __future__ import annotations

import csv
import io
import json
import math
import os
import shutil
from pathlib import Path

import pytest

from chromium import CHROMIUM, require  # noqa: E402

sync_api = require()

from halvex.pipeline import vitrum  # noqa: E402
from oracles import score as _score  # noqa: E402
from halvex.sample.scoreboard import make_scoreboard, write_reference_csv  # noqa: E402

OUT = Path(__file__).resolve().parents[2] / "test_output" / "browser"
# what a chart-library file holds; the renderer hands it to the template, which leaves it out
D3_MARK = "/* chart library: not for the page */"
N_ROWS = 3000
TOP_N = 100
V300_CHUNK = 500
HOSTILE_UNVAN = "<img src=x onerror=alert(1)> \"Işık\" & Ortakları A.Ş."
LOAD_TIMEOUT_MS = 30000


# ------------------------------------------------------------------ pages
def write_document(folder: Path, doc: dict, name: str = "scoreboard.json", reference: bool = True) -> Path:
    """``doc`` as a document file in ``folder``, with the reference file of its region and
    branch codes beside it unless ``reference`` is false."""
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / name
    path.write_text(json.dumps(doc, ensure_ascii=False), encoding="utf-8")
    if reference:
        write_reference_csv(folder / "sube_bolge_ref.csv", doc)
    return path


def fresh_output(folder: Path) -> None:
    """The output folder, without the screenshots of an earlier run."""
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.glob("*.png"):
        old.unlink()


def _document():
    doc = make_scoreboard(N_ROWS, seed=7)
    rows = doc["rows"]
    rows[5]["unvan"] = HOSTILE_UNVAN
    doc["meta"]["title"] = "Sabah Listesi </script><b>kalın</b>"
    return doc


def _with_non_finite(doc):
    """The same document with risk amounts that the compressed chunks carry as bare NaN and
    Infinity tokens (the standard page refuses them when converting to million TL)."""
    doc = json.loads(json.dumps(doc))
    last = doc["meta"]["risk_donemler"][-1]
    doc["rows"][6]["r" + last] = float("nan")
    doc["rows"][7]["r" + last] = float("inf")
    return doc


def _renderer_order(rows):
    """Rows in the renderer's order: latest risk, largest first, missing counting as 0."""
    def key(r):
        v = r.get("son_risk")
        return 0 if v is None or (isinstance(v, float) and math.isnan(v)) else v
    return sorted(rows, key=key, reverse=True)


@pytest.fixture(scope="module")
def pages():
    # without chart scripts (an empty script folder) unless a page is meant to have them
    old_js_dir = os.environ.get("HALVEX_JS_DIR")
    (OUT.parent / "no_js").mkdir(parents=True, exist_ok=True)
    os.environ["HALVEX_JS_DIR"] = str(OUT.parent / "no_js")
    try:
        yield _render_pages()
    finally:
        if old_js_dir is None:
            del os.environ["HALVEX_JS_DIR"]
        else:
            os.environ["HALVEX_JS_DIR"] = old_js_dir


def _render_pages():
    # only this module's files: other modules leave their pages and screenshots here too
    for old in ("json", "js"):
        shutil.rmtree(OUT / old, ignore_errors=True)
    doc = _document()
    doc_path = write_document(OUT / "json", doc)
    orig_rows = [dict(r) for r in doc["rows"]]
    out = {"doc": doc, "rows": _renderer_order(orig_rows)}
    out["standard"] = vitrum.render_html(str(doc_path), output_html=str(OUT / "standard.html"), top_n=TOP_N,
                                         external_link="https://crm.example.invalid/firma?muta=")
    out["admin"] = vitrum.render_html(
        str(doc_path), output_html=str(OUT / "admin.html"), top_n=TOP_N,
        extra_data={"page_mode": "admin",
                    "backtest_summary": {"2025-09": {"yakalanan": 41, "kacirilan": 9, "isabet": 0.82}},
                    "ml_predictions": [{"muta": r["muta"], "olasilik": 0.9 - k / 100} for k, r in enumerate(orig_rows[:20])]})
    v300_path = write_document(OUT / "json", _with_non_finite(doc), "scoreboard_v300.json", reference=False)
    out["v300"] = vitrum.render_html_v300(str(v300_path), output_html=str(OUT / "v300.html"), top_n=TOP_N,
                                          chunk_size=V300_CHUNK)
    js_dir = OUT / "js"
    js_dir.mkdir()
    for name in ("d3.min.js", "d3-sankey.min.js"):
        (js_dir / name).write_text("var d3 = {};" + D3_MARK + "x" * 100_000, encoding="utf-8")
    old_js = os.environ.get("HALVEX_JS_DIR")
    os.environ["HALVEX_JS_DIR"] = str(js_dir)
    try:
        out["d3"] = vitrum.render_html(str(doc_path), output_html=str(OUT / "standard_d3.html"), top_n=TOP_N,
                                       external_link="https://crm.example.invalid/firma?muta=")
    finally:
        if old_js is None:
            del os.environ["HALVEX_JS_DIR"]
        else:
            os.environ["HALVEX_JS_DIR"] = old_js
    return out


def csv_export(text: str) -> tuple[dict, list[list[str]]]:
    """An exported CSV's heading (data date, filters, row count: up to the first blank line)
    and its table (the column names, then the rows)."""
    lines = list(csv.reader(io.StringIO(text), delimiter=";"))
    blank = lines.index([])
    return dict(lines[:blank]), lines[blank + 1:]


class Page:
    """One opened dashboard page with what it logged and what it tried to fetch."""

    def __init__(self, browser, path: str):
        self.ctx = browser.new_context(viewport={"width": 1440, "height": 900}, accept_downloads=True)
        self.page = self.ctx.new_page()
        self.errors: list[str] = []
        self.requests: list[str] = []
        self.page.on("console", lambda m: self.errors.append(m.text) if m.type in ("error", "warning") else None)
        self.page.on("pageerror", lambda e: self.errors.append(str(e)))

        def route(r):
            url = r.request.url
            if url.startswith(("file:", "blob:", "data:")):
                r.continue_()
            else:
                self.requests.append(url)
                r.abort()
        self.ctx.route("**/*", route)
        self.page.goto(Path(path).as_uri())
        self.page.wait_for_function("window.__halvex && window.__halvex.allDecodedAt !== null",
                                    timeout=LOAD_TIMEOUT_MS)
        self.settle()

    def settle(self):
        self.page.evaluate("() => new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")

    def state(self) -> dict:
        return self.page.evaluate("""() => { const h = {}; for (const [k, v] of Object.entries(window.__halvex))
                                        if (typeof v !== 'function') h[k] = v; return h; }""")

    def mutas(self, k: int) -> list:
        return self.page.evaluate("k => window.__halvex.viewMutas(k)", k)

    def grid_mutas(self) -> list[str]:
        return self.page.eval_on_selector_all(
            "#hx-rows .row:not([hidden])", "rs => rs.map(r => r.querySelectorAll('[role=gridcell]')[0].textContent)")

    def show_all(self):
        """Presses "show all" (a no-op when every match is already shown)."""
        self.page.evaluate("document.getElementById('hx-show-all').click()")
        self.settle()

    def search(self, text: str):
        """Types into the quick search and waits until the page has applied it."""
        self.page.fill("#hx-q", text)
        folded = text.strip().replace("I", "ı").replace("İ", "i").lower()
        self.page.wait_for_function("q => window.__halvex.query === q", arg=folded)
        self.settle()

    def select(self, box_id: str, label: str, on: bool = True):
        """Ticks (or unticks) one option of a multi-select filter, as a user does: opens the
        list, clicks the option, closes the list."""
        box = self.page.locator(f"#{box_id}")
        box.locator("summary").click()
        option = next(lab for lab in box.locator(".ms-list label").all() if lab.text_content().strip() == label)
        cb = option.locator("input")
        if cb.is_checked() != on:
            cb.click()
        box.locator("summary").click()
        self.settle()

    def column_texts(self, col_id: str) -> list[str]:
        """Texts of one column in the rows the grid draws."""
        k = self.page.evaluate("id => window.__halvex.columns.indexOf(id)", col_id)
        assert k >= 0, col_id
        return self.page.eval_on_selector_all("#hx-rows .row:not([hidden])", "(rs, k) => rs.map(r => r.querySelectorAll('[role=gridcell]')[k].textContent)", k)

    def close(self):
        self.ctx.close()


@pytest.fixture
def open_page(browser):
    opened = []

    def _open(path):
        p = Page(browser, path)
        opened.append(p)
        return p
    yield _open
    for p in opened:
        p.close()


def _last_score(row, donemler):
    return _score(row.get("qvr" + donemler[-1]))


_LOWER = "abcçdefgğhıijklmnoöpqrsştuüvwxyz"
_UPPER = "ABCÇDEFGĞHIİJKLMNOÖPQRSŞTUÜVWXYZ"
_AS = {"â": "a", "Â": "a", "î": "i", "Î": "i", "û": "u", "Û": "u"}


def _text_key(s: str):
    """Order of texts in the grid: Turkish alphabet, case-blind, digits before letters,
    blanks and punctuation before both; then the exact text."""
    codes = []
    for ch in s:
        ch = _AS.get(ch, ch)
        o = ord(ch)
        if ch in _LOWER:
            codes.append(12 + _LOWER.index(ch))
        elif ch in _UPPER:
            codes.append(12 + _UPPER.index(ch))
        elif "0" <= ch <= "9":
            codes.append(2 + o - 48)
        elif o >= 0x180 or (o >= 0xC0 and o not in (0xD7, 0xF7)):
            codes.append(45)
        else:
            codes.append(1)
    return codes, s


# ------------------------------------------------------------------ loading, counts, screenshots
@pytest.mark.parametrize("name", ["standard", "admin", "v300", "d3"])
def test_page_loads_clean_and_offers_every_row(pages, open_page, name):
    result = pages[name]
    p = open_page(result["html_path"])
    st = p.state()
    assert p.errors == []
    assert p.requests == []
    assert st["errors"] == [] and st["failedChunks"] == []
    assert st["totalRows"] == result["rows"] == N_ROWS
    assert st["decodedChunks"] == st["totalChunks"] == result["chunks"]
    assert st["loadedRows"] == N_ROWS
    assert st["shownRows"] == TOP_N                       # the first top_n rows at start
    assert len(p.grid_mutas()) > 10
    # the page's own SVG charts; chart-library files the renderer finds stay out of the page
    assert "d3" not in p.page.evaluate("Object.keys(window)")
    if name == "d3":
        assert D3_MARK not in Path(result["html_path"]).read_text(encoding="utf-8")
        assert abs(result["size_kb"] - pages["standard"]["size_kb"]) < 1
    assert p.page.eval_on_selector_all("#hx-snapshot svg rect", "rs => rs.length") >= 12
    assert p.page.eval_on_selector_all("#hx-sankey svg path", "ps => ps.length") > 0
    p.page.screenshot(path=str(OUT / f"{name}.png"), full_page=True)
    p.page.click("#hx-show-all")                         # enabled: more rows than top_n
    p.settle()
    assert p.state()["shownRows"] == result["rows"]
    assert p.page.text_content("#hx-shown") == f"{N_ROWS:,}".replace(",", ".")


def test_compressed_page_decodes_every_chunk_in_order(pages, open_page):
    p = open_page(pages["v300"]["html_path"])
    st = p.state()
    assert st["layout"] == "v300"
    assert pages["v300"]["chunks"] == math.ceil(N_ROWS / V300_CHUNK) == st["decodedChunks"]
    expected = [r.get("muta") for r in pages["rows"]]
    p.show_all()
    assert p.mutas(N_ROWS) == expected                  # every row, in the renderer's order
    # rows holding NaN / Infinity tokens are read, those amounts shown as missing
    p.search(str(pages["doc"]["rows"][6]["muta"]))
    assert p.state()["matchedRows"] == 1
    spark = p.page.eval_on_selector("#hx-rows .row:not([hidden]) svg.spark", "s => s.parentNode.title")
    assert spark.endswith(": –")
    # no region, branch or mark filters on this page
    assert p.page.is_hidden("#hx-f-bolge") and p.page.is_hidden("#hx-f-marks")
    # progress finished and the charts were computed from the rows
    assert p.page.is_hidden("#hx-progress")
    assert p.page.eval_on_selector_all("#hx-snapshot svg rect", "rs => rs.length") >= 12


def _score_code(v):
    if v is None:
        return -2147483648
    if v == "YI":
        return -1
    return int(v)


def test_compressed_page_reads_every_value(pages, open_page):
    """The decoded columns hold the document's values, row by row, in the renderer's order."""
    p = open_page(pages["v300"]["html_path"])
    p.show_all()
    got = p.page.evaluate("n => { const out = []; for (let k = 0; k < n; k++) out.push(window.__halvex.rowOf(k)); return out; }",
                          N_ROWS)
    donemler = pages["doc"]["meta"]["donemler"]
    segs = ["KUR-TIC", "KOBI", "MIKRO", "ESKK"]
    for row, g in zip(pages["rows"], got):
        assert g["muta"] == row.get("muta")
        assert g["unvan"] == (row.get("unvan") or "")[:40]
        assert g["seg"] == (segs.index(row["segment"]) if row.get("segment") in segs else -1)
        risk = row.get("son_risk", 0)
        if risk is None:
            assert g["risk"] is None or math.isnan(g["risk"])
        else:
            assert g["risk"] == pytest.approx(risk * 1e-6, rel=1e-12)
        assert g["scores"] == [_score_code(row.get("qvr" + d)) for d in donemler]


# ------------------------------------------------------------------ filters, sort, search
@pytest.mark.parametrize("name", ["standard", "v300"])
def test_segment_filter_and_score_sort(pages, open_page, name):
    donemler = pages["doc"]["meta"]["donemler"]
    p = open_page(pages[name]["html_path"])
    p.select("hx-f-seg", "KOBI")
    kobi = [r for r in pages["rows"] if r.get("segment") == "KOBI"]
    st = p.state()
    assert st["matchedRows"] == len(kobi)
    assert st["shownRows"] == min(TOP_N, len(kobi))
    assert p.mutas(TOP_N) == [r["muta"] for r in kobi[:TOP_N]]
    # latest score, highest first: "YI" above every score, rows without a score last,
    # equal scores keep the renderer's order
    p.page.click(f".grid-head .c[data-col='s{len(donemler) - 1}']")
    p.settle()

    def key(r):
        s = _last_score(r, donemler)
        return (2, 0) if s is None else (0, -1e9) if s == -1 else (1, -s)
    expected = sorted(kobi, key=key)
    assert p.mutas(len(kobi)) == [r["muta"] for r in expected][:TOP_N]
    p.show_all()
    assert p.mutas(len(kobi)) == [r["muta"] for r in expected]
    # the same header again: lowest first, "YI" after every score, missing scores still last
    p.page.click(f".grid-head .c[data-col='s{len(donemler) - 1}']")
    p.settle()

    def key_asc(r):
        s = _last_score(r, donemler)
        return (2, 0) if s is None else (1, 0) if s == -1 else (0, s)
    got = p.mutas(len(kobi))
    assert got == [r["muta"] for r in sorted(kobi, key=key_asc)]
    # the grid draws the view's first rows
    p.page.evaluate("document.getElementById('hx-grid').scrollTop = 0")
    p.settle()
    assert p.grid_mutas()[:5] == [str(m) for m in got[:5]]


@pytest.mark.parametrize("name", ["standard", "v300"])
def test_text_sort_follows_the_turkish_alphabet(pages, open_page, name):
    rows = pages["rows"]
    p = open_page(pages[name]["html_path"])
    p.show_all()
    p.page.click(".grid-head .c[data-col='unvan']")
    p.settle()
    expected = sorted(rows, key=lambda r: _text_key((r.get("unvan") or "")[:40]))
    assert p.mutas(N_ROWS) == [r["muta"] for r in expected]
    p.page.click(".grid-head .c[data-col='unvan']")       # descending; equal names keep their order
    p.settle()
    expected = sorted(rows, key=lambda r: _text_key((r.get("unvan") or "")[:40]), reverse=True)
    by_name = {}
    for r in rows:
        by_name.setdefault((r.get("unvan") or "")[:40], []).append(r["muta"])
    got = p.mutas(N_ROWS)
    assert got == [m for name in dict.fromkeys((r.get("unvan") or "")[:40] for r in expected) for m in by_name[name]]


def test_filters_of_the_standard_page(pages, open_page):
    rows, donemler = pages["rows"], pages["doc"]["meta"]["donemler"]
    p = open_page(pages["standard"]["html_path"])
    # band of the latest score
    p.select("hx-f-band", "YI")
    assert p.state()["matchedRows"] == sum(1 for r in rows if _last_score(r, donemler) == -1) > 0
    p.select("hx-f-band", "YI", on=False)
    p.select("hx-f-band", "Yüksek (≥825)")
    high = [r for r in rows if (_last_score(r, donemler) or 0) >= 825]
    assert p.state()["matchedRows"] == len(high)
    p.page.click("#hx-clear")
    p.settle()
    assert p.state()["matchedRows"] == N_ROWS
    # marks: rows must carry every ticked mark
    p.page.check("#hx-f-marks input[value='1']")     # fast riser
    p.settle()
    hy = [r for r in rows if r.get("_hizli_yukselen")]
    assert p.state()["matchedRows"] == len(hy) > 0
    p.page.check("#hx-f-marks input[value='4']")     # potential YI
    p.settle()
    assert p.state()["matchedRows"] == sum(1 for r in hy if r.get("_potansiyel_yi"))
    p.page.click("#hx-clear")
    # region, then a branch of that region
    region = p.page.eval_on_selector("#hx-f-bolge .ms-list label", "l => l.textContent.trim()")
    p.select("hx-f-bolge", region)
    in_region = p.state()["matchedRows"]
    assert 0 < in_region < N_ROWS
    assert set(p.column_texts("bolge")) == {region}
    branch = p.page.eval_on_selector("#hx-f-sube .ms-list label", "l => l.textContent.trim()")
    p.select("hx-f-sube", branch)
    assert 0 < p.state()["matchedRows"] <= in_region
    assert set(p.column_texts("sube")) == {branch}


def test_search_matches_muta_and_unvan_with_turkish_case(pages, open_page):
    rows = pages["rows"]
    p = open_page(pages["standard"]["html_path"])
    p.search("IŞIK")
    expected = [r["muta"] for r in rows if "ışık" in r.get("unvan", "").replace("I", "ı").replace("İ", "i").lower()]
    p.show_all()
    assert p.mutas(N_ROWS) == expected and expected
    muta = rows[42]["muta"]
    p.search(str(muta))
    assert muta in p.mutas(10)



def test_names_shared_by_chunks_are_merged_and_found_alike(pages, open_page):
    """Each chunk brings its own list of names; once loaded they are merged into one list of
    distinct texts. Search and a name sort over a second key give what they gave before."""
    rows = pages["rows"]
    names = [(r.get("unvan") or "")[:40] for r in rows]
    chunks = [set(names[k:k + V300_CHUNK]) for k in range(0, N_ROWS, V300_CHUNK)]
    shared = max(set(names), key=lambda t: sum(t in c for c in chunks))
    assert sum(shared in c for c in chunks) > 1                  # a name found in several chunks
    p = open_page(pages["v300"]["html_path"])
    p.page.wait_for_function("window.__halvex.namesMergedAt !== null")
    assert p.state()["distinctNames"] == len(set(names))
    word = shared.split()[0]
    p.search(word)
    folded = word.replace("I", "ı").replace("İ", "i").lower()
    p.show_all()
    expected = [r["muta"] for r, t in zip(rows, names)
                if folded in (str(r["muta"]) + " " + t).replace("I", "ı").replace("İ", "i").lower()]
    assert p.mutas(N_ROWS) == expected
    p.search("")
    # names A-Z, then within a name the latest score high to low (missing last)
    p.page.evaluate("window.__halvex.sortBy('unvan', false)")
    last = "s" + str(len(pages["doc"]["meta"]["donemler"]) - 1)
    p.page.click(f"#hx-head [data-col={last}]", modifiers=["Shift"])
    p.show_all()
    donemler = pages["doc"]["meta"]["donemler"]

    def score_key(r):
        s = _last_score(r, donemler)
        return (s is None, -(1e9 if s == -1 else s or 0))
    by_score = sorted(rows, key=score_key)
    got = p.mutas(N_ROWS)
    assert got == [r["muta"] for r in sorted(by_score, key=lambda r: _text_key((r.get("unvan") or "")[:40]))]

# ------------------------------------------------------------------ safety, export, detail
def test_values_are_text_and_nothing_leaves_the_page(pages, open_page):
    p = open_page(pages["standard"]["html_path"])
    assert p.page.text_content("#hx-title") == pages["doc"]["meta"]["title"]
    p.search("onerror")
    assert p.state()["matchedRows"] == 1
    assert p.page.eval_on_selector("#hx-rows .row:not([hidden])", "r => r.querySelectorAll('[role=gridcell]')[1].textContent") == HOSTILE_UNVAN[:40]
    assert p.page.evaluate("document.querySelectorAll('img').length") == 0
    assert p.page.evaluate("[...document.querySelectorAll('b')].every(b => b.id.startsWith('hx-'))")
    # double-click opens the external link with the muta appended (the popup is refused here)
    assert p.requests == []
    with p.page.expect_popup() as pop:
        p.page.dblclick("#hx-rows .row:not([hidden])")
    pop.value.wait_for_load_state()
    muta = pages["doc"]["rows"][5]["muta"]
    assert p.requests == [f"https://crm.example.invalid/firma?muta={muta}"]   # refused by the test
    assert p.errors == []


def test_csv_export_holds_the_filtered_rows(pages, open_page):
    p = open_page(pages["standard"]["html_path"])
    p.select("hx-f-seg", "MIKRO")
    mikro = [r for r in pages["rows"] if r.get("segment") == "MIKRO"]
    with p.page.expect_download() as dl:
        p.page.click("#hx-csv")
    heading, table = csv_export(Path(dl.value.path()).read_text(encoding="utf-8-sig"))
    assert heading["Filtreler"] == "Segment: MIKRO" and heading["Satır sayısı"] == str(len(mikro))
    assert table[0][:6] == ["MUTA", "Unvan", "Segment", "Bölge", "Şube", "Skor " + pages["doc"]["meta"]["donemler"][-1]]
    assert len(table) - 1 == len(mikro)                  # all matches, not only the shown ones
    assert [t[0] for t in table[1:]] == [str(r["muta"]) for r in mikro]
    seg = table[0].index("Segment")
    assert {t[seg] for t in table[1:]} == {"MIKRO"}
    assert dl.value.suggested_filename.endswith("_filtreli.csv")
    assert p.requests == []


def test_admin_detail_panel_lists_findings(pages, open_page):
    doc = pages["doc"]
    kept = {str(r.get("muta")) for r in doc["rows"]}
    muta, periods = next((m, v) for m, v in doc["diag_index"].items() if m in kept)
    p = open_page(pages["admin"]["html_path"])
    p.search(muta)
    p.page.click("#hx-rows .row:not([hidden]) >> nth=0")
    assert p.page.is_visible("#hx-detail")
    detail = p.page.text_content("#hx-detail")
    assert "Bulgular" in detail
    for findings in periods.values():
        for f in findings["bulgular"] if isinstance(findings, dict) else findings:
            assert f["kriter"] in detail
    # the back-test and prediction panels are shown
    assert p.page.is_visible("#hx-p-backtest") and p.page.is_visible("#hx-p-ml")
    p.page.keyboard.press("Escape")
    assert p.page.is_hidden("#hx-detail")


def test_standard_page_shows_group_letters_with_their_descriptions(pages, open_page):
    p = open_page(pages["standard"]["html_path"])
    index = p.page.evaluate("JSON.parse(document.getElementById('hx-diag-index').textContent)")
    kept = {str(r.get("muta")) for r in pages["rows"]}
    muta, letters = next((m, v) for m, per in index.items() if m in kept for v in per.values() if v)
    p.search(muta)
    shown = p.page.eval_on_selector_all("#hx-rows .row:not([hidden]) >> nth=0 >> .dg",
                                        "ds => ds.map(d => d.textContent).join('')")
    assert letters[0] in shown
    title = p.page.eval_on_selector_all("#hx-rows .row:not([hidden]) >> nth=0 >> .dg",
                                        "ds => ds.map(d => d.closest('.c').title).join('\\n')")
    assert " – " in title                                # letter – group title: description
    assert p.page.eval_on_selector_all("#hx-sankey svg path", "ps => ps.length") > 0
