"""Fixtures shared by the renderer tests."""

from __future__ import annotations

import pytest


@pytest.fixture
def template_dir(tmp_path, monkeypatch):
    """An empty page-template folder and script folder the renderer reads instead of its own
    (HALVEX_TEMPLATE_DIR, HALVEX_JS_DIR); returns the template folder."""
    tdir = tmp_path / "templates"
    tdir.mkdir()
    jsdir = tmp_path / "js"
    jsdir.mkdir()
    monkeypatch.setenv("HALVEX_TEMPLATE_DIR", str(tdir))
    monkeypatch.setenv("HALVEX_JS_DIR", str(jsdir))
    return tdir
