"""The close-monitoring model on the standard and administrator pages: the probability against
the alert threshold, caught / missed, the model's reasons and back-test history in a borrower's
detail, the back-test panel and the run's warnings; the compressed page stays lean.

Pages are rendered from a small sample document with the model's members set by hand into
test_output/browser/model/; screenshots at 1440x900 and 360x740 are left beside them.

    .venv/bin/python -m pytest -q tests/browser/test_model_on_page.py
"""

from __future__ import annotations

from pathlib import Path

import pytest

from test_dashboard import open_page  # noqa: F401  (the fixture; skips without Chromium)
from test_pages import _renderer_order, csv_export, fresh_output, write_document

from halvex.pipeline import vitrum
from halvex.sample.scoreboard import make_scoreboard

OUT = Path(__file__).resolve().parents[2] / "test_output" / "browser" / "model"
N = 400
THRESHOLD = 0.35
KNOWN = 0          # the borrower whose detail is checked (its index among the rows)
REASONS = [{"feature": "qvr_score", "label": "QVR skoru", "logodds": 0.8123},
           {"feature": "risk_degisim_3", "label": "3 dönemde risk değişimi", "logodds": -0.2049},
           {"feature": "yi_flag_count_4", "label": "Son 4 dönemde YI bayrağı", "logodds": 0.05}]
WARNINGS = ["Skor PSI kırmızı bantta (0,31)", "Firma sayısı %12 düştü"]


def _block(rows, positives, auc, base, segments=True):
    b = {"rows": rows, "positives": positives, "auc": auc, "gini": 2 * auc - 1, "ks": 0.4, "pr_auc": 0.3, "brier": 0.02,
         "calibration": [{"score_min": -5 + k, "score_max": -4 + k, "rows": rows // 10, "mean_prob": base * (k + 1) / 10,
                          "observed_rate": base * (k + 1.5) / 10} for k in range(10)],
         "capture": [{"share": s, "rows": int(rows * s), "positives": int(positives * c), "capture": c, "lift": c / s}
                     for s, c in ((0.01, 0.18), (0.05, 0.46), (0.1, 0.63))],
         "undefined": None, "alerted": positives + 20, "caught": positives // 2, "missed": positives - positives // 2,
         "false_alarms": positives + 20 - positives // 2,
         "mean_lead_time": 1.8}
    if segments:
        b["segments"] = {s: {k: v for k, v in _block(rows // 4, positives // 4, auc - 0.02 * j, base, False).items()}
                         for j, s in enumerate(["KUR-TIC", "KOBI", "MIKRO", "ESKK"])}
    return b


def _summary():
    origins = []
    for k, o in enumerate(["202401", "202402", "202403"]):
        b = _block(900 + 10 * k, 40 + k, 0.80 + 0.01 * k, 0.3)
        b.update(origin=o, score_alone_auc=0.70 + 0.01 * k, train_periods=8 + k, valid_periods=2, alert_share=0.06)
        origins.append(b)
    overall = _block(2730, 123, 0.81, 0.3)
    overall["score_alone_auc"] = 0.71
    return {"format": 1, "horizon": 3, "origins_requested": 6, "origins_possible": 3, "origins_used": 3,
            "alert_rule": {"share": None, "multiple": 3}, "origins": origins, "overall": overall}


def _document():
    doc = make_scoreboard(N, seed=23)
    doc["meta"].update(alarm_esigi=THRESHOLD, model_id="a1b2c3d4e5f6", model_egitim_tarihi="2024-06-30",
                       uyarilar=[{"kapi": "k", "gecti": False, "mesaj": w} for w in WARNINGS],
                       model_dogrulandi=False)
    rows = doc["rows"]
    for k, r in enumerate(rows):
        r["_ml_yi_prob"] = round(k / N * 0.6, 4)
        r["_yakalanan"] = r["_kacirilan"] = 0
    # the known borrower first in the renderer's order, above the threshold, caught
    rows[KNOWN].update(son_risk=9e12, unvan="Bilinen Firma A.Ş.", _ml_yi_prob=0.4321, _yakalanan=1)
    rows[1].update(son_risk=8e12, unvan="Eşikteki Firma", _ml_yi_prob=THRESHOLD, _kacirilan=1)
    rows[2].update(son_risk=7e12, unvan="Eşik Altı Firma", _ml_yi_prob=0.3499)
    return doc


def _extra(doc, mode):
    known = doc["rows"][KNOWN]["muta"]
    return {"page_mode": mode, "backtest_summary": _summary(),
            "backtest_firma": {str(known): {"202401": {"prob": 0.12, "score": -2.0, "alerted": False, "outcome": 0, "caught": False, "missed": False},
                                            "202402": {"prob": 0.41, "score": -0.3, "alerted": True, "outcome": 0, "caught": False, "missed": False},
                                            "202403": {"prob": 0.52, "score": 0.1, "alerted": True, "outcome": 1, "caught": True, "missed": False}}},
            "ml_predictions": [{"entity_id": str(known), "donem": doc["meta"]["donemler"][-1], "prob": 0.4321, "score": 0.2,
                                "rank": 1, "reasons": REASONS},
                               {"entity_id": str(doc["rows"][2]["muta"]), "donem": doc["meta"]["donemler"][-1], "prob": 0.3499,
                                "score": 0.1, "rank": 2, "reasons": []}]}


@pytest.fixture(scope="module")
def pages():
    fresh_output(OUT)
    doc = _document()
    path = write_document(OUT, doc, reference=False)
    out = {"doc": doc, "rows": _renderer_order([dict(r) for r in doc["rows"]])}
    for mode in ("standard", "admin"):
        out[mode] = vitrum.render_html(doc, output_html=str(OUT / f"{mode}.html"), top_n=1000,
                                       extra_data=_extra(doc, "admin" if mode == "admin" else ""))["html_path"]
    out["v300"] = vitrum.render_html_v300(str(path), output_html=str(OUT / "v300.html"), top_n=1000)["html_path"]
    return out


def _shot(p, name, full=False):
    p.page.screenshot(path=str(OUT / f"{name}.png"), full_page=full)


def _row_cells(p, muta):
    """Cells of the grid row of one customer number, by column id."""
    return p.page.evaluate("""m => { const cols = window.__halvex.columns;
        const row = [...document.querySelectorAll('#hx-rows .row:not([hidden])')]
            .find(r => r.querySelectorAll('[role=gridcell]')[0].textContent === String(m));
        return Object.fromEntries(cols.map((id, k) => { const c = row.querySelectorAll('[role=gridcell]')[k];
            return [id, {text: c.textContent, title: c.title, cls: c.className,
                         marks: [...c.querySelectorAll('.mk')].filter(x => !x.hidden).map(x => x.textContent)}]; })); }""", muta)


def _open_detail(p, muta):
    p.search(str(muta))
    p.page.click("#hx-rows .row:not([hidden])")
    p.settle()
    assert p.state()["detailMuta"] in (muta, str(muta))


# ------------------------------------------------------------------ the known borrower
@pytest.mark.parametrize("name", ["standard", "admin"])
def test_probability_marks_and_reasons_of_a_known_borrower(pages, open_page, name):
    doc = pages["doc"]
    known, at, below = (doc["rows"][k]["muta"] for k in (KNOWN, 1, 2))
    p = open_page(pages[name])
    assert p.errors == [] and p.requests == []
    # the probability in the grid, marked at or above the threshold, with the threshold in the tooltip
    cells = {m: _row_cells(p, m) for m in (known, at, below)}
    assert cells[known]["ml"]["text"] == "43,2"
    assert "ml-alarm" in cells[known]["ml"]["cls"] and "alarm eşiği %35,0 ve üstünde" in cells[known]["ml"]["title"]
    assert "ml-alarm" in cells[at]["ml"]["cls"]                       # at the threshold counts
    assert "ml-alarm" not in cells[below]["ml"]["cls"] and "altında" in cells[below]["ml"]["title"]
    assert cells[known]["marks"]["marks"] == ["YK"] and cells[at]["marks"]["marks"] == ["KÇ"]
    head = p.page.get_attribute("#hx-head [data-col=ml]", "title")
    assert "alarm eşiği %35,0" in head
    # the run's warnings and what the marks rest on, above the grid
    note = p.page.text_content("#hx-model")
    for w in WARNINGS + ["Model bu çalıştırmada eğitildi, doğrulanmadı.", "a1b2c3d4e5f6", "2024-06-30",
                         "alarm eşiği: %35,0", "son başlangıç dönemine (202403)", "en az ufuk (3 dönem)"]:
        assert w in note, w
    # the list of predictions gives the reasons in words, not as JSON
    listed = p.page.text_content("#hx-ml")
    assert "↑ QVR skoru (+0,81); ↓ 3 dönemde risk değişimi (\u22120,20)" in listed and '"feature"' not in listed
    _shot(p, f"{name}_grid_1440")
    # the detail: probability as in the grid, the threshold, the caught note, three reasons
    _open_detail(p, known)
    detail = p.page.text_content("#hx-detail")
    facts = p.page.eval_on_selector_all("#hx-detail table.kv tr", "rs => rs.map(r => [...r.cells].map(c => c.textContent))")
    assert ["ML YI olasılığı (%)", "43,2"] in facts and ["Alarm eşiği (%)", "35,0 ▲ eşikte ya da üstünde"] in facts
    assert "son başlangıç dönemine (202403)" in detail
    reasons = p.page.eval_on_selector_all("#hx-detail ul.reasons li", "ls => ls.map(l => [l.className, l.textContent])")
    assert reasons == [["dir-up", "↑QVR skoru – riski artırır (+0,81 log-odds)"],
                       ["dir-down", "↓3 dönemde risk değişimi – riski azaltır (\u22120,20 log-odds)"],
                       ["dir-up", "↑Son 4 dönemde YI bayrağı – riski artırır (+0,05 log-odds)"]]
    # the back-test history, per origin
    hist = p.page.eval_on_selector_all("#hx-detail h3:text('Geri test geçmişi') + table tr",
                                       "rs => rs.map(r => [...r.cells].map(c => c.textContent))")
    assert hist == [["Başlangıç", "Olasılık (%)", "Alarm", "YI oldu", "Sonuç"],
                    ["202401", "12,0", "Hayır", "Hayır", "Alarm yok, YI yok"],
                    ["202402", "41,0", "Evet", "Hayır", "Yanlış alarm"],
                    ["202403", "52,0", "Evet", "Evet", "Yakalandı"]]
    _shot(p, f"{name}_detail_1440")
    p.page.click("#hx-detail-close")
    # a prediction without reasons says so
    _open_detail(p, below)
    assert "neden hesaplanmadı" in p.page.text_content("#hx-detail")
    assert p.errors == []


def test_sort_and_filter_by_probability_and_caught_missed(pages, open_page):
    rows = pages["rows"]
    p = open_page(pages["standard"])
    p.page.click("#hx-head [data-col=ml]")
    p.settle()
    want = [r["muta"] for r in sorted(rows, key=lambda r: -r["_ml_yi_prob"])[:5]]
    assert [str(m) for m in p.mutas(5)] == [str(m) for m in want]
    # at least the threshold, typed the Turkish way
    p.page.fill("#hx-f-ml", "%35")
    p.page.dispatch_event("#hx-f-ml", "change")
    p.settle()
    assert p.state()["matchedRows"] == sum(1 for r in rows if r["_ml_yi_prob"] >= THRESHOLD)
    p.page.click("#hx-clear")
    p.page.click("#hx-model-alarm")                         # the same from the note's button
    p.settle()
    assert p.page.input_value("#hx-f-ml") == "35"
    assert p.state()["matchedRows"] == sum(1 for r in rows if r["_ml_yi_prob"] >= THRESHOLD)
    p.page.click("#hx-clear")
    # caught, then missed, from the marks filter whose tooltip says where they come from
    labels = p.page.eval_on_selector_all("#hx-f-marks label", "ls => ls.map(l => [l.textContent.trim(), l.title])")
    assert labels[4][0] == "YK" and "son başlangıç dönemine (202403)" in labels[4][1]
    assert labels[5][0] == "KÇ" and "en az ufuk" in labels[5][1]
    p.page.check("#hx-f-marks input[value='16']")
    p.settle()
    assert [str(m) for m in p.mutas(10)] == [str(rows[0]["muta"])]
    p.page.uncheck("#hx-f-marks input[value='16']")
    p.page.check("#hx-f-marks input[value='32']")
    p.settle()
    assert p.state()["matchedRows"] == 1 and p.column_texts("ml") == ["35,0"]


def test_csv_has_the_probability_as_the_grid_shows_it(pages, open_page):
    p = open_page(pages["standard"])
    with p.page.expect_download() as dl:
        p.page.click("#hx-csv")
    _, table = csv_export(Path(dl.value.path()).read_bytes().decode("utf-8-sig"))
    col = table[0].index("ML YI olasılığı (%)")
    by_muta = {row[0]: row[col] for row in table[1:]}
    assert by_muta[str(pages["doc"]["rows"][KNOWN]["muta"])] == "43,2"
    assert by_muta[str(pages["doc"]["rows"][2]["muta"])] == "35,0"      # 0.3499, as the grid rounds it


# ------------------------------------------------------------------ the back-test panel
def test_backtest_panel_is_drawn(pages, open_page):
    p = open_page(pages["standard"])
    assert p.page.is_visible("#hx-p-backtest")
    box = "#hx-backtest"
    assert p.page.locator(f"{box} svg.bt-chart").count() == 2
    capture = p.page.get_attribute(f"{box} svg.bt-chart >> nth=0", "aria-label")
    assert "en riskli %1,0 içinde YI'lerin %18,0" in capture and "%10,0 içinde YI'lerin %63,0" in capture
    assert p.page.locator(f"{box} svg.bt-chart >> nth=1").locator("circle.pt").count() == 10
    tables = p.page.eval_on_selector_all(f"{box} table", "ts => ts.map(t => [...t.rows].map(r => [...r.cells].map(c => c.textContent)))")
    by_origin = next(t for t in tables if t[0][0] == "Başlangıç")
    assert by_origin[0] == ["Başlangıç", "Firma", "YI", "AUC", "Yalnız skor AUC", "Alarm", "Yakalanan", "Kaçırılan", "Yanlış alarm"]
    assert by_origin[1] == ["202401", "900", "40", "0,800", "0,700", "60", "20", "20", "40"]
    assert by_origin[-1] == ["Havuz", "2.730", "123", "0,810", "0,710", "143", "61", "62", "82"] and len(by_origin) == 5
    by_seg = next(t for t in tables if t[0][0] == "Segment")
    assert [r[0] for r in by_seg[1:]] == ["KUR-TIC", "KOBI", "MIKRO", "ESKK"]
    # another origin redraws the charts and segments
    p.page.select_option(f"{box} select", label="Başlangıç 202403")
    p.settle()
    assert p.state()["backtestView"] == 3
    p.page.locator("#hx-p-backtest").scroll_into_view_if_needed()
    p.page.locator("#hx-p-backtest").screenshot(path=str(OUT / "backtest_panel_1440.png"))
    assert p.errors == []


def test_compressed_page_stays_lean_and_old_sections_still_show(pages, open_page, tmp_path):
    p = open_page(pages["v300"])
    assert "ml" not in p.state()["columns"]
    note = p.page.text_content("#hx-model")                 # the run's warnings only
    assert WARNINGS[0] in note and "alarm eşiği" not in note
    assert p.errors == []
    # a back-test section of another shape is listed as before
    doc = make_scoreboard(50, seed=3)
    html = vitrum.render_html(doc, output_html=str(tmp_path / "old.html"),
                              extra_data={"backtest_summary": {"2025-09": {"yakalanan": 41, "kacirilan": 9}}})["html_path"]
    q = open_page(html)
    assert "yakalanan" in q.page.text_content("#hx-backtest") and q.page.locator("#hx-backtest svg").count() == 0
    assert q.page.is_hidden("#hx-model") and q.errors == []


# ------------------------------------------------------------------ small screens and accessibility
@pytest.mark.parametrize("name", ["standard", "admin"])
def test_small_screen_screenshots(pages, open_page, name):
    p = open_page(pages[name], size=(360, 740))
    _shot(p, f"{name}_360", full=True)
    _open_detail(p, pages["doc"]["rows"][KNOWN]["muta"])
    _shot(p, f"{name}_detail_360")
    assert p.errors == []


@pytest.mark.parametrize("name", ["standard", "admin"])
@pytest.mark.parametrize("dark", [False, True], ids=["light", "dark"])
def test_accessibility_audit_finds_nothing_serious(pages, open_page, name, dark):
    from axe_playwright_python.sync_playwright import Axe

    def audit(p):
        res = Axe().run(p.page)
        return [(v["id"], v["impact"], [n["target"] for n in v["nodes"]][:3])
                for v in res.response["violations"] if v["impact"] in ("critical", "serious")]
    p = open_page(pages[name], dark=dark)
    assert audit(p) == []
    _open_detail(p, pages["doc"]["rows"][KNOWN]["muta"])       # reasons and history open
    assert audit(p) == []
    _shot(p, f"{name}_{'dark' if dark else 'light'}_axe")
