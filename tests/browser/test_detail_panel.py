"""The borrower's detail panel on the standard and the administrator page: the same finding
groups for the same borrower (unless the document says findings were withheld, which the
standard page then says), headings in words, long names kept inside the panel, and the
probability written as the CSV writes it.

Pages go to test_output/browser/detail/ with screenshots of the panel at 1440x900 and 360 px.

    .venv/bin/python -m pytest -q tests/browser/test_detail_panel.py
"""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from test_pages import CHROMIUM, Page, csv_export, write_document  # noqa: F401  (skips without Chromium)

from halvex.pipeline import vitrum
from halvex.sample.scoreboard import make_scoreboard

OUT = Path(__file__).resolve().parents[2] / "test_output" / "browser" / "detail"
LONG_NAME = "Uzun" + "Ticaretsanayiveyatırımholding" * 8 + " A.Ş."
LONG_SERIES = "ihracat_kredisi_ve_gayri_nakdi_teminat_mektubu_riski_toplami"
# one borrower's findings: a finding without its group (known by its code), a group named
# twice as new, and a period whose SQL finding the standard page does not get
FINDINGS = {
    "p1": {"bulgular": [{"katman": "KIK", "kriter": "KIK_HACIZ"}, {"katman": "RKD", "kriter": "RKD_GECIKME_30", "grup": "gecikme"}],
           "yeni_gruplar": []},
    "p2": {"bulgular": [{"katman": "RKD", "kriter": "RKD_IFLAS", "grup": "yasal"}],
           "yeni_gruplar": ["yasal", "gecikme", "yasal"]},
    "p3": {"bulgular": [{"katman": "SQL", "kriter": "MZ_TAKIP_HESABI", "grup": "icra"},
                        {"katman": "RKD", "kriter": "RKD_GECIKME_60", "grup": "gecikme"}],
           "yeni_gruplar": []},
}


def _render(name, doc, **kw):
    path = write_document(OUT / name, doc)
    return vitrum.render_html(str(path), output_html=str(OUT / f"{name}.html"), top_n=50, **kw)["html_path"]


@pytest.fixture(scope="module")
def detail():
    OUT.mkdir(parents=True, exist_ok=True)
    doc = make_scoreboard(300, seed=5)
    donemler = doc["meta"]["donemler"]
    row = doc["rows"][0]
    row.update(unvan=LONG_NAME, son_risk=9e15, _ml_yi_prob=0.198)
    muta = str(row["muta"])
    doc["diag_index"] = {muta: {donemler[-1 - k]: FINDINGS[p] for k, p in enumerate(FINDINGS)}}
    doc["meta"].update(risk_serileri={"r": "kombine_risk", "rd": "nakdi_risk", "df": "risk_degisim"}, bulgular_gizli=True)
    out = {"muta": muta, "periods": {p: donemler[-1 - k] for k, p in enumerate(FINDINGS)}}
    out["standard"] = _render("standard", doc)
    out["admin"] = _render("admin", doc, extra_data={"page_mode": "admin"})
    plain = json.loads(json.dumps(doc))
    plain["meta"].pop("bulgular_gizli")
    plain["meta"]["risk_serileri"] = {"r": "kombine_risk", "rd": LONG_SERIES}
    out["plain"] = _render("plain", plain)
    return out


@pytest.fixture
def open_detail(browser):
    opened = []

    def _open(path, muta, width=1440):
        p = Page.__new__(Page)
        p.ctx = browser.new_context(viewport={"width": width, "height": 900}, accept_downloads=True)
        p.page = p.ctx.new_page()
        p.errors, p.requests = [], []
        p.page.on("pageerror", lambda e: p.errors.append(str(e)))
        opened.append(p)
        p.page.goto(Path(path).as_uri())
        p.page.wait_for_function("window.__halvex && window.__halvex.allDecodedAt !== null", timeout=30000)
        p.search(muta)
        p.page.click("#hx-rows .row:not([hidden]) >> nth=0")
        p.page.wait_for_selector("#hx-detail:not([hidden])")
        return p
    yield _open
    for p in opened:
        p.close()


def _groups(p) -> dict:
    """Group chips per period, from the detail's table of periods."""
    return p.page.evaluate("""() => {
        const t = [...document.querySelectorAll('#hx-detail table.kv')].find(t => t.rows[0].textContent.includes('Gruplar'));
        return Object.fromEntries([...t.rows].slice(1).map(r => [r.cells[0].textContent,
            [...r.cells[2].querySelectorAll('.dg')].map(d => d.textContent)]));
    }""")


def test_both_pages_show_the_same_groups_but_for_withheld_findings(detail, open_detail):
    std = open_detail(detail["standard"], detail["muta"])
    adm = open_detail(detail["admin"], detail["muta"])
    s, a = _groups(std), _groups(adm)
    per = detail["periods"]
    assert s[per["p1"]] == a[per["p1"]] == ["İcra / Takip", "Gecikme"]
    assert s[per["p2"]] == a[per["p2"]] == ["Yasal Süreçler", "Gecikme"]
    # the SQL finding reaches the administrator page only, and the standard page says so
    assert s[per["p3"]] == ["Gecikme"] and a[per["p3"]] == ["İcra / Takip", "Gecikme"]
    assert {k: v for k, v in s.items() if k != per["p3"]} == {k: v for k, v in a.items() if k != per["p3"]}
    assert "SQL" in std.page.text_content("#hx-detail .withheld")
    assert adm.page.query_selector("#hx-detail .withheld") is None
    # the administrator's findings name the group of a finding that had none
    assert "KIK_HACIZ – KİK: haciz kaydı [İcra / Takip]" in adm.page.text_content("#hx-detail ul.findings")
    assert std.errors == adm.errors == []


def test_headings_in_words_and_long_names_inside_the_panel(detail, open_detail):
    for width in (1440, 360):
        p = open_detail(detail["standard"], detail["muta"], width)
        heads = p.page.eval_on_selector_all("#hx-detail table.kv th > .clip",
                                            "ss => ss.map(s => [s.textContent, s.parentNode.title])")
        assert ["Dönem", "Kombine risk", "Nakdi risk", "Risk değişimi"] in [
            [t for t, _ in heads[k:k + 4]] for k in range(len(heads))]
        assert all(t == title for t, title in heads)
        # the page has the name's first 40 characters, one word too wide for a narrow panel
        assert p.page.get_attribute("#hx-detail-title", "title") == LONG_NAME[:40]
        # nothing sticks out of the panel sideways
        assert p.page.evaluate("(e => e.scrollWidth <= e.clientWidth)(document.getElementById('hx-detail'))")
        p.page.screenshot(path=str(OUT / f"detail_{width}.png"))
    # a series name longer than its column ends with an ellipsis and is whole in its title
    p = open_detail(detail["plain"], detail["muta"], 360)
    th = p.page.locator("#hx-detail table.kv th", has_text="İhracat kredisi")
    assert th.get_attribute("title") == "İhracat kredisi ve gayri nakdi teminat mektubu riski toplami"
    assert th.locator(".clip").evaluate("s => s.scrollHeight > s.clientHeight")       # cut after two lines
    assert p.page.evaluate("(e => e.scrollWidth <= e.clientWidth)(document.getElementById('hx-detail'))")
    assert "İkinci" not in p.page.text_content("#hx-detail") and "Risk değişimi" in p.page.text_content("#hx-detail")
    assert p.page.query_selector("#hx-detail .withheld") is None     # the document withheld nothing


def test_probability_reads_alike_in_grid_detail_and_csv(detail, open_detail):
    p = open_detail(detail["standard"], detail["muta"])
    assert p.column_texts("ml") == ["19,8"]
    head = p.page.text_content("#hx-head [data-col='ml'] .t")
    fact = p.page.locator("#hx-detail table.kv tr", has_text="ML YI olasılığı").locator("th, td").all_text_contents()
    with p.page.expect_download() as dl:
        p.page.click("#hx-csv")
    _, table = csv_export(Path(dl.value.path()).read_text(encoding="utf-8-sig"))
    col = table[0].index(head)
    assert head == fact[0] == "ML YI olasılığı (%)"
    assert [r[col] for r in table[1:]] == [fact[1]] == ["19,8"]
