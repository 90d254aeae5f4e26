"""The sample facts database: close-monitoring entry follows a hazard that the score and the
other features foresee, drawn apart from the rest of the seeded sample."""

from __future__ import annotations

import hashlib
import json
from pathlib import Path

import duckdb
import numpy as np
import pyarrow.parquet as pq
import pytest

pytest.importorskip("sklearn")
from sklearn.ensemble import HistGradientBoostingClassifier  # noqa: E402
from sklearn.metrics import roc_auc_score  # noqa: E402

from halvex.ml.features import FEATURE_COLS, build_features  # noqa: E402
from halvex.sample.facts_db import write_sample_db  # noqa: E402

# Written by the generator before close monitoring had a hazard (40 borrowers, 12 periods,
# seed 4): digests of what must not move and the old scores.
BEFORE = Path(__file__).parent / "data" / "sample_facts_seed4.json"


def snapshot(db: Path) -> dict:
    with duckdb.connect(str(db), read_only=True) as con:
        facts = con.sql("SELECT * FROM fact_periodic ORDER BY entity_id, donem").fetchall()
        dims = con.sql("SELECT * FROM dim_entity ORDER BY entity_id").fetchall()
    diag = pq.read_table(db.parent / "cache" / "diag_features.parquet").to_pylist()

    def digest(value):
        return hashlib.sha256(json.dumps(value, default=str).encode()).hexdigest()

    # Everything but the close-monitoring columns qvr_skor (YI) and ykn_izl_flag.
    return {"facts_rest": digest([r[:2] + r[3:6] for r in facts]), "dim_entity": digest(dims),
            "diag": digest(diag), "qvr_skor": [r[2] for r in facts],
            "ykn_izl_flag": [r[6] for r in facts]}


def test_the_hazard_moves_only_close_monitoring(tmp_path):
    before = json.loads(BEFORE.read_text())
    now = snapshot(write_sample_db(tmp_path / "a" / "facts.duckdb", n_entities=40, n_periods=12, seed=4))
    for part in ("facts_rest", "dim_entity", "diag"):
        assert now[part] == before[part], part
    pairs = list(zip(before["qvr_skor"], now["qvr_skor"], strict=True))
    assert all(old == new for old, new in pairs if "YI" not in (old, new))
    assert any(new == "YI" for _, new in pairs)
    # The file written or not, a seed gives the same borrowers the same entries.
    write_sample_db(tmp_path / "b" / "facts.duckdb", n_entities=40, n_periods=12, seed=4,
                    with_diag=False)
    db = write_sample_db(tmp_path / "c" / "facts.duckdb", n_entities=40, n_periods=12, seed=4)
    assert snapshot(db) == now
    with duckdb.connect(str(tmp_path / "b" / "facts.duckdb"), read_only=True) as con:
        no_diag = [r[0] for r in con.sql("SELECT qvr_skor FROM fact_periodic ORDER BY entity_id, donem").fetchall()]
    assert no_diag == now["qvr_skor"]


@pytest.fixture(scope="module")
def matrix(tmp_path_factory):
    frame = build_features(write_sample_db(tmp_path_factory.mktemp("signal") / "facts.duckdb",
                                           n_entities=3000, seed=3))
    # Candidates: not yet under close monitoring, label known, score present.
    return frame[(frame["qvr_score"] != 1000) & frame["label"].notna() & frame["qvr_score"].notna()]


def test_default_is_24_periods_and_the_score_foresees_entry(matrix):
    assert matrix["donem"].nunique() == 24 - 1  # the last period has no row ahead: no label
    rate = matrix["label"].mean()
    assert 0.01 < rate < 0.06
    assert roc_auc_score(matrix["label"], matrix["qvr_score"]) > 0.75


def test_a_model_beats_the_score_alone_out_of_time(matrix):
    periods = sorted(matrix["donem"].unique())
    cut = periods[len(periods) * 2 // 3]
    # Trained on rows whose three-row label window closes before the test periods begin.
    train, test = matrix[matrix["donem"] < periods[len(periods) * 2 // 3 - 3]], matrix[matrix["donem"] >= cut]
    model = HistGradientBoostingClassifier(max_iter=150, random_state=0)
    model.fit(train[FEATURE_COLS], train["label"])
    model_auc = roc_auc_score(test["label"], model.predict_proba(test[FEATURE_COLS])[:, 1])
    score_auc = roc_auc_score(test["label"], test["qvr_score"])
    assert model_auc > score_auc + 0.005, (model_auc, score_auc)
