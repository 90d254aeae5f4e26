"""Diagnostic index preparation and slimming inside render_html, against a straightforward
Python implementation (deep copy and loops, json.dumps), in the same run.

    .venv/bin/python benchmarks/bench_page_data.py [--customers 1000000] [--periods 12]

The document has few rows, so the render time is essentially the page data: the index is
copied, stripped of administrator-only findings and descriptions, slimmed to group letters
and serialised. The same render without an index is timed too and subtracted.
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import io
import json
import os
import random
import sys
import tempfile
import time

from halvex import diag_groups
from halvex.feature_info import FI
from halvex.pipeline.vitrum import render_html

GROUPS = list(diag_groups.DIAG_GROUPS)
CODES = list(diag_groups.KRITER_ACIKLAMA) + list(diag_groups.KIK_COL_ACIKLAMA) + list(diag_groups.MEMZUC_COL_ACIKLAMA)
KATMAN = ["KIK", "RKD", "MEMZUC", "SQL", "SQL_DELTA"]
GRUP_SHORT = {"gecikme": "g", "ortak": "o", "cek_senet": "c", "diger_banka": "d", "icra": "i", "yasal": "y", "izleme": "z"}


def make_index(customers: int, periods: int, seed: int = 3) -> dict:
    rnd = random.Random(seed)
    donemler = [f"2025-{m:02d}" for m in range(1, periods + 1)]
    index = {}
    for c in range(customers):
        per = {}
        for d in donemler:
            n = rnd.choice((0, 0, 1, 1, 2))
            findings = []
            for _ in range(n):
                kriter = rnd.choice(CODES)
                f = {"katman": rnd.choice(KATMAN), "kriter": kriter, "aciklama": "Açıklama " + kriter}
                if rnd.random() < 0.7:
                    f["grup"] = rnd.choice(GROUPS)
                findings.append(f)
            yeni = [rnd.choice(GROUPS)] if findings and rnd.random() < 0.3 else []
            per[d] = {"bulgular": findings, "yeni_gruplar": yeni}
        index[str(10_000_000 + c)] = per
    return index


def python_prepare(diag_index: dict) -> str:
    """Deep copy, withhold SQL layers, drop descriptions, slim, serialise."""
    idx = copy.deepcopy(diag_index)
    sql = {"SQL", "SQL_DELTA"}
    for per in idx.values():
        if not isinstance(per, dict):
            continue
        for d, pv in per.items():
            if isinstance(pv, dict) and "bulgular" in pv:
                pv["bulgular"] = [b for b in pv["bulgular"] if b.get("katman") not in sql]
            elif isinstance(pv, list):
                per[d] = [b for b in pv if b.get("katman") not in sql]
    for per in idx.values():
        if not isinstance(per, dict):
            continue
        for pv in per.values():
            arr = pv.get("bulgular", []) if isinstance(pv, dict) else pv if isinstance(pv, list) else []
            for b in arr:
                b.pop("aciklama", None)
    slim = {}
    for muta, per in idx.items():
        out = {}
        for d, pv in per.items():
            if not isinstance(pv, dict):
                continue
            yg = pv.get("yeni_gruplar", [])
            if not yg:
                seen = []
                for b in pv.get("bulgular", []):
                    g = b.get("grup")
                    if not g:
                        k = b.get("kriter", "")
                        g = FI.grup_for_kik(k) or FI.grup_for_memzuc(k) or FI.grup_for_rkd(k)
                    if g and g not in seen:
                        seen.append(g)
                yg = seen
            if yg:
                out[d] = "".join(GRUP_SHORT.get(g, "?") for g in yg)
        if out:
            slim[muta] = out
    return json.dumps(slim, ensure_ascii=False, separators=(",", ":"))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--customers", type=int, default=1_000_000)
    ap.add_argument("--periods", type=int, default=12)
    args = ap.parse_args()
    print(f"building an index of {args.customers:,} customers x {args.periods} periods ...", flush=True)
    index = make_index(args.customers, args.periods)
    doc = {"meta": {"donemler": ["2025-12"]}, "rows": [{"muta": 1, "son_risk": 5}], "diag_index": index}
    bare = {"meta": {"donemler": ["2025-12"]}, "rows": [{"muta": 1, "son_risk": 5}]}
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "p.html")
        with contextlib.redirect_stdout(io.StringIO()):
            t = time.perf_counter(); render_html(bare, output_html=out); t_bare = time.perf_counter() - t
            t = time.perf_counter(); render_html(doc, output_html=out); t_full = time.perf_counter() - t
    ours = t_full - t_bare
    t = time.perf_counter(); python_prepare(index); t_py = time.perf_counter() - t
    print(f"halvex (render with index - render without): {ours:8.2f} s")
    print(f"python deep copy + loops + json.dumps:      {t_py:8.2f} s")
    print(f"speed-up: {t_py / ours:.1f} x")


if __name__ == "__main__":
    sys.exit(main())
