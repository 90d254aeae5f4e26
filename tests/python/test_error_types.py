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
