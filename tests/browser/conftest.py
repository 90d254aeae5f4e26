"""What the browser tests share: one headless Chromium (Debian's package, driven by Playwright)
for the tests of a module. Each module skips itself when Playwright or Chromium is missing."""

from __future__ import annotations

import pytest

from chromium import CHROMIUM


@pytest.fixture(scope="module")
def browser():
    from playwright import sync_api

    with sync_api.sync_playwright() as p:
        b = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox", "--disable-gpu"])
        yield b
        b.close()
