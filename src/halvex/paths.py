"""Where the renderer finds its page templates and chart scripts.

The package ships both folders; ``HALVEX_TEMPLATE_DIR`` and ``HALVEX_JS_DIR`` point the
renderer at other folders (for a customised page or a site-wide copy of the scripts).
"""

from __future__ import annotations

import os
from pathlib import Path

_PACKAGE_DIR = Path(__file__).resolve().parent

TEMPLATE_NAME = "dashboard.html.j2"
TEMPLATE_V300_NAME = "dashboard_v300.html.j2"
# The model report's template is always the package's own (the overrides are for the pages).
MODEL_REPORT_TEMPLATE = _PACKAGE_DIR / "templates" / "model_report.html.j2"


def _template_dir() -> Path:
    override = os.environ.get("HALVEX_TEMPLATE_DIR")
    return Path(override) if override else _PACKAGE_DIR / "templates"


def get_template_path() -> Path:
    """Path of the standard dashboard page template."""
    return _template_dir() / TEMPLATE_NAME


def get_template_v300_path() -> Path:
    """Path of the compressed-chunk dashboard page template."""
    return _template_dir() / TEMPLATE_V300_NAME


def get_js_dir() -> Path:
    """Folder holding ``d3.min.js`` and ``d3-sankey.min.js`` (either may be missing)."""
    override = os.environ.get("HALVEX_JS_DIR")
    return Path(override) if override else _PACKAGE_DIR / "js"
