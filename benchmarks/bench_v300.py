"""render_html_v300 on a large scoreboard file against a straightforward Python version
(json.load, encoding in Python, json.dumps, gzip level 6, base64), timed in the same run;
also the parse of the file alone and the level-6 compression of the same chunk bytes alone.

    .venv/bin/python benchmarks/bench_v300.py [--rows 1000000] [--out bench_out]
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _measure import ensure_document, run_case  # noqa: E402

SETUP = """
import sys, os
sys.path.insert(0, {bench_dir!r})
"""

CASES = {
    "halvex render_html_v300": """
from halvex.pipeline.vitrum import render_html_v300
with contextlib.redirect_stdout(io.StringIO()):
    begin(); r = render_html_v300({doc_path!r}, output_html={out!r} + '/v300.html'); end()
extra = dict()
""",
    "python baseline": """
import baseline_render
begin(); baseline_render.render_html_v300({doc_path!r}, {out!r} + '/v300_base.html'); end()
extra = dict()
""",
    "parse alone (json.load)": """
import json
begin()
with open({doc_path!r}, encoding='utf-8') as f: doc = json.load(f)
end()
extra = dict()
""",
    "parse alone (halvex reader)": """
# A document without periods makes render_html_v300 stop right after reading the file.
import json
from halvex.pipeline.vitrum import render_html_v300
with open({doc_path!r}, encoding='utf-8') as f: text = f.read()
nop = {out!r} + '/noperiods.json'
with open(nop, 'w', encoding='utf-8') as f: f.write(text.replace('"donemler"', '"donemler_x"', 1))
del text
with contextlib.redirect_stdout(io.StringIO()):
    begin(); render_html_v300(nop, output_html={out!r} + '/unused.html'); end()
extra = dict()
""",
    "zlib level 6 alone, 1 thread": """
import json, zlib, baseline_render
with open({doc_path!r}, encoding='utf-8') as f: doc = json.load(f)
rows = sorted(doc['rows'], key=lambda r: r.get('son_risk') or 0, reverse=True)
d = doc['meta']['donemler']; rd = doc['meta'].get('risk_donemler', d)
arrays = [baseline_render.row_to_array_v300(r, d, rd) for r in rows]
del doc, rows
chunks = [json.dumps(arrays[i:i + 10000], ensure_ascii=False, separators=(',', ':')).encode() for i in range(0, len(arrays), 10000)]
begin()
for c in chunks:
    z = zlib.compressobj(6, zlib.DEFLATED, 31); z.compress(c); z.flush()
end()
extra = dict()
""",
}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--out", default="bench_out")
    ap.add_argument("--only", nargs="*", default=None,
                    help="run only the cases whose name contains one of these words (e.g. halvex)")
    args = ap.parse_args()
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    doc_path = ensure_document(out, args.rows)
    file_mb = os.path.getsize(doc_path) / 2**20
    print(f"document file: {file_mb:.1f} MB")
    bench_dir = str(Path(__file__).resolve().parent)
    res = {}
    cases = {k: v for k, v in CASES.items() if not args.only or any(w in k for w in args.only)}
    for name, body in cases.items():
        r = run_case(SETUP.format(bench_dir=bench_dir) + body.format(out=out, doc_path=doc_path))
        res[name] = r
        extra_mem = r["extra_mb"]
        print(f"{name:32s} {r['elapsed']:8.2f} s   peak extra memory {extra_mem:8.1f} MB "
              f"({extra_mem / file_mb:.2f} x file)", flush=True)
    if "halvex render_html_v300" not in res or "python baseline" not in res:
        return
    ours = res["halvex render_html_v300"]["elapsed"]
    cores = os.cpu_count() or 1
    print(f"speed-up over the Python version: {res['python baseline']['elapsed'] / ours:.1f} x")
    for parser in ("json.load", "halvex reader"):
        if f"parse alone ({parser})" not in res or "zlib level 6 alone, 1 thread" not in res:
            continue
        limit = res[f"parse alone ({parser})"]["elapsed"] + res["zlib level 6 alone, 1 thread"]["elapsed"] / cores
        print(f"against parse ({parser}) + compression/{cores} cores = {limit:.2f} s: {ours / limit:.2f} x")


if __name__ == "__main__":
    main()
