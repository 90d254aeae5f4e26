"""Playwright and Debian's Chromium, which the browser tests drive; a module that needs them
is skipped when either is missing."""

from __future__ import annotations

import os

import pytest

CHROMIUM = os.environ.get("HALVEX_CHROMIUM", "/usr/bin/chromium")


def require():
    """Playwright's sync API; skips the calling module without it or without Chromium."""
    sync_api = pytest.importorskip("playwright.sync_api", reason="playwright for Python is not installed")
    if not (os.path.isfile(CHROMIUM) and os.access(CHROMIUM, os.X_OK)):
        pytest.skip(f"no Chromium at {CHROMIUM} (Debian package 'chromium')", allow_module_level=True)
    return sync_api
