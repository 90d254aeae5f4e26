"""Model folders: round trip, determinism across runs and thread counts, damaged files."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest
from sklearn.metrics import roc_auc_score

from halvex.ml.features import FEATURE_COLS
from halvex.ml.model import Model, split_at, timeline, train
from model_matrices import matrix_from_histories, random_histories

FAST = {"num_leaves": 15, "min_data_in_leaf": 10, "min_data_per_group": 10}
HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="module")
def matrix():
    return matrix_from_histories(random_histories(800, list(range(1, 15)), seed=5), horizon=3)


@pytest.fixture(scope="module")
def saved(matrix, tmp_path_factory):
    folder = tmp_path_factory.mktemp("m") / "model"
    model = train(matrix, 3, params=FAST, threads=1, num_boost_round=60)
    model.save(folder)
    return model, folder


def test_round_trip_keeps_predictions_and_writes_a_card(saved, matrix):
    model, folder = saved
    assert sorted(os.listdir(folder)) == ["calibration.json", "model.txt", "model_card.json",
                                          "training_run.json"]
    loaded = Model.load(folder)
    assert loaded.run["trained_at"].endswith("Z") and loaded.run["training_seconds"] >= 0
    pd.testing.assert_frame_equal(loaded.predict(matrix), model.predict(matrix))
    card = json.loads((folder / "model_card.json").read_text(encoding="utf-8"))
    assert card["features"] == list(FEATURE_COLS) and card["horizon"] == 3
    assert card["params"]["monotone_constraints"][FEATURE_COLS.index("qvr_score")] == 1
    assert card["data"]["train"]["rows"] == card["split"]["train_rows"] > 0
    assert card["caveats"] and card["versions"]["lightgbm"] == "4.7.0"
    calib = json.loads((folder / "calibration.json").read_text())
    assert all(isinstance(v, float) for v in calib["x"] + calib["y"])
    assert card["model_id"] == loaded.model_id == card["files"]["model.txt"]["sha256"][:12]
    # The model learnt something: it ranks the validation window better than chance.
    out = model.predict(matrix)
    merged = out.merge(matrix[["entity_id", "donem", "label"]]).dropna(subset=["label"])
    assert roc_auc_score(merged["label"], merged["score"]) > 0.7


def test_card_holds_validation_metrics_and_stability_from_the_models_own_windows(saved, matrix):
    model, _ = saved
    card = model.card
    valid = matrix.loc[split_at(matrix, timeline(matrix, 3)).valid]
    raw = model.raw_score(valid[FEATURE_COLS].to_numpy(np.float64))
    assert card["validation"]["rows"] == len(valid) == card["split"]["valid_rows"]
    assert card["validation"]["auc"] == pytest.approx(roc_auc_score(valid["label"], raw), abs=1e-12)
    score = valid["qvr_score"].fillna(-1.0)
    assert card["validation"]["score_alone_auc"] == pytest.approx(
        roc_auc_score(valid["label"], score), abs=1e-12)
    stability = card["stability"]
    latest = matrix["donem"].max()
    now = matrix.loc[(matrix["donem"] == latest) & ~(matrix["qvr_score"] >= 1000)]
    assert stability["period"] == latest and stability["rows"] == len(now)
    assert stability["train_sample_rows"] == card["split"]["train_rows"]  # small: every row
    assert set(stability["feature_psi"]) == set(FEATURE_COLS)
    assert stability["score_psi"]["band"] in ("stable", "watch", "act")
    assert card["backtest"] is None  # filled by the back-test, see test_model_backtest


def test_calibration_maps_as_scikit_learns_isotonic_regression(saved, matrix):
    from sklearn.isotonic import IsotonicRegression
    model, _ = saved
    valid = matrix.loc[split_at(matrix, timeline(matrix, 3)).valid]
    raw = model.raw_score(valid[FEATURE_COLS].to_numpy(np.float64))
    iso = IsotonicRegression(y_min=0, y_max=1, out_of_bounds="clip").fit(raw, valid["label"])
    probe = np.linspace(raw.min() - 1, raw.max() + 1, 101)
    np.testing.assert_allclose(model.calibration.apply(probe), iso.predict(probe), atol=1e-12)


def test_saving_again_replaces_the_folder_and_refuses_someone_elses(saved, tmp_path):
    model, _ = saved
    target = tmp_path / "model"
    model.save(target)
    (target / "stale.txt").write_text("old")
    model.save(target)
    assert sorted(os.listdir(target)) == ["calibration.json", "model.txt", "model_card.json",
                                          "training_run.json"]
    other = tmp_path / "photos"
    other.mkdir()
    (other / "a.jpg").write_bytes(b"x")
    with pytest.raises(ValueError, match="not replaced"):
        model.save(other)
    assert os.listdir(other) == ["a.jpg"]
    assert sorted(os.listdir(tmp_path)) == ["model", "photos"]  # no temporary folder left
    # a folder named with its trailing separator, under folders not made yet
    model.save(str(tmp_path / "runs" / "tonight" / "model") + os.sep)
    assert sorted(os.listdir(tmp_path / "runs" / "tonight" / "model")) == sorted(os.listdir(target))


def test_a_failed_save_leaves_nothing(saved, tmp_path, monkeypatch):
    model, _ = saved
    def boom(fd):
        raise OSError(28, "No space left on device")
    monkeypatch.setattr(os, "fsync", boom)
    with pytest.raises(OSError, match="No space"):
        model.save(tmp_path / "model")
    assert os.listdir(tmp_path) == []


def _load_in_child(folder) -> subprocess.CompletedProcess:
    code = textwrap.dedent(f"""
        from halvex.ml.model import Model
        try:
            Model.load({str(folder)!r})
        except ValueError as exc:
            print("refused:", exc)
    """)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)


def _copy(folder, dest):
    dest.mkdir()
    for name in os.listdir(folder):
        (dest / name).write_bytes((folder / name).read_bytes())
    return dest


@pytest.mark.parametrize("damage, message", [
    ("truncate", "model.txt is corrupt or truncated"),
    ("flip", "model.txt is corrupt or truncated"),
    ("calibration", "calibration.json is corrupt or truncated"),
    ("card", "model_card.json is not valid JSON"),
    ("features", "trained on another feature set"),
    ("missing", "model.txt is missing"),
])
def test_a_damaged_folder_is_refused_without_crashing(saved, tmp_path, damage, message):
    _, folder = saved
    bad = _copy(folder, tmp_path / "bad")
    model_txt = bad / "model.txt"
    if damage == "truncate":   # LightGBM itself dies of SIGSEGV on this
        data = model_txt.read_bytes()
        model_txt.write_bytes(data[: len(data) // 2])
    elif damage == "flip":
        data = bytearray(model_txt.read_bytes())
        data[len(data) // 3] ^= 0x01
        model_txt.write_bytes(bytes(data))
    elif damage == "calibration":
        (bad / "calibration.json").write_text('{"method": "isotonic", "x": [0], "y": [2]}')
    elif damage == "card":
        (bad / "model_card.json").write_text('{"format": 1, "feat')
    elif damage == "features":
        card = json.loads((bad / "model_card.json").read_text())
        card["features"] = card["features"][:-1] + ["diag_yeni_ozellik"]
        (bad / "model_card.json").write_text(json.dumps(card))
    elif damage == "missing":
        model_txt.unlink()
    done = _load_in_child(bad)
    assert done.returncode == 0, done.stderr
    assert message in done.stdout


_DETERMINISM = textwrap.dedent("""
    import hashlib, sys
    sys.path.insert(0, {here!r})
    from halvex.ml.model import train
    from model_matrices import matrix_from_histories, random_histories
    m = matrix_from_histories(random_histories(800, list(range(1, 15)), seed=5), horizon=3)
    model = train(m, 3, params={params!r}, threads=int(sys.argv[1]), num_boost_round=60)
    model.save(sys.argv[2])
    model.predict(m).to_parquet(sys.argv[2] + ".parquet")
""")


def test_same_data_gives_byte_identical_files_for_one_and_two_threads(tmp_path):
    code = _DETERMINISM.format(here=HERE, params=FAST)
    out = {}
    for name, threads in (("a1", 1), ("b1", 1), ("c2", 2)):
        done = subprocess.run([sys.executable, "-c", code, str(threads), str(tmp_path / name)],
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        out[name] = {f: (tmp_path / name / f).read_bytes()
                     for f in ("model.txt", "calibration.json", "model_card.json")}
        out[name]["predictions"] = pd.read_parquet(tmp_path / f"{name}.parquet")
    assert out["a1"]["model.txt"] == out["b1"]["model.txt"]
    assert out["a1"]["calibration.json"] == out["b1"]["calibration.json"]
    assert out["a1"]["model_card.json"] == out["b1"]["model_card.json"]
    # Two threads: the same trees; only the parameter block names the thread count.
    one, two = (out[k]["model.txt"].decode() for k in ("a1", "c2"))
    assert one.replace("[num_threads: 1]", "[num_threads: 2]") == two
    assert out["a1"]["calibration.json"] == out["c2"]["calibration.json"]
    pd.testing.assert_frame_equal(out["a1"]["predictions"], out["c2"]["predictions"], check_exact=True)


def test_the_data_hash_is_that_of_the_rows_in_c_order_whatever_the_array_layout():
    # The hash streams the features in blocks; it must equal the hash of the whole
    # matrix's C-order bytes, or cards of the same data would disagree.
    import hashlib

    from halvex.ml.model.card import _HASH_BLOCK_ROWS, fingerprint

    rng = np.random.default_rng(3)
    n = _HASH_BLOCK_ROWS * 2 + 17
    frame = pd.DataFrame({"entity_id": [f"E{i % 50}" for i in range(n)],
                          "donem": rng.integers(202001, 202012, n)})
    x = rng.normal(size=(n, 5))
    label = rng.integers(0, 2, n).astype(np.float64)

    def expected(x, label):
        h = hashlib.sha256()
        for col in ("entity_id", "donem"):
            h.update("\x1f".join(map(str, frame[col].tolist())).encode())
            h.update(b"\x1e")
        h.update(np.ascontiguousarray(x, dtype="<f8").tobytes())
        h.update(np.ascontiguousarray(label, dtype="<f8").tobytes())
        return h.hexdigest()

    want = expected(x, label)
    for layout in (x, np.asfortranarray(x), np.hstack([x, x])[:, :5],
                   np.asfortranarray(x)[:, :]):
        assert fingerprint(frame, layout, label)["sha256"] == want
    assert fingerprint(frame, x[::-1].copy(), label)["sha256"] != want
    strided = np.repeat(label, 2)[::2]
    assert fingerprint(frame, x, strided)["sha256"] == want


@pytest.mark.parametrize("keys", [
    pd.Series(["F1", "Şirket", "", "x"]),
    pd.Series([202301, 5, -3]),
    pd.Series(["a", None, "b"]),
    pd.Series(["a", "b"], dtype=object),
    pd.Series([1.5, 2.0, np.nan]),
    pd.concat([pd.Series(["a", "b"]), pd.Series([], dtype="str"), pd.Series(["c"])],
              ignore_index=True),
    pd.Series([], dtype="str"),
], ids=["text", "int", "missing", "object", "float", "chunked", "empty"])
def test_keys_are_hashed_as_their_python_text_whatever_the_column_type(keys):
    from halvex.ml.model.card import _joined_text

    assert _joined_text(keys) == "\x1f".join(map(str, keys.tolist())).encode("utf-8")
