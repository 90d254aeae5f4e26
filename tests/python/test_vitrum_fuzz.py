"""Damaged documents must end in a Python exception or a page, never in a crash.

Byte-level mutations of a valid scoreboard file (and of its parsed form in memory) exercise
the reader, the lazily read rows of a file and the encoders with every kind of bad input.
"""

from __future__ import annotations

import json
import random

import pytest

from halvex.pipeline import vitrum
from halvex.sample.scoreboard import make_scoreboard

EXPECTED = (ValueError, TypeError, KeyError, OverflowError, ZeroDivisionError, OSError)


@pytest.fixture(scope="module")
def source_text():
    doc = make_scoreboard(40, n_periods=3, n_risk_periods=2, seed=5)
    return json.dumps(doc, ensure_ascii=False).encode("utf-8")


def _mutate(rnd: random.Random, data: bytes) -> bytes:
    b = bytearray(data)
    for _ in range(rnd.randint(1, 4)):
        kind = rnd.random()
        i = rnd.randrange(len(b))
        if kind < 0.3:
            b[i] = rnd.randrange(256)
        elif kind < 0.5:
            del b[i:i + rnd.randint(1, 20)]
        elif kind < 0.7:
            b[i:i] = rnd.choice([b"{", b"}", b"[", b"]", b",", b":", b'"', b"\\", b"NaN", b"-Infinity",
                                  b"1e999", b"\xff", b"\xed\xa0\x80", b"\\ud800", b"null", b"99999999999999999999999"])
        else:
            j = rnd.randrange(len(b))
            b[i:i] = b[j:j + rnd.randint(1, 60)]
    return bytes(b)


@pytest.mark.parametrize("seed", range(6))
def test_damaged_files_and_documents_raise_cleanly(source_text, tmp_path, capsys, seed):
    rnd = random.Random(seed)
    for n in range(200):
        data = _mutate(rnd, source_text)
        path = tmp_path / f"doc{n}.json"
        path.write_bytes(data)
        for render in (vitrum.render_html, vitrum.render_html_v300):
            try:
                render(str(path), output_html=str(tmp_path / "out.html"))
            except EXPECTED:
                pass
        try:
            doc = json.loads(data.decode("utf-8"))
        except (ValueError, UnicodeDecodeError):
            continue
        try:
            vitrum.render_html(doc, output_html=str(tmp_path / "mem.html"))
        except EXPECTED:
            pass
