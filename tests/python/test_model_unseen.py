"""On data the model was not designed around (a hazard of several features, gapped
histories), out of time: the model ranks better than the current score alone, and as well
as a plain LightGBM trained by hand on the same split."""

import lightgbm as lgb
import numpy as np
import pytest
from sklearn.metrics import roc_auc_score

from halvex.ml.features import FEATURE_COLS
from halvex.ml.model import split_at, timeline, train
from model_matrices import hazard_panel

HORIZON = 3


@pytest.fixture(scope="module")
def panel():
    return hazard_panel(12_000, 16, seed=11, horizon=HORIZON)


def _plain_lightgbm(train_rows, valid_rows):
    params = {"objective": "binary", "seed": 1, "deterministic": True, "force_row_wise": True,
              "num_threads": 2, "verbose": -1}
    x = lambda rows: rows[FEATURE_COLS].to_numpy(np.float64)  # noqa: E731
    dtrain = lgb.Dataset(x(train_rows), train_rows["label"].to_numpy(), params=params)
    dvalid = lgb.Dataset(x(valid_rows), valid_rows["label"].to_numpy(), reference=dtrain)
    return lgb.train(params, dtrain, 1000, valid_sets=[dvalid],
                     callbacks=[lgb.early_stopping(50, verbose=False)])


def test_out_of_time_the_model_beats_the_score_and_matches_plain_lightgbm(panel):
    line = timeline(panel, HORIZON)
    origin_code = len(line.periods) - 1 - HORIZON
    origin = line.periods[origin_code]
    model = train(panel, HORIZON, origin=origin, threads=2)
    split = split_at(panel, line, origin)
    # Judged: candidates from the origin on, whose label settled within the data; the model
    # saw none of their labels.
    test = (line.codes >= origin_code) & panel["label"].notna().to_numpy() \
        & (panel["qvr_score"] < 1000).to_numpy() & (line.window_end < len(line.periods))
    rows = panel.loc[test]
    y = rows["label"].to_numpy()
    assert y.sum() > 200
    ours = roc_auc_score(y, model.raw_score(rows[FEATURE_COLS].to_numpy(np.float64)))
    alone = roc_auc_score(y, rows["qvr_score"].fillna(-1.0))
    plain = _plain_lightgbm(panel.loc[split.train], panel.loc[split.valid])
    hand = roc_auc_score(y, plain.predict(rows[FEATURE_COLS].to_numpy(np.float64), raw_score=True))
    print(f"out-of-time AUC: model {ours:.4f}, score alone {alone:.4f}, plain LightGBM {hand:.4f}")
    assert ours > alone + 0.02
    assert abs(ours - hand) <= 0.01
