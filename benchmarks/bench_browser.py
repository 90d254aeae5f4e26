"""Both dashboard pages opened in headless Chromium (Debian's chromium, via Playwright).

A 1,000,000-row compressed-chunk page and a 100,000-row standard page: time to the first rows
shown and to every row decoded (from the page's own clock, window.__halvex, counted from the
start of navigation), then sorting, filtering and searching the full set (time until the
view is recomputed, and until the next frame is painted), and a jump to the last row of the
scaled scroll area.

    .venv/bin/python benchmarks/bench_browser.py [--rows 1000000] [--std-rows 100000] [--out bench_out/browser]

Sample documents and pages are cached under --out; delete the folder to make new ones.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

CHROMIUM = os.environ.get("HALVEX_CHROMIUM", "/usr/bin/chromium")
LOAD_TIMEOUT_MS = 120_000
RUNS = 3

TIMED = """async (action) => {
  const t0 = performance.now();
  action.kind === 'sort' ? window.__halvex.sortBy(action.id, action.desc)
    : action.kind === 'pick' ? (() => { const b = document.querySelector('#' + action.id + ' .ms-list input[value="' + action.value + '"]');
                                        b.checked = !b.checked; b.dispatchEvent(new Event('change')); })()
    : action.kind === 'range' ? (() => { const s = document.getElementById(action.id); s.value = action.value;
                                         s.dispatchEvent(new Event('change')); })()
    : action.kind === 'sort2' ? (() => { window.__halvex.sortBy(action.id, action.desc);
                                         document.querySelector('#hx-head [data-col="' + action.then + '"]')
                                           .dispatchEvent(new MouseEvent('click', { shiftKey: true })); })()
    : (() => { const q = document.getElementById('hx-q'); q.value = action.value; q.dispatchEvent(new Event('input')); })();
  const t1 = performance.now();
  await new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)));
  return { compute: window.__halvex.lastQueryMs, sync: t1 - t0, painted: performance.now() - t0,
           matched: window.__halvex.matchedRows };
}"""


def _document(path: Path, rows: int, seed: int):
    if path.exists():
        return
    from halvex.sample.scoreboard import make_scoreboard, write_scoreboard_json, write_reference_csv
    print(f"writing a {rows:,}-row document to {path} ...", flush=True)
    doc = make_scoreboard(rows, n_periods=12, n_risk_periods=3, seed=seed)
    write_scoreboard_json(path, doc)
    write_reference_csv(path.parent / "sube_bolge_ref.csv", doc)


RENDER = """
import json, sys, time, io, contextlib
from halvex.pipeline import vitrum
kind, doc, html = sys.argv[1:4]
t = time.perf_counter()
with contextlib.redirect_stdout(io.StringIO()):
    r = (vitrum.render_html_v300 if kind == "v300" else vitrum.render_html)(doc, output_html=html)
r["render_s"] = time.perf_counter() - t
print("@@" + json.dumps(r))
"""


def _render(kind: str, doc: Path, html: Path, reuse: bool) -> dict:
    """Renders one page in a child process (keeps the million-row render's memory out of this one)."""
    if reuse and html.exists():
        return {"html_path": str(html), "size_kb": html.stat().st_size / 1024, "render_s": float("nan")}
    out = subprocess.run([sys.executable, "-c", RENDER, kind, str(doc), str(html)],
                         capture_output=True, text=True, check=True)
    return json.loads([l for l in out.stdout.splitlines() if l.startswith("@@")][-1][2:])


def _pages(out: Path, rows: int, std_rows: int, reuse: bool) -> dict:
    big = out / "json" / f"scoreboard_{rows}.json"
    small = out / "json_std" / f"scoreboard_{std_rows}.json"
    _document(big, rows, 1)
    _document(small, std_rows, 2)
    return {"v300": _render("v300", big, out / "html" / f"v300_{rows}.html", reuse),
            "standard": _render("standard", small, out / "html" / f"standard_{std_rows}.html", reuse)}


def _open(browser, path: str):
    ctx = browser.new_context(viewport={"width": 1440, "height": 900})
    page = ctx.new_page()
    errors = []
    page.on("pageerror", lambda e: errors.append(str(e)))
    page.on("console", lambda m: errors.append(m.text) if m.type == "error" else None)
    page.goto(Path(path).as_uri(), wait_until="commit")
    page.wait_for_function("window.__halvex && window.__halvex.allDecodedAt !== null", timeout=LOAD_TIMEOUT_MS,
                           polling=50)
    state = page.evaluate("""() => { const h = {}; for (const [k, v] of Object.entries(window.__halvex))
                               if (typeof v !== 'function') h[k] = v; return h; }""")
    return ctx, page, state, errors


def _bench_page(browser, name: str, result: dict) -> dict:
    loads = []
    for _ in range(RUNS):
        ctx, page, st, errors = _open(browser, result["html_path"])
        loads.append(st)
        ctx.close()
    ctx, page, st, errors = _open(browser, result["html_path"])
    rep = {
        "rows": st["totalRows"], "chunks": st["totalChunks"], "size_mb": result["size_kb"] / 1024,
        "render_s": result["render_s"],
        "first_rows_ms": statistics.median(s["firstRowsAt"] for s in loads),
        "all_decoded_ms": statistics.median(s["allDecodedAt"] for s in loads),
        "decoded_ok": all(s["decodedChunks"] == s["totalChunks"] and not s["failedChunks"] and s["loadedRows"] == s["totalRows"]
                          for s in loads),
        "errors": errors + st["errors"],
    }
    page.evaluate("document.getElementById('hx-show-all').click()")
    actions = [
        ("sort risk ascending", {"kind": "sort", "id": "risk", "desc": False}),
        ("sort latest score", {"kind": "sort", "id": "s11", "desc": True}),
        ("sort unvan", {"kind": "sort", "id": "unvan", "desc": False}),
        ("sort muta", {"kind": "sort", "id": "muta", "desc": False}),
        ("sort segment, then risk", {"kind": "sort2", "id": "segment", "desc": False, "then": "risk"}),
        ("filter segment KOBI", {"kind": "pick", "id": "hx-f-seg", "value": "1"}),
        ("filter band >= 825", {"kind": "pick", "id": "hx-f-band", "value": "2"}),
        ("filter risk >= 5 mio TL", {"kind": "range", "id": "hx-f-risk", "value": "5"}),
        ("search 'çelik'", {"kind": "search", "value": "çelik"}),
        ("clear search", {"kind": "search", "value": ""}),
    ]
    timings = {}
    for label, action in actions:
        if action["kind"] == "search":
            # the search box waits 150 ms for more typing: time the filtering itself
            page.evaluate("a => { const q = document.getElementById('hx-q'); q.value = a.value; "
                          "q.dispatchEvent(new Event('input')); }", action)
            page.wait_for_function("q => window.__halvex.query === q", arg=action["value"])
            page.evaluate("() => new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")
            timings[label] = {"compute": page.evaluate("window.__halvex.lastQueryMs"),
                              "matched": page.evaluate("window.__halvex.matchedRows")}
        else:
            timings[label] = page.evaluate(TIMED, action)
    rep["queries"] = timings
    # the scaled scroll area reaches the last row
    page.evaluate("document.getElementById('hx-clear').click()")
    page.evaluate("() => new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")
    page.evaluate("() => { const g = document.getElementById('hx-grid'); g.scrollTop = g.scrollHeight; }")
    page.evaluate("() => new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")
    last_shown = page.eval_on_selector_all("#hx-rows .row:not([hidden])", "rs => rs.map(r => r.children[0].textContent)")
    last_in_view = page.evaluate("() => { const h = window.__halvex; return String(h.viewMutas(h.shownRows).pop()); }")
    rep["scroll_reaches_last_row"] = bool(last_shown) and last_shown[-1] == last_in_view
    rep["scroll_height_px"] = page.evaluate("document.getElementById('hx-grid').scrollHeight")
    # long tasks while scrolling through the whole list in 120 steps, one per frame
    rep["scroll_longest_task_ms"] = page.evaluate("""async () => {
      const g = document.getElementById('hx-grid'); let longest = 0;
      const obs = new PerformanceObserver(l => { for (const e of l.getEntries()) longest = Math.max(longest, e.duration); });
      obs.observe({ type: 'longtask' });
      for (let k = 0; k <= 120; k++) {
        g.scrollTop = (g.scrollHeight - g.clientHeight) * k / 120;
        await new Promise(r => requestAnimationFrame(r));
      }
      await new Promise(r => setTimeout(r, 100));
      obs.disconnect();
      return longest; }""")
    ctx.close()
    return rep


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=1_000_000, help="rows of the compressed-chunk page")
    ap.add_argument("--std-rows", type=int, default=100_000, help="rows of the standard page")
    ap.add_argument("--out", default="bench_out/browser")
    ap.add_argument("--reuse", action="store_true", help="open the pages already rendered under --out")
    args = ap.parse_args()
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        print("playwright for Python is not installed", file=sys.stderr)
        return 2
    if not os.access(CHROMIUM, os.X_OK):
        print(f"no Chromium at {CHROMIUM}", file=sys.stderr)
        return 2
    out = Path(args.out).resolve()
    pages = _pages(out, args.rows, args.std_rows, args.reuse)
    report = {}
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox", "--disable-gpu"])
        for name in ("v300", "standard"):
            report[name] = rep = _bench_page(browser, name, pages[name])
            print(f"\n{name}: {rep['rows']:,} rows, {rep['chunks']} chunks, {rep['size_mb']:.1f} MB page "
                  f"(rendered in {rep['render_s']:.1f} s)")
            print(f"  first rows shown      {rep['first_rows_ms']:8.0f} ms   (median of {RUNS} loads)")
            print(f"  all rows decoded      {rep['all_decoded_ms']:8.0f} ms   every chunk ok: {rep['decoded_ok']}")
            for label, t in rep["queries"].items():
                painted = f"   painted {t['painted']:6.0f} ms" if "painted" in t else ""
                print(f"  {label:22s}{t['compute']:8.0f} ms{painted}   ({t['matched']:,} rows)")
            print(f"  longest task while scrolling: {rep['scroll_longest_task_ms']:.0f} ms (0: none over 50 ms)")
            print(f"  scroll to the end shows the last row: {rep['scroll_reaches_last_row']} "
                  f"(scroll height {rep['scroll_height_px']:,} px)")
            if rep["errors"]:
                print("  page errors:", rep["errors"][:5])
        browser.close()
    (out / "report.json").write_text(json.dumps(report, indent=1), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
