"""The columns the page's decoder builds from the standard page's chunks, row by row, against
the chunks' own JSON: names (one per row until the page merges them), reasons (a short list
per chunk that turns into a map past sixteen texts), scores, marks and amounts, on rows with
escapes, unicode, nulls, negative and tiny numbers and "YI" scores.

    .venv/bin/python -m pytest -q tests/browser/test_decoded_columns.py
"""

from __future__ import annotations

import json
import math
import re
from pathlib import Path

import pytest

from chromium import CHROMIUM, require  # noqa: E402

sync_api = require()

from halvex.pipeline import vitrum  # noqa: E402
from halvex.sample.scoreboard import make_scoreboard  # noqa: E402

OUT = Path(__file__).resolve().parents[2] / "test_output" / "browser" / "columns"
N_ROWS = 1500
CHUNK = 400
NULL_SCORE = -2147483648
MARKS = ["hizli_yukselen", "rejim_degisimi", "potansiyel_yi", "erken_sinyal", "yakalanan", "kacirilan"]
TRICKY_NAMES = ['Tırnak "çift" ve \\ ters bölü A.Ş.', "</script><b>Kalın</b> Ltd.", "Kontrol\x01\x1f karakteri",
                "Emoji 😀 ve İŞĞÜÖÇ ışğüöç", "", "   boşluklu   ", "\u2028satır\u2029ayırıcı", "1e5"]


def _document():
    doc = make_scoreboard(N_ROWS, seed=11)
    rows, periods = doc["rows"], doc["meta"]["donemler"]
    for k, name in enumerate(TRICKY_NAMES):
        rows[k]["unvan"] = name
    rows[10]["qvr" + periods[-1]] = "YI"
    rows[11]["qvr" + periods[-1]] = None
    rows[12]["qvr" + periods[-2]] = 458.5
    rows[13]["_ml_yi_prob"] = 1e-9
    rows[14]["_ml_yi_prob"] = 0.1 + 0.2
    rows[15]["_qvr_neden"] = 'Neden "tırnaklı" \\ ve\nsatırlı'
    rows[16]["son_risk"] = None
    rows[17]["son_risk"] = -2500000
    rows[18]["_hizli_yukselen"] = 1
    # more distinct reasons than a chunk keeps in its short list, some seen again later
    for k in range(19, N_ROWS, 7):
        rows[k]["_qvr_neden"] = f"Neden {k % 40}"
    return doc


def _mark(v) -> bool:
    if v is True:
        return True
    if isinstance(v, (int, float)) and not isinstance(v, bool):
        return v != 0 and v == v
    if isinstance(v, str):
        return v.strip().lower() not in ("", "0", "false", "none")
    return False


def _band(s: int) -> int:
    return 4 if s == NULL_SCORE else 3 if s == -1 else 2 if s >= 825 else 1 if s >= 500 else 0


def _expected(a: list, slots: dict) -> dict:
    """A row's values as the decoder keeps them, worked out from the row array."""
    def get(key, k=0):
        p = slots[key] + k
        return a[p] if p < len(a) else None

    def num(v):
        return float("nan") if v is None or isinstance(v, (str, bool)) else v
    scores = []
    for k in range(slots["P"]):
        v = get("scores", k)
        scores.append(int(v) if isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) else NULL_SCORE)
    seg = get("segment")
    return {"muta": "" if get("muta") is None else get("muta"),
            "unvan": "" if get("unvan") is None else str(get("unvan")),
            "seg": seg if isinstance(seg, int) and 0 <= seg <= 3 else -1,
            "risk": num(get("risk")),
            "scores": scores,
            "marks": sum(1 << k for k, m in enumerate(MARKS) if _mark(get(m))),
            "lastBand": _band(scores[-1]),
            "neden": "" if get("qvr_neden") is None else str(get("qvr_neden"))}


def _text(d: dict) -> str:
    # as text, so that a missing amount (NaN) equals itself
    return json.dumps({k: (float(v) if isinstance(v, (int, float)) and not isinstance(v, bool) and k in ("risk", "muta") else v)
                       for k, v in d.items()}, sort_keys=True, ensure_ascii=False)


@pytest.fixture(scope="module")
def standard_page():
    OUT.mkdir(parents=True, exist_ok=True)
    doc_path = OUT / "scoreboard.json"
    doc_path.write_text(json.dumps(_document(), ensure_ascii=False), encoding="utf-8")
    res = vitrum.render_html(str(doc_path), output_html=str(OUT / "standard.html"), chunk_size=CHUNK)
    html = Path(res["html_path"]).read_text(encoding="utf-8")
    slots = json.loads(re.search(r"var ROW_SLOTS = (.*);", html).group(1))
    chunks = re.findall(r'<script type="application/json" id="hx-chunk-\d+">(.*?)</script>', html, re.S)
    rows = [a for c in chunks for a in json.loads(c)]
    with sync_api.sync_playwright() as p:
        browser = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox", "--disable-gpu"])
        ctx = browser.new_context(viewport={"width": 1440, "height": 900})
        page = ctx.new_page()
        errors = []
        page.on("pageerror", lambda e: errors.append(str(e)))
        page.goto(Path(res["html_path"]).as_uri())
        page.wait_for_function("window.__halvex && window.__halvex.allDecodedAt !== null", timeout=30000)
        yield {"page": page, "rows": rows, "slots": slots, "chunks": len(chunks), "errors": errors}
        ctx.close()
        browser.close()


def test_every_value_of_every_chunk_reaches_the_column_store(standard_page):
    t = standard_page
    page = t["page"]
    assert t["chunks"] >= 4 and len(t["rows"]) == N_ROWS
    st = page.evaluate("() => ({ n: window.__halvex.loadedRows, failed: window.__halvex.failedChunks })")
    assert st == {"n": N_ROWS, "failed": []}
    page.evaluate("document.getElementById('hx-show-all').click()")
    got = page.evaluate("n => Array.from({ length: n }, (_, k) => window.__halvex.rowOf(k))", N_ROWS)
    reasons = set()
    for k, (a, g) in enumerate(zip(t["rows"], got)):
        assert _text(g) == _text(_expected(a, t["slots"])), (k, a, g)
        reasons.add(g["neden"])
    assert len(reasons) > 17                              # past the short list of reasons
    assert {n[:40] for n in TRICKY_NAMES} <= {g["unvan"] for g in got}
    assert not t["errors"]


def test_names_are_made_distinct_once_every_chunk_is_in(standard_page):
    t = standard_page
    page = t["page"]
    page.wait_for_function("window.__halvex.namesMergedAt !== null")
    names = {("" if a[t["slots"]["unvan"]] is None else a[t["slots"]["unvan"]]) for a in t["rows"]}
    assert page.evaluate("window.__halvex.distinctNames") == len(names)
