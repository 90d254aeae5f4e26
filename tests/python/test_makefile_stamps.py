"""The Makefile's set-up steps run again only when what they depend on changed.

``make -n -W FILE`` shows what make would do were FILE just changed, without doing it. Needs a
tree set up by ``make install`` (the stamps exist); skipped elsewhere.
"""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
STAMPS = ROOT / ".stamps"
SETUP = ["deps", "venv", "install"]

pytestmark = pytest.mark.skipif(
    shutil.which("make") is None or not all((STAMPS / s).exists() for s in SETUP),
    reason="needs make and a tree set up by `make install`")


def _would_run(*args) -> str:
    # Run from `make test`, the outer make's flags and level would reach this one.
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    done = subprocess.run(["make", "-n", "--no-print-directory", *args, *SETUP], cwd=ROOT,
                          capture_output=True, text=True, timeout=60, env=env)
    assert done.returncode == 0, done.stderr
    return "".join(line for line in done.stdout.splitlines(keepends=True)
                   if "Nothing to be done for" not in line)


def test_nothing_runs_when_nothing_changed():
    assert _would_run() == ""


@pytest.mark.parametrize("changed, runs, skips", [
    ("src/halvex/cli.py", ["pip install -q --no-build-isolation ."], ["apt-get", "-c constraints.txt"]),
    ("cpp/common/number_text.cpp", ["pip install -q --no-build-isolation ."], ["apt-get"]),
    ("CMakeLists.txt", ["pip install -q --no-build-isolation ."], ["apt-get"]),
    ("constraints.txt", ["-c constraints.txt", "pip install -q --no-build-isolation ."], ["apt-get"]),
    ("Makefile", ["apt-get install"], ["pip install"]),
])
def test_a_change_reruns_only_the_steps_after_it(changed, runs, skips):
    assert (ROOT / changed).exists()
    planned = _would_run("-W", changed)
    for text in runs:
        assert text in planned, (changed, text)
    for text in skips:
        assert text not in planned, (changed, text)
