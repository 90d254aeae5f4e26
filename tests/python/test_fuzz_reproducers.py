"""Every input the fuzzers kept, run again: a crash once fixed must stay fixed.

Each case runs in a child process, so that a crash fails its test instead of the whole run
(and, under `make sanitize`, the child inherits the sanitizers). The JSON reader's libFuzzer
inputs are replayed by the C++ tests (tests/fuzz/replay_main.cpp).
"""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"
CRASHES = FUZZ / "crashes"
sys.path.insert(0, str(FUZZ))
import known_crashes  # noqa: E402


def _child(args, **kw) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600,
                          **kw)


def _no_crash(proc: subprocess.CompletedProcess) -> None:
    tail = proc.stderr.decode("utf-8", "replace")[-2000:]
    assert proc.returncode >= 0, f"killed by signal {-proc.returncode}:\n{tail}"
    assert "Sanitizer" not in tail and "Fatal Python error" not in tail, tail


@pytest.mark.parametrize("case", sorted(CRASHES.glob("convert-*.json")), ids=lambda p: p.name)
def test_conversion_fuzzer_case(case):
    proc = _child([str(FUZZ / "fuzz_convert.py"), "--replay", str(case)])
    _no_crash(proc)
    assert proc.returncode == 0 and proc.stdout.strip(), proc.stderr.decode("utf-8", "replace")[-2000:]


@pytest.mark.parametrize("name", list(known_crashes.CASES))
def test_minimal_reproducer(name):
    # A Python exception is the expected end of most of them; returning is fine too.
    _no_crash(_child(["-c", known_crashes.SETUP + known_crashes.CASES[name]]))


DIFFERENTIAL = """
import json, sys, tempfile
from pathlib import Path
import fuzz_dict_vs_file as f
text = Path(sys.argv[1]).read_text("utf-8", errors="surrogatepass")
with tempfile.TemporaryDirectory() as tmp:
    from_file = f.outcome(sys.argv[1], Path(tmp) / "file.html", None)
    try:
        loaded = json.loads(text)
    except ValueError:
        loaded = None
    if loaded is not None:
        from_dict = f.outcome(loaded, Path(tmp) / "dict.html", None)
        assert from_file == from_dict, (from_file[:2], from_dict[:2])
"""


@pytest.mark.parametrize("case", sorted(CRASHES.glob("dict-vs-file-*.json")), ids=lambda p: p.name)
def test_document_renders_alike_from_file_and_dict(case):
    proc = _child(["-c", DIFFERENTIAL, str(case)], cwd=FUZZ)
    _no_crash(proc)
    assert proc.returncode == 0, proc.stderr.decode("utf-8", "replace")[-2000:]


def test_every_kept_case_is_one_of_the_above():
    known = ("convert-", "dict-vs-file-", "json_document_fuzzer-", "json_lazy_rows_fuzzer-", "json_file_fuzzer-")
    strays = [p.name for p in CRASHES.iterdir() if not p.name.startswith(known)]
    assert not strays, f"kept fuzz cases no test replays: {strays}"
    for p in CRASHES.glob("convert-*.json"):
        assert "target" in json.loads(p.read_text(encoding="ascii"))["case"], p.name
