"""The repaired wheel on a machine without a compiler: installed into a new venv, `halvex demo`.

Run by `make wheel-test` (after `make wheel`); alone: `pytest -m wheel tests/wheel`.
HALVEX_WHEEL_DIR names the folder of the repaired wheel (default dist/), HALVEX_WHEELHOUSE a
folder of the runtime dependencies' wheels (default build/wheelhouse; without it they come
from the package index, as wheels only).
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.wheel

ROOT = Path(__file__).resolve().parents[2]
COMPILERS = ("cc", "gcc", "g++", "c++", "clang", "clang++", "cmake", "ninja", "make")
# What pip and the demo may call besides the venv's python.
TOOLS = ("sh", "uname", "ls", "cat", "env")


def _folder(variable: str, default: str) -> Path:
    value = os.environ.get(variable)
    return Path(value).resolve() if value else ROOT / default


@pytest.fixture(scope="module")
def wheel() -> Path:
    found = sorted(_folder("HALVEX_WHEEL_DIR", "dist").glob("halvex-*manylinux*.whl"))
    if len(found) != 1:
        pytest.fail(f"expected one repaired halvex wheel, found {[p.name for p in found]} (make wheel)")
    return found[0]


def _no_compiler_env(bin_dir: Path, venv: Path) -> dict:
    # PATH holds the venv and a few coreutils; CC/CXX fail should anything look for them.
    bin_dir.mkdir()
    for tool in TOOLS:
        found = shutil.which(tool)
        if found:
            (bin_dir / tool).symlink_to(found)
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PYTHON", "VIRTUAL_ENV", "CMAKE", "HALVEX_"))}
    env.update(PATH=f"{venv / 'bin'}:{bin_dir}", CC="/bin/false", CXX="/bin/false",
               PIP_NO_INPUT="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    return env


def test_wheel_carries_modules_and_package_data(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    for prefix in ("halvex/pipeline/vitrum.", "halvex/ml/features."):
        assert any(n.startswith(prefix) and n.endswith(".so") for n in names), prefix
    assert any(n.startswith("halvex/templates/") for n in names)
    assert "halvex/sample/facts_db.py" in names
    assert any(n.endswith(".dist-info/entry_points.txt") for n in names)


def test_demo_runs_from_the_wheel_without_a_compiler(wheel, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    env = _no_compiler_env(tmp_path / "bin", venv)
    for tool in COMPILERS:
        assert shutil.which(tool, path=env["PATH"]) is None, f"{tool} is reachable"

    wheelhouse = _folder("HALVEX_WHEELHOUSE", "build/wheelhouse")
    source = (["--no-index", "--find-links", str(wheelhouse)] if wheelhouse.is_dir() else [])
    install = subprocess.run(
        [str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "--only-binary", ":all:",
         "-c", str(ROOT / "constraints.txt"), *source, str(wheel)],
        env=env, cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert install.returncode == 0, install.stderr

    # Imported from the new venv, not from the source tree or the build venv.
    where = subprocess.run(
        [str(venv / "bin" / "python"), "-c",
         "import halvex.pipeline.vitrum as v, halvex.ml.features as f; print(v.__file__); print(f.__file__)"],
        env=env, cwd=tmp_path, capture_output=True, text=True, check=True)
    for line in where.stdout.splitlines():
        assert Path(line).is_relative_to(venv), line

    out = tmp_path / "out"
    demo = subprocess.run([str(venv / "bin" / "halvex"), "demo", "--rows", "300", "--out", str(out)],
                          env=env, cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert demo.returncode == 0, demo.stdout + demo.stderr
    assert "[WARN]" not in demo.stdout and demo.stderr == ""
    latest = out / "runs" / "latest"
    for rel in ("json/scoreboard.json", "html/qvr_dashboard.html", "html/qvr_dashboard_admin.html",
                "html/qvr_dashboard_v300.html", "predictions.parquet", "manifest.json",
                "model/model_card.json", "backtest/backtest_summary.json"):
        path = latest / rel
        assert path.is_file() and path.stat().st_size > 0, rel
    page = (latest / "html" / "qvr_dashboard.html").read_text("utf-8")
    assert page.lstrip().lower().startswith("<!doctype html") and "300" in demo.stdout
    assert "AUC model" in demo.stdout
