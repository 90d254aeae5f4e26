"""tools/mutants.py changes the sources themselves: every change must be undone, and every
site must still name code that exists."""

from __future__ import annotations

import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import mutants  # noqa: E402


def test_every_site_is_in_the_sources_once():
    assert mutants.check_sites(mutants.SITES) == []
    names = [s.name for s in mutants.SITES]
    assert len(names) == len(set(names)), "two sites share a name"
    for s in mutants.SITES:
        assert s.before != s.after and s.tests, s.name


@pytest.fixture
def tree(tmp_path, monkeypatch):
    """A source file and a stale object of it, in a tree of their own."""
    monkeypatch.setattr(mutants, "ROOT", tmp_path)
    monkeypatch.setattr(mutants, "BUILD", tmp_path / "build")
    monkeypatch.setattr(mutants, "RESTORE", tmp_path / "build" / "restore")
    src = tmp_path / "cpp" / "a.cpp"
    src.parent.mkdir()
    src.write_bytes(b"int f(int x) { return x >= 825; }\n\xc3\xa7\n")
    os.utime(src, ns=(1_000_000_000, 1_000_000_000))
    obj = tmp_path / "build" / "CMakeFiles" / "lib.dir" / "cpp" / "a.cpp.o"
    obj.parent.mkdir(parents=True)
    obj.write_bytes(b"object")
    site = mutants.Site("cpp/a.cpp", "x >= 825", "x > 825", ("t",), "825")
    return src, obj, site


def test_a_planted_fault_is_undone_even_when_the_run_fails(tree):
    src, obj, site = tree
    original = src.read_bytes()
    with pytest.raises(KeyboardInterrupt):
        with mutants.Planted(site):
            assert b"x > 825" in src.read_bytes()
            raise KeyboardInterrupt
    assert src.read_bytes() == original
    assert src.stat().st_mtime_ns == 1_000_000_000  # no rebuild of what was built from it
    assert not obj.exists()  # the object built from the fault is compiled again
    assert not any(p.is_file() for p in mutants.RESTORE.rglob("*"))


def test_a_killed_run_is_repaired_by_the_next(tree):
    src, obj, site = tree
    original = src.read_bytes()
    mutants.Planted(site).__enter__()  # as if killed before it could put the file back
    assert src.read_bytes() != original
    mutants.restore_left_over()
    assert src.read_bytes() == original
    assert src.stat().st_mtime_ns == 1_000_000_000
    assert not obj.exists()
