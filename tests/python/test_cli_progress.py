"""The progress line of long commands: on a terminal's stderr only, never in what is printed."""

import io
import json
import os
import pty
import re
import subprocess
import sys
import threading
import time

import pytest

from halvex._progress import CLEAR, Progress
from halvex.sample.scoreboard import make_scoreboard


class _Terminal(io.StringIO):
    def isatty(self):
        return True


def _wait_for(predicate, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.01)
    return predicate()


# -- the indicator itself -------------------------------------------------------------------

def test_short_work_and_non_terminals_show_nothing(monkeypatch):
    term = _Terminal()
    with Progress("render", "rendering", stream=term, delay=0.5) as progress:
        assert progress.active
    assert term.getvalue() == ""

    pipe = io.StringIO()
    stdout = _Terminal()
    monkeypatch.setattr(sys, "stdout", stdout)
    with Progress("render", "rendering", stream=pipe, delay=0, interval=0.01) as progress:
        assert not progress.active and sys.stdout is stdout
        time.sleep(0.1)
    assert pipe.getvalue() == ""


def test_long_work_names_its_stage_and_erases_the_line():
    term = _Terminal()
    with Progress("features", "building features", stream=term, delay=0.05, interval=0.01) as p:
        assert _wait_for(lambda: "halvex features: building features 0 s" in term.getvalue())
        p.stage("writing out.csv")
        assert _wait_for(lambda: "halvex features: writing out.csv" in term.getvalue())
    text = term.getvalue()
    assert text.startswith(CLEAR) and text.endswith(CLEAR)
    size = len(text)
    time.sleep(0.05)
    assert len(term.getvalue()) == size  # the thread has stopped


def test_printed_lines_keep_their_text_and_start_on_a_clear_line(monkeypatch):
    term, stdout = _Terminal(), _Terminal()
    monkeypatch.setattr(sys, "stdout", stdout)
    with Progress("render", "rendering", stream=term, delay=0, interval=0.01):
        assert _wait_for(lambda: "rendering" in term.getvalue())
        print("    HTML: page.html")
        # Half a line printed: the line is not redrawn over it until the line ends.
        print("    Boyut: 1 KB", end="")
        drawn = len(term.getvalue())
        time.sleep(0.08)
        assert len(term.getvalue()) == drawn
        print()
        assert _wait_for(lambda: len(term.getvalue()) > drawn)
    assert sys.stdout is stdout
    assert stdout.getvalue() == "    HTML: page.html\n    Boyut: 1 KB\n"
    assert term.getvalue().endswith(CLEAR)


# -- the commands on a pseudo-terminal ------------------------------------------------------

def _read_all(fd, sink):
    while True:
        try:
            data = os.read(fd, 4096)
        except OSError:  # EIO: the child closed its end
            return
        if not data:
            return
        sink.append(data)


def _run_cli(args, *, stderr_tty, stdout_tty=False, before=None, script=None, env=None):
    """Run ``python -m halvex.cli ARGS`` (or ``python SCRIPT ARGS``), its stderr and/or stdout
    on a pseudo-terminal; returns (returncode, stdout, stderr, terminal text)."""
    master, slave = pty.openpty()
    program = [sys.executable, *([str(script)] if script else ["-m", "halvex.cli"])]
    proc = subprocess.Popen([*program, *args], stdin=subprocess.DEVNULL,
                            stdout=slave if stdout_tty else subprocess.PIPE,
                            stderr=slave if stderr_tty else subprocess.PIPE,
                            env=dict(os.environ, **(env or {})))
    os.close(slave)
    chunks = []
    reader = threading.Thread(target=_read_all, args=(master, chunks))
    reader.start()
    try:
        if before is not None:
            before(proc)
        out, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
        reader.join(timeout=10)
        os.close(master)
    terminal = b"".join(chunks).decode("utf-8", "replace").replace("\r\n", "\n")
    return proc.returncode, (out or b"").decode(), (err or b"").decode(), terminal


def _feed_slowly(fifo, data, pause=2.0):
    """Write ``data`` into the named pipe once the renderer opened it, ``pause`` seconds later."""
    def feed(proc):
        deadline = time.monotonic() + 60
        while True:
            try:
                fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError:  # no reader yet
                if proc.poll() is not None or time.monotonic() > deadline:
                    return
                time.sleep(0.02)
        time.sleep(pause)
        os.set_blocking(fd, True)
        with os.fdopen(fd, "wb") as fh:
            fh.write(data)
    return feed


@pytest.fixture
def slow_render(tmp_path):
    data = json.dumps(make_scoreboard(40, seed=3)).encode()
    fifo = tmp_path / "doc.json"

    def run(*extra, **kw):
        if fifo.exists():
            fifo.unlink()
        os.mkfifo(fifo)
        args = ["render", str(fifo), "-o", str(tmp_path / "page.html"), *extra]
        return _run_cli(args, before=_feed_slowly(fifo, data), **kw)
    return run


@pytest.mark.parametrize("v300", [False, True], ids=["standard", "v300"])
def test_render_shows_progress_on_a_terminal_only(slow_render, v300):
    extra = ["--v300"] if v300 else []
    rc, plain_out, plain_err, _ = slow_render(*extra, stderr_tty=False)
    assert rc == 0 and plain_err == "" and "\x1b" not in plain_out

    rc, out, err, terminal = slow_render(*extra, stderr_tty=True)
    assert rc == 0 and err == ""
    assert out == plain_out
    assert re.search(r"[|/\\-] halvex render: rendering [1-9]\d* s", terminal)
    assert terminal.endswith(CLEAR)

    if v300:
        return  # the same wrapper as the standard page's
    # Both streams on one terminal: the page's lines are all there, each on a line of its own.
    rc, _, _, terminal = slow_render(*extra, stderr_tty=True, stdout_tty=True)
    assert rc == 0 and "halvex render: rendering" in terminal
    shown = terminal.split(CLEAR)
    printed = "".join(part for part in shown if not part.startswith(("|", "/", "-", "\\")))
    assert printed.replace("\n", "") == plain_out.replace("\n", "")
    for line in plain_out.splitlines():
        assert any(piece.startswith(line) for piece in terminal.replace(CLEAR, "\n").split("\n"))


_SLOW_FEATURES = """
import os, sys, time
import pandas as pd
import halvex.ml.features as features
def build_features(db, horizon):
    time.sleep(float(os.environ["SLOW_SECONDS"]))
    print("  Features: 2 rows")
    return pd.DataFrame({"muta": [1, 2], "label": [0, 1]})
features.build_features = build_features
from halvex.cli import main
sys.exit(main(sys.argv[1:]))
"""


def test_features_shows_progress_on_a_terminal_only(tmp_path):
    db = tmp_path / "facts.duckdb"
    db.write_bytes(b"")
    script = tmp_path / "slow_features.py"
    script.write_text(_SLOW_FEATURES)

    def run(seconds, **kw):
        return _run_cli(["features", str(db), "-o", str(tmp_path / "m.csv")], script=script,
                        env={"SLOW_SECONDS": str(seconds)}, **kw)

    rc, plain_out, plain_err, _ = run(0, stderr_tty=False)
    assert rc == 0 and plain_err == ""
    assert plain_out == f"  Features: 2 rows\n  Written: {tmp_path / 'm.csv'} (2 rows, 2 columns)\n"
    rc, out, err, terminal = run(2.0, stderr_tty=True)
    assert rc == 0 and out == plain_out and err == ""
    assert re.search(r"halvex features: building features [1-9]\d* s", terminal)
    assert terminal.endswith(CLEAR)
