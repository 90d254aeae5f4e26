"""What the extension modules' failures are in Python: one exception type per kind of failure,
whichever module fails (the other types are pinned by the renderer's own tests)."""

import pyarrow as pa
import pytest

from halvex.ml import _sources as feature_sources
from halvex.ml import features
from halvex.pipeline import vitrum
from halvex.sample.facts_db import write_sample_db
from halvex.scoreboard import _sources as scoreboard_sources
from halvex.scoreboard import build_scoreboard


@pytest.fixture(scope="module")
def db(tmp_path_factory):
    return write_sample_db(tmp_path_factory.mktemp("errors") / "facts.duckdb", n_entities=40, n_periods=4)


def _breaks_after_one_batch(table: pa.Table) -> pa.RecordBatchReader:
    def batches():
        yield table.to_batches(max_chunksize=10)[0]
        raise ConnectionError("the engine went away")

    return pa.RecordBatchReader.from_batches(table.schema, batches())


@pytest.mark.parametrize("module", ["features", "scoreboard"])
def test_a_source_that_fails_mid_read_is_a_runtime_error_saying_why(db, monkeypatch, module):
    if module == "features":
        real = feature_sources.fetch_facts
        monkeypatch.setattr(feature_sources, "fetch_facts", lambda *a: _breaks_after_one_batch(real(*a)))
        build = lambda: features.build_features(str(db))  # noqa: E731
    else:
        real = scoreboard_sources.fetch
        monkeypatch.setattr(scoreboard_sources, "fetch", lambda *a: _breaks_after_one_batch(real(*a)))
        build = lambda: build_scoreboard(str(db))  # noqa: E731
    with pytest.raises(RuntimeError, match=r"^Arrow stream failed: .*the engine went away"):
        build()


@pytest.mark.parametrize("call", [
    lambda db, tmp: features.build_features(str(db) + "\0x"),
    lambda db, tmp: features._diagnostic_path(str(db).encode() + b"\0x"),
    lambda db, tmp: build_scoreboard(str(db) + "\0x"),
    lambda db, tmp: vitrum.render_html(str(tmp / "doc\0.json"), str(tmp / "p.html")),
], ids=["build_features", "diagnostic_path", "build_scoreboard", "render_html"])
def test_an_embedded_nul_in_a_path_is_the_same_value_error_everywhere(db, tmp_path, call):
    with pytest.raises(ValueError, match=r"^embedded null byte$"):
        call(db, tmp_path)


# The feature build's internal helpers convert their paths and horizons as the public function
# does, so a wrong value gets the same error. The document's takes str paths only (its Python
# wrapper decodes them): anything else is nanobind's TypeError, a NUL the core's ValueError.
def _document(db, out_path):
    from halvex.scoreboard.document import build_document
    return build_document(db, out_path, 3, "t", "2024-01-01", "", None, "", "", False, None, [])


@pytest.mark.parametrize("call, error, message", [
    (lambda db: features._diagnostic_path(5), TypeError, "expected str, bytes or os.PathLike object, not int"),
    (lambda db: features._build_features_part(5, 3, "", ""), TypeError,
     "expected str, bytes or os.PathLike object, not int"),
    (lambda db: features._build_features_part(db, "3", "", ""), TypeError,
     "Argument 'target_horizon' has incorrect type (expected int, got str)"),
    (lambda db: features._build_features_part(db, float("nan"), "", ""), ValueError,
     "target_horizon: cannot convert float NaN to integer"),
    (lambda db: _document(str(db), 5), TypeError, "incompatible function arguments"),
    (lambda db: _document(str(db).encode(), None), TypeError, "incompatible function arguments"),
    (lambda db: _document(str(db) + "\0", None), ValueError, "embedded null byte"),
])
def test_helpers_convert_their_arguments_as_the_public_functions_do(db, call, error, message):
    with pytest.raises(error) as info:
        call(db)
    assert str(info.value) == message or message in str(info.value).splitlines()[0]


def test_every_path_form_and_a_float_horizon_are_taken(db, tmp_path):
    frame, _ = features._build_features_part(db, 2.9, "", "")
    whole = features.build_features(str(db).encode(), target_horizon=2)
    assert frame.equals(whole)
    assert features._diagnostic_path(db) == features._diagnostic_path(str(db).encode())
    out = tmp_path / "doc.json"
    assert build_scoreboard(str(db).encode(), bytes(out))["bytes"] == out.stat().st_size
