"""SIGINT and SIGTERM end a command promptly, wherever it is (importing, inside a compiled job,
writing its output): one line on stderr, status 130 / 143, no temporary file left and the old
output untouched. A library caller gets KeyboardInterrupt and can call again."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from halvex.pipeline import vitrum
from halvex.sample.facts_db import write_sample_db
from halvex.sample.scoreboard import make_scoreboard, write_scoreboard_json

# A page whose render spends over a second in the compiled job.
N_ROWS = 150_000
# Facts for a feature build of several partitions of PARTITION_ROWS.
N_ENTITIES = 60_000
PARTITION_ROWS = "150000"

STATUS = {signal.SIGINT: 130, signal.SIGTERM: 143}
WORD = {signal.SIGINT: "interrupted", signal.SIGTERM: "terminated"}
# Generous for a loaded machine; the figures measured are printed (pytest -s).
MAX_SECONDS = 5.0
OLD = b"the previous output\n"


@pytest.fixture(scope="module")
def big_doc(tmp_path_factory):
    path = tmp_path_factory.mktemp("interrupt_doc") / "doc.json"
    write_scoreboard_json(path, make_scoreboard(N_ROWS, n_periods=12, n_risk_periods=3, seed=5))
    return path


@pytest.fixture(scope="module")
def facts_db(tmp_path_factory):
    path = tmp_path_factory.mktemp("interrupt_db") / "facts.duckdb"
    write_sample_db(path, n_entities=N_ENTITIES, n_periods=12)
    return path


def _catches(pid: int, signum: int) -> bool:
    try:
        with open(f"/proc/{pid}/status") as fh:
            mask = next(int(line.split()[1], 16) for line in fh if line.startswith("SigCgt:"))
    except (OSError, StopIteration):
        return False
    return bool(mask >> (signum - 1) & 1)


def _wait_for(predicate, proc, seconds=60.0):
    deadline = time.monotonic() + seconds
    while not predicate():
        assert proc.poll() is None, f"ended first: {proc.communicate()}"
        assert time.monotonic() < deadline
        time.sleep(0.002)


def _start(args, *, script=None, env=None):
    """The command line on ``args``, once it handles SIGTERM (its handlers are installed)."""
    program = [str(script)] if script else ["-m", "halvex.cli"]
    proc = subprocess.Popen([sys.executable, *program, *args], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=dict(os.environ, **(env or {})))
    _wait_for(lambda: _catches(proc.pid, signal.SIGTERM), proc)
    return proc


def _stop(proc, signum):
    """Sends the signal; (seconds until the process ended, status, stderr)."""
    sent = time.monotonic()
    proc.send_signal(signum)
    try:
        _, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
    return time.monotonic() - sent, proc.returncode, err.decode()


def _temporaries(folder):
    return [name for name in os.listdir(folder) if ".hxtmp." in name]


def _assert_stopped(result, signum, command, folder=None, old=None):
    took, status, err = result
    print(f"\n  {command} {signal.Signals(signum).name}: ended {took:.2f} s after the signal")
    assert (status, err) == (STATUS[signum], f"halvex {command}: {WORD[signum]}\n")
    assert took < MAX_SECONDS
    if folder is not None:
        assert _temporaries(folder) == []
    if old is not None:
        assert old.read_bytes() == OLD


def _maps(pid, path):
    try:
        with open(f"/proc/{pid}/maps") as fh:
            return str(path) in fh.read()
    except OSError:
        return False


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
@pytest.mark.parametrize("v300", [False, True], ids=["standard", "v300"])
def test_render_stops_inside_the_compiled_job(big_doc, tmp_path, signum, v300):
    page = tmp_path / "page.html"
    page.write_bytes(OLD)
    proc = _start(["render", str(big_doc), "-o", str(page), *(["--v300"] if v300 else [])])
    # The job has mapped the document: it is reading or encoding its rows.
    _wait_for(lambda: _maps(proc.pid, big_doc), proc)
    time.sleep(0.2)
    _assert_stopped(_stop(proc, signum), signum, "render", tmp_path, page)


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_render_stops_while_writing_the_page(big_doc, tmp_path, signum):
    page = tmp_path / "page.html"
    page.write_bytes(OLD)
    proc = _start(["render", str(big_doc), "-o", str(page)])
    _wait_for(lambda: _temporaries(tmp_path), proc)
    _assert_stopped(_stop(proc, signum), signum, "render", tmp_path, page)


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
@pytest.mark.parametrize("suffix", [".parquet", ".csv"])
def test_partitioned_features_leave_no_temporary_file(facts_db, tmp_path, signum, suffix):
    out = tmp_path / f"matrix{suffix}"
    out.write_bytes(OLD)
    proc = _start(["features", str(facts_db), "-o", str(out)], env={"HALVEX_PARTITION_ROWS": PARTITION_ROWS})
    # The output's temporary file is open: partitions are being built into it.
    _wait_for(lambda: _temporaries(tmp_path), proc)
    time.sleep(0.3)
    _assert_stopped(_stop(proc, signum), signum, "features", tmp_path, out)


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_whole_feature_build_stops_inside_the_job(facts_db, tmp_path, signum):
    out = tmp_path / "matrix.parquet"
    out.write_bytes(OLD)
    proc = _start(["features", str(facts_db), "-o", str(out)])
    time.sleep(0.6)  # the fact query or the features, whichever runs then
    _assert_stopped(_stop(proc, signum), signum, "features", tmp_path, out)


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_signal_soon_after_start_is_an_interrupt_never_a_traceback(big_doc, tmp_path, signum):
    # From the handlers on: parsing arguments, importing the commands and the extension.
    for delay in (0, 0.01, 0.03, 0.06, 0.1, 0.2):
        proc = _start(["render", str(big_doc), "-o", str(tmp_path / "page.html")])
        time.sleep(delay)
        _assert_stopped(_stop(proc, signum), signum, "render", tmp_path)


_IMPORT_INTERRUPTED = """
import builtins, sys
real_import = builtins.__import__
def interrupted(name, *args, **kwargs):
    # What a SIGINT while the renderer module initialises looks like to it.
    if name == "jinja2":
        raise KeyboardInterrupt
    return real_import(name, *args, **kwargs)
builtins.__import__ = interrupted
from halvex.cli import main
sys.exit(main(sys.argv[1:]))
"""


def test_interrupt_during_the_renderer_import_is_no_missing_module(tmp_path):
    script = tmp_path / "interrupted_import.py"
    script.write_text(_IMPORT_INTERRUPTED)
    doc = write_scoreboard_json(tmp_path / "doc.json", make_scoreboard(5, seed=1))
    done = subprocess.run([sys.executable, str(script), "render", str(doc), "-o", str(tmp_path / "p.html")],
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (130, "halvex render: interrupted\n")


def test_library_caller_gets_keyboard_interrupt_and_can_call_again(big_doc, tmp_path, capsys):
    page = tmp_path / "page.html"
    timer = threading.Timer(0.4, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            vitrum.render_html(str(big_doc), output_html=str(page))
    finally:
        timer.cancel()
    assert not page.exists() and _temporaries(tmp_path) == []
    # Nothing of the stopped run is left to stop the next one.
    assert vitrum.render_html(str(big_doc), output_html=str(page))["rows"] == N_ROWS
    assert _temporaries(tmp_path) == []
