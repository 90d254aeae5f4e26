"""The file-reading render paths alone (render_html and render_html_v300 from a document
file), each repeated in fresh processes; reports the best and median time and the peak extra
memory, to compare a change of the reading layer against the build before it.

    .venv/bin/python benchmarks/bench_file_paths.py [--rows 200000] [--repeat 5] [--out bench_out]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _measure import ensure_document, run_case  # noqa: E402
import bench_render  # noqa: E402
import bench_v300  # noqa: E402

CASES = {
    "render_html, from file": (bench_render.SETUP, bench_render.CASES["halvex, from file"]),
    "render_html_v300": (bench_v300.SETUP, bench_v300.CASES["halvex render_html_v300"]),
}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=200_000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--out", default="bench_out")
    args = ap.parse_args()
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    bench_dir = str(Path(__file__).resolve().parent)
    doc_path = ensure_document(out, args.rows)
    print(f"document file: {os.path.getsize(doc_path) / 2**20:.1f} MB, {args.rows:,} rows")
    for name, (setup, body) in CASES.items():
        code = setup.format(bench_dir=bench_dir) + body.format(rows=args.rows, out=out, doc_path=doc_path)
        times, mems = [], []
        for _ in range(args.repeat):
            r = run_case(code)
            times.append(r["elapsed"])
            mems.append(r["extra_mb"])
        print(f"{name:24s} best {min(times):6.3f} s  median {statistics.median(times):6.3f} s  "
              f"extra memory {max(mems):7.1f} MB", flush=True)


if __name__ == "__main__":
    main()
