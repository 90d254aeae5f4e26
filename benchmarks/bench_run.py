"""Benchmark of ``halvex run`` against the same stages called one by one through the Python API.

    .venv/bin/python benchmarks/bench_run.py [--entities 100000] [--periods 12] [--origins 6]
                                             [--repeat 1]

Two cases, each in a fresh process on the same sample database (written once under --dir):
``run`` (halvex.nightly.run_night: facts read once, back-test and tonight's model, scoring,
document, three pages, manifest, published folder) and ``stages`` (build_features,
backtest, predict, build_scoreboard reading the facts again, the three pages: what a bank
would write by hand, into a plain folder), run alternately --repeat times (the machine's load
changes meanwhile; the fastest of each counts). Prints each one's wall time and peak memory,
the load average, and the run's stages with their share of its time (from its manifest).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from _measure import ensure_facts_db, run_case  # noqa: E402

RUN = """
from halvex.nightly import run_night
begin(); r = run_night(DB, OUT + '/runs', origins=ORIGINS); end()
extra = {'stages': r.manifest['stages']}
"""

STAGES = """
import os
from halvex.ml.features import build_features
from halvex.ml.model import backtest
from halvex.ml.model.backtest import prediction_entries
from halvex.ml.model.periods import period_codes
from halvex.scoreboard import build_scoreboard
from halvex.pipeline import vitrum
where = OUT + '/stages'
os.makedirs(where + '/html', exist_ok=True)
begin()
with contextlib.redirect_stdout(io.StringIO()):
    m = build_features(DB, 3)
bt = backtest(m, 3, ORIGINS, top_n=0)
periods, codes = period_codes(m['donem'])
scored = bt.model.predict(m.loc[codes == len(periods) - 1])
preds = prediction_entries(scored, 1000)
doc = where + '/scoreboard.json'
build_scoreboard(DB, doc, model={'entity_id': scored['entity_id'].tolist(), 'prob': scored['prob'].tolist()},
                 backtest_summary=bt.backtest_summary, backtest_firma=bt.backtest_firma, ml_predictions=preds)
extra_data = {'backtest_summary': bt.backtest_summary, 'ml_predictions': preds}
vitrum.render_html(doc, output_html=where + '/html/p.html', extra_data=extra_data)
vitrum.render_html(doc, output_html=where + '/html/a.html',
                   extra_data={**extra_data, 'backtest_firma': bt.backtest_firma, 'page_mode': 'admin'})
vitrum.render_html_v300(doc, output_html=where + '/html/v.html')
end()
"""


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--entities", type=int, default=100_000)
    ap.add_argument("--periods", type=int, default=12)
    ap.add_argument("--origins", type=int, default=6)
    ap.add_argument("--repeat", type=int, default=1)
    ap.add_argument("--dir", default="/tmp/halvex-bench-run")
    args = ap.parse_args()

    folder = Path(args.dir) / f"db_{args.entities}x{args.periods}"
    db = ensure_facts_db(folder, args.entities, args.periods)
    prelude = (f"import halvex.ml._sources, halvex.ml.model\nDB = {str(db)!r}\nOUT = {str(folder)!r}\n"
               f"ORIGINS = {args.origins}\n")
    results: dict = {}
    for _ in range(args.repeat):
        for name, code in (("run", RUN), ("stages", STAGES)):
            r = run_case(prelude + code)
            print(f"  ({name} {r['elapsed']:.2f} s, load {os.getloadavg()[0]:.1f})", flush=True)
            if name not in results or r["elapsed"] < results[name]["elapsed"]:
                results[name] = r
    print(f"{args.entities:,} borrowers x {args.periods} periods, {args.origins} origins, "
          f"best of {args.repeat}:")
    for name, r in results.items():
        print(f"  {name:8s} {r['elapsed']:7.2f} s   peak +{r['extra_mb']:7.0f} MiB")
    total = results["run"]["elapsed"]
    print("halvex run by stage:")
    for s in results["run"]["extra"]["stages"]:
        print(f"  {s['stage']:45s} {s['seconds']:7.2f} s  {100 * s['seconds'] / total:5.1f} %")
    print(json.dumps({k: {"elapsed": v["elapsed"], "extra_mb": v["extra_mb"]} for k, v in results.items()}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
