"""render_html on a large scoreboard, in memory and from a file, against the pure-Python
baseline in the same run.

    .venv/bin/python benchmarks/bench_render.py [--rows 20000 200000 1000000] [--out bench_out]

Each case runs in a fresh process; "extra memory" is the peak resident size during the render
call minus the size just before it (the document itself is the caller's).
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _measure import ensure_document, run_case  # noqa: E402

SETUP = """
import sys, os, resource
sys.path.insert(0, {bench_dir!r})
from halvex.sample.scoreboard import make_scoreboard, write_reference_csv
"""

CASES = {
    "halvex, in memory": """
from halvex.pipeline.vitrum import render_html
doc = make_scoreboard({rows}, n_periods=12, n_risk_periods=3, seed=1)
write_reference_csv({out!r} + '/sube_bolge_ref.csv', doc)
with contextlib.redirect_stdout(io.StringIO()):
    begin(); r = render_html(doc, output_html={out!r} + '/mem.html'); end()
extra = dict(size_mb=os.path.getsize(r['html_path']) / 2**20)
""",
    "halvex, from file": """
from halvex.pipeline.vitrum import render_html
with contextlib.redirect_stdout(io.StringIO()):
    begin(); r = render_html({doc_path!r}, output_html={out!r} + '/file.html'); end()
extra = dict(size_mb=os.path.getsize(r['html_path']) / 2**20)
""",
    "python baseline, in memory": """
import baseline_render
doc = make_scoreboard({rows}, n_periods=12, n_risk_periods=3, seed=1)
begin(); baseline_render.render_html(doc, {out!r} + '/base_mem.html'); end()
extra = dict(size_mb=os.path.getsize({out!r} + '/base_mem.html') / 2**20)
""",
    "python baseline, from file": """
import baseline_render
begin(); baseline_render.render_html({doc_path!r}, {out!r} + '/base_file.html'); end()
extra = dict(size_mb=os.path.getsize({out!r} + '/base_file.html') / 2**20)
""",
}


def run_size(rows: int, out: str, only: list[str] | None) -> dict:
    bench_dir = str(Path(__file__).resolve().parent)
    doc_path = ensure_document(out, rows)
    print(f"\n{rows:,} rows, document file {os.path.getsize(doc_path) / 2**20:.1f} MB", flush=True)
    results = {}
    cases = {k: v for k, v in CASES.items() if not only or any(w in k for w in only)}
    for name, body in cases.items():
        code = SETUP.format(bench_dir=bench_dir) + body.format(rows=rows, out=out, doc_path=doc_path)
        r = run_case(code)
        extra_mem = r["extra_mb"]
        results[name] = r
        print(f"{name:28s} {r['elapsed']:8.2f} s   page {r['extra']['size_mb']:7.1f} MB   "
              f"extra memory {extra_mem:7.1f} MB ({extra_mem / r['extra']['size_mb']:.2f} x page)", flush=True)
    speedups = {}
    for form in ("in memory", "from file"):
        if f"python baseline, {form}" not in results or f"halvex, {form}" not in results:
            continue
        speedups[form] = results[f"python baseline, {form}"]["elapsed"] / results[f"halvex, {form}"]["elapsed"]
        print(f"speed-up {form}: {speedups[form]:.1f} x")
    return speedups


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, nargs="+", default=[20_000, 200_000, 1_000_000])
    ap.add_argument("--out", default="bench_out")
    ap.add_argument("--only", nargs="*", default=None,
                    help="run only the cases whose name contains one of these words (e.g. halvex)")
    args = ap.parse_args()
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    summary = {rows: run_size(rows, out, args.only) for rows in args.rows}
    if any(summary.values()):
        print("\nspeed-up over plain Python (target: 10 x at every size)")
        for rows, speedups in summary.items():
            cells = "   ".join(f"{form} {x:5.1f} x" for form, x in speedups.items())
            print(f"  {rows:>9,} rows   {cells}")


if __name__ == "__main__":
    main()
