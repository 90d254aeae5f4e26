"""Benchmark of the close-monitoring model: halvex's train and score against LightGBM called
by hand on the same matrix, with the same parameters and the same rows.

    .venv/bin/python benchmarks/bench_model.py [--entities 1000000] [--periods 12] [--threads 2]

The feature matrix of a generated fact database (``halvex.sample.facts_db``, ``--entities``
x ``--periods``) is built once and kept as Parquet in ``--dir``. Each case runs in a fresh
process that reads it first (not timed); its wall time and its extra peak memory (resident
size during the call minus the size just before it) are reported:

- ``lightgbm train``: by hand: the training and validation rows of halvex's split (masks
  computed before the clock starts) to float arrays, ``lgb.Dataset``, ``lgb.train`` with
  early stopping on the validation window, the text model. The floor.
- ``halvex train``: ``train(matrix, horizon)``: the same, plus the checks of the matrix, the
  no-look-ahead split, the isotonic calibration, the validation metrics, the score and
  feature stability and the card. The model is saved for the score cases.
- ``lightgbm score``: by hand: the latest period's rows to a float array and
  ``Booster.predict(raw_score=True)`` of the saved trees.
- ``halvex score``: ``Model.predict(rows, reasons_top_n=0)``: the same, plus the population
  rule, the calibration, the ranks and the output frame.
- ``halvex score + reasons``: ``Model.predict(rows)``: the top 1,000 with three reasons each
  (LightGBM's ``pred_contrib``), the default.

The overhead is (halvex - by hand) / by hand, of the wall time and of the CPU time of the
measuring process (steadier on a shared machine); the target is at most 10 % for train and
score.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from _measure import run_case  # noqa: E402

SETUP = """
import numpy as np, pandas as pd
from halvex.ml.features import FEATURE_COLS
matrix = pd.read_parquet({matrix!r})
HORIZON, THREADS, MODEL = {horizon}, {threads}, {model!r}
"""

CASES = {
    "lightgbm train": """
import lightgbm as lgb
from halvex.ml.model import split_at, timeline
from halvex.ml.model.params import CATEGORICAL, DEFAULT_SEED, lightgbm_params
split = split_at(matrix, timeline(matrix, HORIZON))
params = lightgbm_params(None, threads=THREADS, seed=DEFAULT_SEED)
begin()
tr, va = matrix.loc[split.train], matrix.loc[split.valid]
xt, xv = tr[FEATURE_COLS].to_numpy(np.float64), va[FEATURE_COLS].to_numpy(np.float64)
dtrain = lgb.Dataset(xt, tr["label"].to_numpy(np.float64), feature_name=list(FEATURE_COLS),
                     categorical_feature=list(CATEGORICAL), params=params, free_raw_data=True)
dvalid = lgb.Dataset(xv, va["label"].to_numpy(np.float64), reference=dtrain, params=params)
booster = lgb.train(params, dtrain, num_boost_round=1000, valid_sets=[dvalid],
                    callbacks=[lgb.early_stopping(50, verbose=False)])
text = booster.model_to_string(num_iteration=booster.best_iteration)
end()
extra = {"trees": booster.best_iteration, "train_rows": len(tr)}
""",
    "halvex train": """
from halvex.ml.model import train
begin()
model = train(matrix, HORIZON, threads=THREADS)
end()
model.save(MODEL)
extra = {"trees": model.card["best_iteration"], "train_rows": model.card["split"]["train_rows"]}
""",
    "lightgbm score": """
import lightgbm as lgb
booster = lgb.Booster(model_file=MODEL + "/model.txt")
rows = matrix.loc[matrix["donem"] == matrix["donem"].max()]
rows = rows.loc[~(rows["qvr_score"] >= 1000)]  # the candidates, as halvex scores them
begin()
raw = booster.predict(rows[FEATURE_COLS].to_numpy(np.float64), raw_score=True)
end()
extra = {"rows": len(rows)}
""",
    "halvex score": """
from halvex.ml.model import Model
model = Model.load(MODEL)
rows = matrix.loc[matrix["donem"] == matrix["donem"].max()]
begin()
out = model.predict(rows, reasons_top_n=0)
end()
extra = {"rows": len(out)}
""",
    "halvex score + reasons": """
from halvex.ml.model import Model
model = Model.load(MODEL)
rows = matrix.loc[matrix["donem"] == matrix["donem"].max()]
begin()
out = model.predict(rows)
end()
extra = {"rows": len(out), "with_reasons": int(out["reason_1"].notna().sum())}
""",
}


def ensure_matrix(folder: Path, entities: int, periods: int, horizon: int) -> Path:
    path = folder / f"matrix_{entities}x{periods}_h{horizon}.parquet"
    if not path.exists():
        from halvex.ml.features import build_features
        from halvex.sample.facts_db import write_sample_db
        print(f"writing a {entities:,} x {periods} fact database and its matrix ...", flush=True)
        db = write_sample_db(folder / f"facts_{entities}x{periods}.duckdb", n_entities=entities,
                             n_periods=periods, seed=1)
        tmp = path.with_name(path.name + ".tmp")
        build_features(db, target_horizon=horizon).to_parquet(tmp, index=False)
        os.replace(tmp, path)
    return path


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--entities", type=int, default=1_000_000)
    ap.add_argument("--periods", type=int, default=12)
    ap.add_argument("--horizon", type=int, default=3)
    ap.add_argument("--threads", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--dir", type=Path, default=Path("build/bench-model"))
    ap.add_argument("--matrix", type=Path, help="a feature matrix (Parquet) to use instead")
    ap.add_argument("--json", type=Path, help="also write the figures here")
    ap.add_argument("--only", choices=("train", "score"), help="run only the train or the score cases")
    args = ap.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    matrix = args.matrix or ensure_matrix(args.dir, args.entities, args.periods, args.horizon)
    setup = SETUP.format(matrix=str(matrix), horizon=args.horizon, threads=args.threads,
                         model=str(args.dir / "model"))
    results = {}
    for name, code in CASES.items():
        if args.only and args.only not in name:
            continue
        r = run_case(setup + code)
        results[name] = r
        print(f"{name:24s} {r['elapsed']:8.2f} s (CPU {r['cpu']:7.2f} s)  +{r['extra_mb']:7.0f} MB  "
              f"{r['extra']}", flush=True)
    for what, hand, ours in (("train", "lightgbm train", "halvex train"),
                             ("score", "lightgbm score", "halvex score")):
        if hand not in results:
            continue
        over = results[ours]["elapsed"] / results[hand]["elapsed"] - 1
        cpu = results[ours]["cpu"] / results[hand]["cpu"] - 1
        print(f"overhead {what}: {over:+.1%} wall, {cpu:+.1%} CPU (target <= +10%)")
    if args.json:
        args.json.write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
