"""``halvex demo``: sample data through the whole pipeline, outputs under one folder.

    DIR/json/scoreboard.json            sample scoreboard document
    DIR/json/sube_bolge_ref.csv         region/branch reference file
    DIR/json/sample_trending_lists.json trending lists of the same rows
    DIR/html/qvr_dashboard.html         standard dashboard page
    DIR/html/qvr_dashboard_v300.html    compressed-chunk dashboard page
    DIR/html/trending_section.html      trending lists section
    DIR/features/                       feature builder demo (when available)
    DIR/model/model/                    close-monitoring model trained on the demo's facts
    DIR/model/backtest/                 its back-test (summary, per borrower, predictions)
"""

from __future__ import annotations

import argparse
import importlib
import json
import sys
import time
from pathlib import Path

from halvex.commands._support import load_renderer, trending_page, whole_number, write_text_atomic
from halvex.sample.scoreboard import (make_scoreboard, make_trending_lists,
                                      write_reference_csv, write_scoreboard_json)

DEFAULT_ROWS = 2000
# Far more sample rows than memory holds (a row takes a few kilobytes as Python objects).
MAX_ROWS = 100_000_000
DEFAULT_OUT = "demo_out"
FEATURES_DEMO_MODULE = "halvex.sample.facts_db"


def register(subparsers) -> None:
    p = subparsers.add_parser(
        "demo", help="generate sample data and render every output",
        description="Generate a sample scoreboard, render the dashboard pages and the "
                    "trending section, and run the feature builder demo.")
    p.add_argument("--rows", type=whole_number(0, MAX_ROWS), default=DEFAULT_ROWS,
                   help=f"number of sample borrowers (default {DEFAULT_ROWS})")
    p.add_argument("--out", type=Path, default=Path(DEFAULT_OUT),
                   help=f"output folder (default {DEFAULT_OUT})")
    p.add_argument("--seed", type=whole_number(0, None), default=0, help="seed of the sample data (default 0)")
    p.set_defaults(func=run)


def _features_demo(out_dir: Path):
    try:
        module = importlib.import_module(FEATURES_DEMO_MODULE)
    except ModuleNotFoundError as exc:
        if exc.name != FEATURES_DEMO_MODULE:
            raise
        print(f"  [WARN] {FEATURES_DEMO_MODULE} yok; özellik demosu atlandı")
        return None
    return module.run_features_demo(out_dir)


def _model_demo(matrix, out_dir: Path) -> list[Path]:
    """Back-tests and trains the close-monitoring model on the feature demo's matrix and
    prints its AUC beside that of the current score alone."""
    from halvex.ml.model import backtest

    t0 = time.perf_counter()
    result = backtest(matrix)
    model_dir, backtest_dir = out_dir / "model", out_dir / "backtest"
    result.save(backtest_dir)
    result.model.save(model_dir)
    bt, valid = result.model.card["backtest"], result.model.card["validation"]
    print(f"Model ({time.perf_counter() - t0:.1f} sn): geri test {len(bt['origins'])} dönem "
          f"({bt['origins'][0]}-{bt['origins'][-1]}), {bt['rows']} satır")
    print(f"  AUC model {_auc(bt['auc'])}, yalnız mevcut skor {_auc(bt['score_alone_auc'])} "
          f"(doğrulama dönemlerinde {_auc(valid['auc'])} / {_auc(valid['score_alone_auc'])})")
    return [model_dir, backtest_dir]


def _auc(value) -> str:
    return "tanımsız" if value is None else f"{value:.3f}"


def run(args: argparse.Namespace) -> int:
    out = args.out
    json_dir, html_dir = out / "json", out / "html"
    outputs: list[Path] = []

    t0 = time.perf_counter()
    doc = make_scoreboard(args.rows, seed=args.seed)
    json_path = write_scoreboard_json(json_dir / "scoreboard.json", doc)
    ref_path = write_reference_csv(json_dir / "sube_bolge_ref.csv", doc)
    outputs += [json_path, ref_path]
    meta = doc["meta"]
    print(f"Örnek veri: {args.rows} firma, {len(meta['donemler'])} dönem "
          f"({time.perf_counter() - t0:.1f} sn)")

    status = 0
    vitrum = load_renderer("demo")
    if vitrum is None:
        status = 1
    else:
        print("Standart sayfa:")
        result = vitrum.render_html(str(json_path), output_html=str(html_dir / "qvr_dashboard.html"))
        outputs.append(Path(result["html_path"]))
        if hasattr(vitrum, "render_html_v300"):
            print("Sıkıştırılmış sayfa:")
            result = vitrum.render_html_v300(
                str(json_path), output_html=str(html_dir / "qvr_dashboard_v300.html"))
            outputs.append(Path(result["html_path"]))
        if hasattr(vitrum, "_build_trending_html"):
            lists = make_trending_lists(doc)
            lists_path = json_dir / "sample_trending_lists.json"
            write_text_atomic(lists_path, json.dumps(lists, ensure_ascii=False, indent=1))
            section = vitrum._build_trending_html(lists)
            section_path = write_text_atomic(html_dir / "trending_section.html",
                                             trending_page(section))
            outputs += [lists_path, section_path]

    features = _features_demo(out / "features")
    if features is not None:
        outputs.append(out / "features")
        outputs += _model_demo(features, out / "model")

    print("Çıktılar:")
    for path in outputs:
        print(f"  {path}")
    sys.stdout.flush()
    return status
