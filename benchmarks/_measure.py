"""Runs one benchmark case in a fresh process and reports its wall time and peak memory.

The case's code marks the measured call with ``begin()`` and ``end()``; while the child runs,
this process samples the child's resident size every few milliseconds, so "extra memory" is
the peak during the call minus the size just before it (the caller's own data excluded).
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import threading
import time

PRELUDE = """
import time, json, sys, io, contextlib, os
def _rss_mb():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * os.sysconf('SC_PAGE_SIZE') / 2**20
def begin():
    global _t0, _c0
    print('@@BEGIN', flush=True, file=sys.__stdout__); _t0 = time.perf_counter(); _c0 = time.process_time()
def end():
    global elapsed, cpu
    elapsed = time.perf_counter() - _t0; cpu = time.process_time() - _c0
    print('@@END', flush=True, file=sys.__stdout__)
"""


def _rss_of(pid: int) -> float:
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return 0.0


def run_case(code: str) -> dict:
    """Executes `code` (which calls begin() and end() around the measured call)."""
    script = PRELUDE + code + "\nprint('@@' + json.dumps({'elapsed': elapsed, 'cpu': cpu, 'extra': globals().get('extra', {})}), flush=True)\n"
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    state = {"phase": "setup", "before": 0.0, "peak": 0.0}
    lines: list[str] = []

    def reader() -> None:
        for line in proc.stdout:
            if line.startswith("@@BEGIN"):
                state["before"] = _rss_of(proc.pid)
                state["peak"] = state["before"]
                state["phase"] = "call"
            elif line.startswith("@@END"):
                state["phase"] = "done"
            lines.append(line)

    t = threading.Thread(target=reader, daemon=True)
    t.start()
    while proc.poll() is None:
        if state["phase"] == "call":
            state["peak"] = max(state["peak"], _rss_of(proc.pid))
        time.sleep(0.005)
    t.join()
    err = proc.stderr.read()
    if proc.returncode != 0:
        raise RuntimeError(f"case failed (exit {proc.returncode}):\n{err[-3000:]}")
    result = json.loads([l for l in lines if l.startswith("@@{")][-1][2:])
    result["extra_mb"] = state["peak"] - state["before"]
    return result


def ensure_document(out: str, rows: int) -> str:
    """The benchmark's scoreboard file (and its reference CSV) under out/json, written once."""
    # One folder per size: a document of another size is never taken for this one.
    folder = os.path.join(out, f"json_{rows}")
    doc_path = os.path.join(folder, "scoreboard.json")
    if not os.path.exists(doc_path):
        print(f"writing a {rows:,}-row document to {doc_path} ...", flush=True)
        from halvex.sample.scoreboard import make_scoreboard, write_reference_csv, write_scoreboard_json
        doc = make_scoreboard(rows, n_periods=12, n_risk_periods=3, seed=1)
        write_scoreboard_json(doc_path, doc)
        write_reference_csv(os.path.join(folder, "sube_bolge_ref.csv"), doc)
    return doc_path


def ensure_facts_db(folder, entities: int, periods: int):
    """The benchmark's sample fact database (seed 1) in ``folder``, written once."""
    from pathlib import Path
    db = Path(folder) / "facts.duckdb"
    if not db.exists():
        print(f"writing {entities:,} borrowers x {periods} periods to {db} ...", flush=True)
        from halvex.sample.facts_db import write_sample_db
        write_sample_db(db, n_entities=entities, n_periods=periods, seed=1)
    return db
