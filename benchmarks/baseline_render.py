"""A straightforward pure-Python dashboard renderer, the yardstick for the benchmarks.

It encodes rows, builds the region/branch catalogue and cuts chunks the way a hand-written
Python pipeline would (``json.dumps`` for every chunk, ``gzip`` and ``base64`` for the
compressed page), and renders the same Jinja2 templates.
"""

from __future__ import annotations

import base64
import csv
import gzip
import json
import math
import os
import sys
from pathlib import Path

import jinja2

from halvex import paths

# The conversions are the tests' plain statements of them: one copy for both yardsticks.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from oracles import mio, score  # noqa: E402

SEGMENTS_LIST = ["KUR-TIC", "KOBI", "MIKRO", "ESKK"]
SEG_MAP = {s: i for i, s in enumerate(SEGMENTS_LIST)}
MARKS = ("_hizli_yukselen", "_rejim_degisimi", "_potansiyel_yi", "_erken_sinyal", "_yakalanan", "_kacirilan")


def catalogue(rows, ref_csv):
    bref, sref = {}, {}
    if ref_csv and os.path.exists(ref_csv):
        with open(ref_csv, encoding="utf-8-sig", newline="") as f:
            for r in csv.DictReader(f):
                bk, sk = r.get("bolge_kodu", ""), r.get("sube_kodu", "")
                if bk and bk not in bref:
                    bref[bk] = r.get("bolge_adi", "")
                if sk and sk not in sref:
                    sref[sk] = r.get("sube_adi", "")
    bmap, blist = {}, []
    for r in rows:
        bk = r.get("bolge_kodu")
        if bk is not None and bk not in bmap:
            bmap[bk] = len(blist)
            name = bref.get(str(bk), "")
            blist.append({"kodu": bk, "adi": name if name else f"Bölge {bk}"})
    smap, slist = {}, []
    for r in rows:
        sk = r.get("sube_kodu")
        if sk is not None and sk not in smap:
            smap[sk] = len(slist)
            name = sref[str(sk)] if str(sk) in sref else f"Şube {sk}"
            slist.append({"kodu": sk, "adi": name, "bolge_idx": bmap.get(r.get("bolge_kodu"), -1)})
    return blist, bmap, slist, smap


def row_to_array(row, donemler, risk_donemler, bmap, smap):
    arr = [row.get("muta"), (row.get("unvan") or "")[:40], SEG_MAP.get(row.get("segment"), -1),
           mio(row.get("son_risk", 0)), bmap.get(row.get("bolge_kodu"), -1), smap.get(row.get("sube_kodu"), -1)]
    arr += [score(row.get(f"qvr{d}")) for d in donemler]
    for prefix in ("r", "rd", "df"):
        arr += [mio(row.get(f"{prefix}{d}")) for d in risk_donemler]
    arr += [row.get(m, 0) for m in MARKS]
    arr += [row.get("_qvr_neden", ""), row.get("_ml_yi_prob", 0)]
    return arr


def row_to_array_v300(row, donemler, risk_donemler):
    arr = [row.get("muta"), (row.get("unvan") or "")[:40], SEG_MAP.get(row.get("segment"), -1), row.get("son_risk", 0)]
    arr += [score(row.get(f"qvr{d}")) for d in donemler]
    arr += [row.get(f"r{d}") for d in risk_donemler]
    return arr


def _dumps(v):
    return json.dumps(v, ensure_ascii=False, separators=(",", ":")).replace("<", "\\u003c")


def render_html(doc_or_path, output_html, chunk_size=10000, top_n=100):
    if isinstance(doc_or_path, dict):
        doc, json_dir = doc_or_path, str(Path(output_html).parent)
    else:
        with open(doc_or_path, encoding="utf-8") as f:
            doc = json.load(f)
        json_dir = str(Path(doc_or_path).parent)
    meta, rows = doc["meta"], doc["rows"]
    donemler = meta.get("donemler", [])
    risk_donemler = meta.get("risk_donemler", donemler)
    rows.sort(key=lambda r: r.get("son_risk") or 0, reverse=True)
    blist, bmap, slist, smap = catalogue(rows, os.path.join(json_dir, "sube_bolge_ref.csv"))
    arrays = [row_to_array(r, donemler, risk_donemler, bmap, smap) for r in rows]
    n_chunks = math.ceil(len(arrays) / chunk_size) if arrays else 1
    chunks = [_dumps(arrays[i * chunk_size:(i + 1) * chunk_size]) for i in range(n_chunks)]
    tp = paths.get_template_path()
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(str(tp.parent)))
    html = env.get_template(tp.name).render(
        donemler=json.dumps(donemler, ensure_ascii=False), risk_donemler=json.dumps(risk_donemler, ensure_ascii=False),
        top_n=top_n, meta=meta, data_chunks=chunks, enumerate=enumerate, total_chunks=n_chunks,
        total_rows=len(arrays), bolge_list_js=_dumps(blist), sube_list_js=_dumps(slist), external_link="",
        risk_birim="mio_tl", d3_js="", d3_sankey_js="", flow_matrix_js=_dumps(doc.get("flow_matrix", [])),
        band_snapshot_js=_dumps(doc.get("band_snapshot", {})), diag_index_js="{}", diag_groups_js="{}",
        kriter_aciklama_js="{}", page_mode="", backtest_summary_js="{}", backtest_firma_js="{}",
        ml_predictions_js="[]")
    with open(output_html, "w", encoding="utf-8") as f:
        f.write(html)
    return {"rows": len(arrays), "chunks": n_chunks}


def render_html_v300(json_path, output_html, chunk_size=10000, top_n=100):
    with open(json_path, encoding="utf-8") as f:
        doc = json.load(f)
    meta, rows = doc["meta"], doc["rows"]
    donemler = meta.get("donemler", [])
    risk_donemler = meta.get("risk_donemler", donemler)
    rows.sort(key=lambda r: r.get("son_risk") or 0, reverse=True)
    arrays = [row_to_array_v300(r, donemler, risk_donemler) for r in rows]
    n_chunks = math.ceil(len(arrays) / chunk_size) if arrays else 1
    chunks = []
    for i in range(n_chunks):
        raw = json.dumps(arrays[i * chunk_size:(i + 1) * chunk_size], ensure_ascii=False, separators=(",", ":"))
        chunks.append(base64.b64encode(gzip.compress(raw.encode("utf-8"), compresslevel=6)).decode("ascii"))
    tp = paths.get_template_v300_path()
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(str(tp.parent)))
    html = env.get_template(tp.name).render(
        donemler=json.dumps(donemler, ensure_ascii=False), risk_donemler=json.dumps(risk_donemler, ensure_ascii=False),
        top_n=top_n, meta=meta, data_chunks=chunks, enumerate=enumerate, total_chunks=n_chunks,
        total_rows=len(arrays))
    with open(output_html, "w", encoding="utf-8") as f:
        f.write(html)
    return {"rows": len(arrays), "chunks": n_chunks}
