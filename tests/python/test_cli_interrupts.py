"""SIGINT and SIGTERM end a command promptly wherever it is (importing, inside a compiled job,
writing its output): one line, status 130 / 143, no temporary file, the old output untouched.
A library caller gets KeyboardInterrupt and can call again."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from halvex._interrupt import installed
from halvex._output import atomic_output
from halvex.pipeline import vitrum
from halvex.sample.facts_db import write_sample_db
from halvex.sample.scoreboard import make_scoreboard, write_scoreboard_json

N_ROWS = 150_000  # a render that spends over a second in the compiled job
INT, TERM = signal.SIGINT, signal.SIGTERM
ENDING = {INT: (130, "interrupted"), TERM: (143, "terminated")}
MAX_SECONDS = 5.0  # generous for a loaded machine; the real figures are printed (pytest -s)
OLD = b"the previous output\n"


@pytest.fixture(scope="module")
def big_doc(tmp_path_factory):
    path = tmp_path_factory.mktemp("interrupt_doc") / "doc.json"
    return write_scoreboard_json(path, make_scoreboard(N_ROWS, n_periods=12, n_risk_periods=3, seed=5))


@pytest.fixture(scope="module")
def facts_db(tmp_path_factory):
    path = tmp_path_factory.mktemp("interrupt_db") / "facts.duckdb"
    write_sample_db(path, n_entities=60_000, n_periods=12)
    return path


def _proc_text(pid, name):
    try:
        with open(f"/proc/{pid}/{name}") as fh:
            return fh.read()
    except OSError:
        return ""


def _handles_sigterm(pid):  # the command line's handlers are installed
    mask = next((line.split()[1] for line in _proc_text(pid, "status").splitlines() if line.startswith("SigCgt:")), "0")
    return bool(int(mask, 16) >> (TERM - 1) & 1)


def _temporaries(folder):
    return [name for name in os.listdir(folder) if ".hxtmp." in name]


def _run_and_stop(args, signum, out, ready=lambda proc: True, delay=0.0, env=None):
    """Runs ``halvex ARGS``, sends the signal `delay` s after ready(proc), and checks the end."""
    out.write_bytes(OLD)
    proc = subprocess.Popen([sys.executable, "-m", "halvex.cli", *args], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=dict(os.environ, **(env or {})))
    try:
        deadline = time.monotonic() + 60
        while not (_handles_sigterm(proc.pid) and ready(proc)):
            assert proc.poll() is None and time.monotonic() < deadline, "ended before the signal"
            time.sleep(0.002)
        time.sleep(delay)
        sent = time.monotonic()
        proc.send_signal(signum)
        _, err = proc.communicate(timeout=60)
        took = time.monotonic() - sent
    finally:
        if proc.poll() is None:
            proc.kill()
    print(f"\n  halvex {args[0]} {signum.name}: ended {took:.2f} s after the signal")
    status, word = ENDING[signum]
    assert (proc.returncode, err.decode()) == (status, f"halvex {args[0]}: {word}\n")
    assert took < MAX_SECONDS
    assert _temporaries(out.parent) == [] and out.read_bytes() == OLD


@pytest.mark.parametrize("signum", [INT, TERM], ids=["SIGINT", "SIGTERM"])
@pytest.mark.parametrize("stage", ["rows", "rows-v300", "writing"])
def test_render_stops_in_the_compiled_job(big_doc, tmp_path, signum, stage):
    out = tmp_path / "page.html"
    if stage == "writing":  # the page's temporary file is there
        ready, delay = (lambda proc: _temporaries(tmp_path)), 0.0
    else:  # the document is mapped: its rows are being read and encoded
        ready, delay = (lambda proc: str(big_doc) in _proc_text(proc.pid, "maps")), 0.2
    v300 = ["--v300"] if stage == "rows-v300" else []
    _run_and_stop(["render", str(big_doc), "-o", str(out), *v300], signum, out, ready, delay)


@pytest.mark.parametrize("signum, suffix, partition_rows",
                         [(TERM, ".parquet", "150000"), (INT, ".csv", "150000"), (INT, ".parquet", None)],
                         ids=["partitioned-SIGTERM", "partitioned-csv-SIGINT", "whole-SIGINT"])
def test_feature_build_stops_and_leaves_no_temporary_file(facts_db, tmp_path, signum, suffix, partition_rows):
    out = tmp_path / f"matrix{suffix}"
    env = {"HALVEX_PARTITION_ROWS": partition_rows} if partition_rows else {}
    # Partitions are built into the open temporary file; a whole build is in its query or job.
    ready = (lambda proc: _temporaries(tmp_path)) if partition_rows else (lambda proc: True)
    _run_and_stop(["features", str(facts_db), "-o", str(out)], signum, out, ready, 0.3, env)


@pytest.mark.parametrize("signum", [INT, TERM], ids=["SIGINT", "SIGTERM"])
@pytest.mark.parametrize("delay", [0, 0.02, 0.06, 0.15])
def test_signal_soon_after_start_is_never_a_traceback(big_doc, tmp_path, signum, delay):
    # Parsing arguments, importing the commands and the renderer module.
    out = tmp_path / "page.html"
    _run_and_stop(["render", str(big_doc), "-o", str(out)], signum, out, delay=delay)


_IMPORT_INTERRUPTED = """
import builtins, sys
real_import = builtins.__import__
def interrupted(name, *args, **kwargs):
    if name == "jinja2":  # what a SIGINT while the renderer module initialises looks like
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

    def interrupt_once_mapped():  # the job is reading the document's rows
        deadline = time.monotonic() + 30
        while str(big_doc) not in _proc_text("self", "maps") and time.monotonic() < deadline:
            time.sleep(0.002)
        os.kill(os.getpid(), INT)

    sender = threading.Thread(target=interrupt_once_mapped)
    with pytest.raises(KeyboardInterrupt):
        sender.start()
        vitrum.render_html(str(big_doc), output_html=str(page))
    sender.join()
    assert not page.exists() and _temporaries(tmp_path) == []
    # Nothing of the stopped run stops the next one.
    assert vitrum.render_html(str(big_doc), output_html=str(page))["rows"] == N_ROWS


def test_an_interrupt_that_a_library_swallowed_still_keeps_the_old_output(tmp_path):
    out = tmp_path / "matrix.csv"
    out.write_bytes(OLD)
    with installed():
        try:
            os.kill(os.getpid(), INT)
            time.sleep(5)
        except KeyboardInterrupt:
            pass  # what a callback that cannot raise, or a catch-all, does with it
        with pytest.raises(KeyboardInterrupt), atomic_output(out) as fh:
            fh.write("new")
    assert out.read_bytes() == OLD and _temporaries(tmp_path) == []
    # Once that run is over, the swallowed interrupt stops nothing else in the process.
    with atomic_output(out) as fh:
        fh.write("new")
    assert out.read_text() == "new"
