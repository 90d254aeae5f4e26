"""Runs one benchmark case in a fresh process and reports its wall time and peak memory."""

from __future__ import annotations

import json
import resource
import subprocess
import sys


def run_case(code: str) -> dict:
    """Executes `code` (which sets `elapsed`) in a child interpreter; returns its figures."""
    script = (
        "import time, json, resource, sys, io, contextlib\n"
        + code
        + "\nprint('@@' + json.dumps({'elapsed': elapsed, "
        "'maxrss_mb': resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, "
        "'extra': globals().get('extra', {})}))\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=False)
    if out.returncode != 0:
        raise RuntimeError(out.stderr[-3000:])
    line = [l for l in out.stdout.splitlines() if l.startswith("@@")][-1]
    return json.loads(line[2:])
