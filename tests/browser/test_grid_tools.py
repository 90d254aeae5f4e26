"""What an analyst does with the grid beyond sorting: filters in the column headers with
their value counts, the selection's totals under the grid, saved views, copying rows and
the Excel file. Pages as test_dashboard renders them (formula-like names, missing amounts).

    .venv/bin/python -m pytest -q tests/browser/test_grid_tools.py
"""

from __future__ import annotations

import io
import json
import zipfile
import xml.etree.ElementTree as ET
from collections import Counter
from pathlib import Path

import pytest

from test_analyst_day import _risk_mio
from test_dashboard import FORMULAS, N, dash, open_page  # noqa: F401  (fixtures; skips without Chromium)

from halvex.pipeline import vitrum
from halvex.sample.scoreboard import make_scoreboard

SEGMENTS = ["KUR-TIC", "KOBI", "MIKRO", "ESKK"]
EXCEL_MAX_ROWS = 100_000                               # the most rows the page writes to an Excel file
NS = {"m": "http://schemas.openxmlformats.org/spreadsheetml/2006/main"}
# what the page copies, caught as the clipboard gets it
CATCH_COPY = "window.addEventListener('copy', e => { window.__copied = e.clipboardData.getData('text/plain'); });"


def _announced(pg) -> str:
    pg.wait_for_timeout(400)                           # announcements wait out a burst
    return pg.evaluate("window.__halvex.announced || ''")


# ------------------------------------------------------------------ header filters
def test_header_filter_counts_values_and_works_from_the_keyboard(dash, open_page):
    rows = dash["rows"]
    p = open_page(dash["standard"])
    pg = p.page
    p.search("a")                                      # another filter: counts are of the rows it leaves
    with_a = [r for r in rows if "a" in (r.get("unvan") or "").lower() or "a" in str(r["muta"])]
    pg.focus("#hx-head [data-col=segment]")
    pg.keyboard.press("Alt+ArrowDown")
    assert pg.is_visible("#hx-hf")
    assert pg.get_attribute("#hx-head [data-col=segment] .hf", "aria-expanded") == "true"
    shown = pg.eval_on_selector_all("#hx-hf .hf-list label", "ls => ls.map(l => [l.children[1].textContent, l.children[2].textContent])")
    want = Counter(r.get("segment") if r.get("segment") in SEGMENTS else "Tanımsız" for r in with_a)
    assert {k: int(v.replace(".", "")) for k, v in shown} == {k: want.get(k, 0) for k, _ in shown}
    assert "Segment filtresi açıldı" in _announced(pg)
    # the focus is on the first value; Space ticks it, as the bar's list shows
    first = shown[0][0]
    pg.keyboard.press("Space")
    p.settle()
    assert p.state()["matchedRows"] == want[first]
    assert pg.is_checked(f"#hx-f-seg label:has-text('{first}') input")
    assert "eşleşti" in _announced(pg)
    # Escape closes it and gives the focus back to the header, which says its filter is on
    pg.keyboard.press("Escape")
    assert pg.is_hidden("#hx-hf")
    assert pg.evaluate("document.activeElement.dataset.col") == "segment"
    assert "etkin" in pg.get_attribute("#hx-head [data-col=segment] .hf", "aria-label")
    # a number column's range is the bar's own: a refused number is said there
    pg.click("#hx-head [data-col=risk] .hf")
    pg.fill("#hx-hf input >> nth=0", "5")
    pg.press("#hx-hf input >> nth=0", "Enter")
    p.settle()
    assert pg.input_value("#hx-f-risk") == "5"
    assert p.state()["matchedRows"] == sum(1 for r in with_a if (r.get("segment") or "Tanımsız") == first
                                           and _risk_mio(r) is not None and _risk_mio(r) >= 5)
    pg.fill("#hx-hf input >> nth=1", "1,2,3")
    pg.press("#hx-hf input >> nth=1", "Enter")
    assert pg.is_visible("#hx-num-err")
    pg.click("#hx-hf button:has-text('Bu filtreyi kaldır')")
    assert pg.input_value("#hx-f-risk") == "" and pg.is_hidden("#hx-num-err")
    assert p.errors == []


def test_axe_finds_nothing_serious_with_the_new_controls_open(dash, open_page):
    from axe_playwright_python.sync_playwright import Axe
    p = open_page(dash["standard"])
    pg = p.page
    pg.click("#hx-views-btn")
    pg.click("#hx-head [data-col=segment] .hf")
    pg.focus("#hx-grid")
    pg.keyboard.press("Shift+ArrowDown")               # picked rows
    pg.click("#hx-head [data-col=segment] .hf")
    bad = [(v["id"], v["impact"], [n["target"] for n in v["nodes"]][:3])
           for v in Axe().run(pg).response["violations"] if v["impact"] in ("critical", "serious")]
    assert bad == []


# ------------------------------------------------------------------ totals under the grid
def test_footer_totals_follow_the_filters(dash, open_page):
    rows = dash["rows"]
    p = open_page(dash["standard"])
    p.select("hx-f-seg", "KOBI")
    kobi = [r for r in rows if r.get("segment") == "KOBI"]
    want = sum(_risk_mio(r) for r in kobi if _risk_mio(r) is not None)
    st = p.state()
    assert st["matchedRows"] == len(kobi) and st["shownRows"] < len(kobi)    # every match, not the shown ones
    assert st["selectionRisk"] == pytest.approx(want)
    assert p.page.text_content("#hx-sel-count") == f"{len(kobi):,}".replace(",", ".")
    assert p.page.text_content("#hx-sel-risk") == f"{round(want):,}".replace(",", ".")


# ------------------------------------------------------------------ saved views
def test_saved_view_restores_filters_sort_and_columns_and_moves_by_file(dash, open_page, tmp_path):
    p = open_page(dash["standard"])
    pg = p.page
    p.select("hx-f-seg", "MIKRO")
    pg.click("#hx-head [data-col=unvan]")
    pg.click("#hx-cols-btn")
    pg.uncheck("#hx-cols input[aria-label='Şube göster']")
    pg.click("#hx-cols-btn")
    want = (p.state()["matchedRows"], p.mutas(20), p.state()["columns"])
    pg.click("#hx-views-btn")
    pg.fill("#hx-view-name", "Mikro adlar")
    pg.press("#hx-view-name", "Enter")
    assert "Kaydedildi" in pg.text_content("#hx-views-note")
    pg.click("#hx-clear")
    pg.click("#hx-head [data-col=risk]")
    assert p.state()["matchedRows"] == N
    pg.click("#hx-views button[aria-label='Mikro adlar görünümünü uygula']")
    p.settle()
    assert (p.state()["matchedRows"], p.mutas(20), p.state()["columns"]) == want
    assert "Görünüm uygulandı" in _announced(pg)
    with pg.expect_download() as dl:
        pg.click("#hx-views button:has-text('Dosyaya aktar')")
    saved = Path(dl.value.path()).read_text(encoding="utf-8")
    assert json.loads(saved)["gorunumler"][0]["name"] == "Mikro adlar"
    # another browser: the file brings the view
    q = open_page(dash["standard"])
    good = tmp_path / "gorunumler.json"
    good.write_text(saved, encoding="utf-8")
    q.page.click("#hx-views-btn")
    q.page.set_input_files("#hx-views-file", str(good))
    q.page.wait_for_function("document.getElementById('hx-views-note').textContent.includes('1 yeni')")
    q.page.click("#hx-views button[aria-label='Mikro adlar görünümünü uygula']")
    q.settle()
    assert (q.state()["matchedRows"], q.mutas(20), q.state()["columns"]) == want
    # Escape closes the panel and gives the focus back to its button
    q.page.focus("#hx-view-name")
    q.page.keyboard.press("Escape")
    assert q.page.is_hidden("#hx-views") and q.page.evaluate("document.activeElement.id") == "hx-views-btn"
    assert p.errors == [] and q.errors == []


# ------------------------------------------------------------------ copy
def test_copy_of_picked_rows_is_tab_separated_with_heading_and_guarded(dash, open_page):
    p = open_page(dash["standard"])
    pg = p.page
    pg.evaluate(CATCH_COPY)
    pg.focus("#hx-grid")
    for _ in range(6):
        pg.keyboard.press("Shift+ArrowDown")
    p.settle()
    assert p.state()["picked"] == 7
    assert pg.eval_on_selector_all("#hx-rows .row.picked:not([hidden])", "rs => rs.length") == 7
    pg.keyboard.press("Control+c")
    text = pg.evaluate("window.__copied")
    lines = text.split("\r\n")
    assert lines[0] == f"Veri tarihi\t{dash['doc']['meta']['donemler'][-1]}"
    assert lines[1] == "Filtreler\tFiltre yok" and lines[2] == "Satır sayısı\t7" and lines[3] == ""
    head, body = lines[4].split("\t"), [ln.split("\t") for ln in lines[5:] if ln]
    assert len(body) == 7 and all(len(r) == len(head) for r in body)
    assert [r[0] for r in body] == [str(m) for m in p.mutas(7)]
    names = {r[head.index("Unvan")] for r in body}
    for f in FORMULAS:                                 # guarded, and still one cell each
        assert "'" + f.replace("\t", " ").replace("\r", " ") in names
    assert "7 satır kopyalandı" in _announced(pg)
    # Ctrl+A picks every row the filters leave, a move without Shift drops them
    p.search("Tutar")
    pg.focus("#hx-grid")
    pg.keyboard.press("Control+a")
    pg.keyboard.press("Control+c")
    assert pg.evaluate("window.__copied").split("\r\n")[2] == "Satır sayısı\t" + str(p.state()["matchedRows"])
    pg.keyboard.press("ArrowDown")
    assert p.state()["picked"] == 0


# ------------------------------------------------------------------ Excel
def _sheet(path):
    with zipfile.ZipFile(path) as z:
        assert z.testzip() is None
        assert "xl/workbook.xml" in z.namelist()
        root = ET.fromstring(z.read("xl/worksheets/sheet1.xml"))
    out = []
    for row in root.iterfind("m:sheetData/m:row", NS):
        cells = []
        for c in row:
            v = c.find("m:v", NS)
            cells.append(float(v.text) if v is not None else "".join(c.find("m:is", NS).itertext()))
        out.append(cells)
    return out


def test_excel_file_opens_with_heading_numbers_and_guarded_texts(dash, open_page):
    p = open_page(dash["standard"])
    with p.page.expect_download() as dl:
        p.page.click("#hx-xlsx")
    assert dl.value.suggested_filename.endswith(".xlsx")
    sheet = _sheet(dl.value.path())
    assert sheet[0] == ["Veri tarihi", dash["doc"]["meta"]["donemler"][-1]]
    assert sheet[1] == ["Filtreler", "Filtre yok"] and sheet[2] == ["Satır sayısı", float(N)] and sheet[3] == []
    head, body = sheet[4], sheet[5:]
    assert len(body) == N
    name, risk = head.index("Unvan"), head.index("Risk (mio TL)")
    by_name = {r[name]: r for r in body if len(r) > name}
    for f in FORMULAS:
        assert "'" + f in by_name, f
    assert by_name["Tutar 2"][risk] == 0.5 and isinstance(by_name["Tutar 0"][risk], float)
    assert "Excel indirildi" in _announced(p.page)
    assert p.errors == []


@pytest.fixture(scope="module")
def past_excel_page(tmp_path_factory):
    folder = tmp_path_factory.mktemp("past_excel")
    path = folder / "scoreboard.json"
    path.write_text(json.dumps(make_scoreboard(EXCEL_MAX_ROWS + 1, seed=3), ensure_ascii=False), encoding="utf-8")
    return vitrum.render_html(str(path), output_html=str(folder / "standard.html"), top_n=100)["html_path"]


def test_more_rows_than_excel_holds_offer_csv_only_until_a_filter_leaves_fewer(past_excel_page, open_page):
    p = open_page(past_excel_page)
    pg = p.page
    assert p.state()["matchedRows"] == EXCEL_MAX_ROWS + 1
    assert pg.is_disabled("#hx-xlsx") and pg.is_enabled("#hx-csv")
    note = pg.text_content("#hx-csv-note")
    assert "100.000" in note and "CSV" in note
    assert pg.get_attribute("#hx-xlsx", "title") == note
    p.select("hx-f-seg", "KOBI")
    assert 0 < p.state()["matchedRows"] <= EXCEL_MAX_ROWS
    assert pg.is_enabled("#hx-xlsx") and pg.text_content("#hx-csv-note") == ""
    assert p.errors == []
