"""Both dashboard pages opened in headless Chromium (Debian's chromium, via Playwright).

By default both pages hold 1,000,000 rows (one sample document, cached under --cache, since
making it takes minutes): time to the first rows shown and to every row decoded (from the
page's own clock, window.__halvex, counted from the start of navigation), then sorting,
filtering and searching the full set (time until the view is recomputed, and until the next
frame is painted), the charts and the region summary following a filter, a jump to the last
row of the scaled scroll area, and the longest task while scrolling the whole list. Each
figure is printed as the minimum and the median of several runs next to its target.

    .venv/bin/python benchmarks/bench_browser.py [--rows 1000000] [--std-rows 1000000] [--out bench_out/browser]

Pages are rendered with the installed package; HALVEX_TEMPLATE_DIR=src/halvex/templates
renders them with the worktree's page script instead. The pages are cached under --out
(--reuse opens them again without rendering).
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
LOAD_TIMEOUT_MS = 180_000
RUNS = 3

# targets in milliseconds
TARGET_FIRST_ROWS_MS = 1500      # compressed page: first rows shown
TARGET_LOADED_MS = 6000          # every row decoded (both pages)
TARGET_QUERY_MS = 300            # sort, filter, search, charts and summary brought up to date
TARGET_TASK_MS = 50              # longest task while scrolling
TARGET_CSV_MS = 8000             # CSV of every row, from the click to the file

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

# A filter with the charts (and, on the standard page, the region summary) in view: time
# until both are drawn again and painted. Charts wait a moment for more input before they
# are redrawn; that wait is part of the figure.
CHARTS = """async (action) => {
  const boxes = ['hx-snapshot', 'hx-summary'].map(id => document.getElementById(id))
    .filter(b => b && !b.closest('[hidden]') && b.offsetParent !== null);
  const seen = new Set();
  const done = new Promise(resolve => {
    const obs = new MutationObserver(recs => {
      for (const r of recs) for (const b of boxes) if (b.contains(r.target)) seen.add(b);
      if (seen.size === boxes.length) { obs.disconnect(); resolve(); }
    });
    boxes.forEach(b => obs.observe(b, { childList: true, subtree: true }));
  });
  const t0 = performance.now();
  const s = document.getElementById(action.id); s.value = action.value; s.dispatchEvent(new Event('change'));
  await Promise.race([done, new Promise(r => setTimeout(r, 30000))]);
  const drawn = performance.now() - t0;
  await new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)));
  return { drawn, painted: performance.now() - t0, boxes: boxes.map(b => b.id), complete: seen.size === boxes.length };
}"""

# Long tasks while the grid is scrolled through the whole list in `steps` jumps (one per
# frame, as when the scroll bar is dragged), and while it is scrolled by a few rows per frame
# (as with a wheel).
SCROLL = """async ([steps, rowsPerStep]) => {
  const g = document.getElementById('hx-grid'); const tasks = [];
  const obs = new PerformanceObserver(l => { for (const e of l.getEntries()) tasks.push(e.duration); });
  obs.observe({ type: 'longtask' });
  const frame = () => new Promise(r => requestAnimationFrame(r));
  for (let k = 0; k <= steps; k++) {
    g.scrollTop = rowsPerStep ? k * rowsPerStep * 28 : (g.scrollHeight - g.clientHeight) * k / steps;
    await frame();
  }
  await new Promise(r => setTimeout(r, 300));
  obs.disconnect();
  return { longest: Math.max(0, ...tasks), count: tasks.length }; }"""


def _document(path: Path, rows: int, seed: int):
    if path.exists():
        return
    from halvex.sample.scoreboard import make_scoreboard, write_scoreboard_json, write_reference_csv
    print(f"writing a {rows:,}-row document to {path} ...", flush=True)
    path.parent.mkdir(parents=True, exist_ok=True)
    doc = make_scoreboard(rows, n_periods=12, n_risk_periods=3, seed=seed)
    part = path.with_name(path.name + ".part")
    write_scoreboard_json(part, doc)
    write_reference_csv(path.parent / "sube_bolge_ref.csv", doc)
    part.rename(path)           # a killed run leaves no half-written document behind


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
    print(f"rendering {html} ...", flush=True)
    out = subprocess.run([sys.executable, "-c", RENDER, kind, str(doc), str(html)],
                         capture_output=True, text=True, check=True)
    return json.loads([l for l in out.stdout.splitlines() if l.startswith("@@")][-1][2:])


def _pages(out: Path, cache: Path, rows: int, std_rows: int, reuse: bool) -> dict:
    # one document serves both pages when they have as many rows
    big = cache / f"rows_{rows}" / "scoreboard.json"
    small = big if std_rows == rows else cache / f"rows_{std_rows}" / "scoreboard.json"
    _document(big, rows, 1)
    _document(small, std_rows, 2)
    (out / "html").mkdir(parents=True, exist_ok=True)
    return {"v300": _render("v300", big, out / "html" / f"v300_{rows}.html", reuse),
            "standard": _render("standard", small, out / "html" / f"standard_{std_rows}.html", reuse)}

# CSV of the whole view: from the click until the file is handed to the browser (the link's
# click is caught, so nothing is saved), with the long tasks meanwhile (the page must not
# freeze while it writes).
EXPORT = """async () => {
  const tasks = [];
  const obs = new PerformanceObserver(l => { for (const e of l.getEntries()) tasks.push(e.duration); });
  obs.observe({ type: 'longtask' });
  const proto = HTMLAnchorElement.prototype, click = proto.click;
  const got = new Promise(r => { proto.click = function () { proto.click = click; r(performance.now()); }; });
  const t0 = performance.now();
  document.getElementById('hx-csv').click();
  const t1 = await got;
  obs.disconnect();
  return { ms: t1 - t0, longest: Math.max(0, ...tasks), count: tasks.length, rows: window.__halvex.lastCsvRows }; }"""


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


def _frames(page, n=2):
    page.evaluate("n => new Promise(r => { const f = k => k ? requestAnimationFrame(() => f(k - 1)) : r(); f(n); })", n)


def _quiet(page, ms=600):
    """Lets the page finish what it does after an action (the charts' redraw) before the next one."""
    page.wait_for_timeout(ms)
    _frames(page)


ACTIONS = [
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


def _queries(page) -> dict:
    """Each action once, from a page with every filter cleared; returns label -> timings."""
    page.evaluate("document.getElementById('hx-clear').click()")
    _quiet(page)
    timings = {}
    for label, action in ACTIONS:
        if action["kind"] == "search":
            # the search box waits 150 ms for more typing: time the filtering itself, and
            # from the last keystroke to the painted frame
            t = page.evaluate("""async a => { const t0 = performance.now(); const q = document.getElementById('hx-q');
                                   q.value = a.value; q.dispatchEvent(new Event('input'));
                                   while (window.__halvex.query !== a.value) await new Promise(r => setTimeout(r, 5));
                                   await new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)));
                                   return { painted: performance.now() - t0 }; }""", action)
            t.update(compute=page.evaluate("window.__halvex.lastQueryMs"),
                     matched=page.evaluate("window.__halvex.matchedRows"))
            timings[label] = t
        else:
            timings[label] = page.evaluate(TIMED, action)
        _quiet(page, 300)
    return timings


def _bench_page(browser, name: str, result: dict, load_only: bool = False) -> dict:
    loads = []
    for _ in range(RUNS):
        ctx, page, st, errors = _open(browser, result["html_path"])
        loads.append(st)
        ctx.close()
    ctx, page, st, errors = _open(browser, result["html_path"])
    rep = {
        "rows": st["totalRows"], "chunks": st["totalChunks"], "size_mb": result["size_kb"] / 1024,
        "render_s": result["render_s"],
        "first_rows_ms": [s["firstRowsAt"] for s in loads],
        "all_decoded_ms": [s["allDecodedAt"] for s in loads],
        "decoded_ok": all(s["decodedChunks"] == s["totalChunks"] and not s["failedChunks"] and s["loadedRows"] == s["totalRows"]
                          for s in loads),
        "errors": errors + st["errors"],
        "decode_ms": [s["decodeMs"] for s in loads],
    }
    if load_only:
        ctx.close()
        return rep
    page.evaluate("document.getElementById('hx-show-all').click()")
    _quiet(page, 2000)
    runs = [_queries(page) for _ in range(RUNS)]
    rep["queries"] = {label: {"compute": [r[label]["compute"] for r in runs],
                              "painted": [r[label]["painted"] for r in runs],
                              "matched": runs[-1][label]["matched"]} for label, _ in ACTIONS}
    # charts and region summary in view, following a filter
    page.evaluate("document.getElementById('hx-clear').click()")
    page.evaluate("document.getElementById('hx-panels').scrollIntoView()")
    _quiet(page, 2000)
    charts = []
    for k in range(RUNS):
        charts.append(page.evaluate(CHARTS, {"id": "hx-f-risk", "value": "5" if k % 2 == 0 else ""}))
        _quiet(page, 300)
    rep["charts"] = {"painted": [c["painted"] for c in charts], "boxes": charts[0]["boxes"],
                     "complete": all(c["complete"] for c in charts)}
    page.evaluate("document.getElementById('hx-clear').click()")
    page.evaluate("window.scrollTo(0, 0)")
    _quiet(page, 2000)
    # the scaled scroll area reaches the last row
    page.evaluate("() => { const g = document.getElementById('hx-grid'); g.scrollTop = g.scrollHeight; }")
    _frames(page, 3)
    last_shown = page.eval_on_selector_all("#hx-rows .row:not([hidden])", "rs => rs.map(r => r.querySelectorAll('[role=gridcell]')[0].textContent)")
    last_in_view = page.evaluate("() => { const h = window.__halvex; return String(h.viewMutas(h.shownRows).pop()); }")
    rep["scroll_reaches_last_row"] = bool(last_shown) and last_shown[-1] == last_in_view
    rep["scroll_height_px"] = page.evaluate("document.getElementById('hx-grid').scrollHeight")
    jumps, wheel = [], []
    for _ in range(RUNS):
        page.evaluate("document.getElementById('hx-grid').scrollTop = 0")
        _quiet(page, 300)
        jumps.append(page.evaluate(SCROLL, [120, 0]))
        page.evaluate("document.getElementById('hx-grid').scrollTop = 0")
        _quiet(page, 300)
        wheel.append(page.evaluate(SCROLL, [120, 3]))
    rep["scroll_jump_longest_ms"] = [s["longest"] for s in jumps]
    rep["scroll_wheel_longest_ms"] = [s["longest"] for s in wheel]
    rep["scroll_jump_long_tasks"] = [s["count"] for s in jumps]
    _quiet(page, 1000)
    csv = [page.evaluate(EXPORT) for _ in range(RUNS)]
    rep["csv_ms"] = [c["ms"] for c in csv]
    rep["csv_longest_task_ms"] = [c["longest"] for c in csv]
    rep["csv_rows"] = csv[-1]["rows"]
    ctx.close()
    return rep


def _line(label: str, values: list, target: float | None, extra: str = "") -> str:
    lo, med = min(values), statistics.median(values)
    verdict = "" if target is None else ("  ok" if med <= target else "  MISSED")
    aim = "" if target is None else f"target {target:5.0f} ms"
    return f"  {label:34s} min {lo:7.0f}  median {med:7.0f} ms   {aim}{verdict}{extra}"


def _load_average() -> str:
    try:
        return " ".join(Path("/proc/loadavg").read_text().split()[:3])
    except OSError:
        return "?"


def main() -> int:
    global RUNS
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=1_000_000, help="rows of the compressed-chunk page")
    ap.add_argument("--std-rows", type=int, default=1_000_000, help="rows of the standard page")
    ap.add_argument("--out", default="bench_out/browser", help="folder of the rendered pages and report.json")
    ap.add_argument("--cache", default="/tmp/halvex-bench-browser", help="folder of the cached sample documents")
    ap.add_argument("--reuse", action="store_true", help="open the pages already rendered under --out")
    ap.add_argument("--pages", nargs="*", default=["v300", "standard"], choices=["v300", "standard"])
    ap.add_argument("--runs", type=int, default=RUNS, help="runs of each measurement")
    ap.add_argument("--load-only", action="store_true", help="measure the loading alone")
    args = ap.parse_args()
    RUNS = max(1, args.runs)
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        print("playwright for Python is not installed", file=sys.stderr)
        return 2
    if not os.access(CHROMIUM, os.X_OK):
        print(f"no Chromium at {CHROMIUM}", file=sys.stderr)
        return 2
    out = Path(args.out).resolve()
    pages = _pages(out, Path(args.cache), args.rows, args.std_rows, args.reuse)
    report = {}
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox", "--disable-gpu"])
        for name in args.pages:
            load_before = _load_average()
            report[name] = rep = _bench_page(browser, name, pages[name], args.load_only)
            rep["load_average"] = [load_before, _load_average()]
            print(f"\n{name}: {rep['rows']:,} rows, {rep['chunks']} chunks, {rep['size_mb']:.1f} MB page "
                  f"(rendered in {rep['render_s']:.1f} s); load average {load_before} -> {rep['load_average'][1]}")
            print(f"  (min and median of {RUNS} runs)")
            print(_line("first rows shown", rep["first_rows_ms"], TARGET_FIRST_ROWS_MS if name == "v300" else None))
            print(_line("all rows loaded", rep["all_decoded_ms"], TARGET_LOADED_MS,
                        f"   every chunk ok: {rep['decoded_ok']}"))
            spent = [sum(ms[k] for ms in rep["decode_ms"]) / len(rep["decode_ms"]) for k in range(3)]
            print(f"  decoding, summed over the chunks (mean of the runs): inflate {spent[0]:.0f} ms, "
                  f"parse {spent[1]:.0f} ms, columns {spent[2]:.0f} ms")
            if args.load_only:
                continue
            for label, t in rep["queries"].items():
                print(_line(label + " (painted)", t["painted"], TARGET_QUERY_MS,
                            f"   compute median {statistics.median(t['compute']):5.0f} ms ({t['matched']:,} rows)"))
            print(_line("charts + summary (painted)", rep["charts"]["painted"], TARGET_QUERY_MS,
                        f"   {'+'.join(rep['charts']['boxes'])}{'' if rep['charts']['complete'] else ' INCOMPLETE'}"))
            print(_line("longest task, scroll jumps", rep["scroll_jump_longest_ms"], TARGET_TASK_MS,
                        f"   ({statistics.median(rep['scroll_jump_long_tasks']):.0f} long tasks in 121 frames; 0: none over 50 ms)"))
            print(_line("longest task, wheel scroll", rep["scroll_wheel_longest_ms"], TARGET_TASK_MS))
            print(_line("CSV of every row", rep["csv_ms"], TARGET_CSV_MS, f"   ({rep['csv_rows']:,} rows)"))
            print(_line("longest task, CSV export", rep["csv_longest_task_ms"], None))
            print(f"  scroll to the end shows the last row: {rep['scroll_reaches_last_row']} "
                  f"(scroll height {rep['scroll_height_px']:,} px)")
            if rep["errors"]:
                print("  page errors:", rep["errors"][:5])
        browser.close()
    (out / "report.json").write_text(json.dumps(report, indent=1), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
