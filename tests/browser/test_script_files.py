"""The page script's source files and the row slots the renderer hands to it.

The script is kept as plain JavaScript files, joined by the templates in a fixed order; each
file must be valid JavaScript on its own and free of template syntax (the templates include
them as they are). The row slots tell the script where every value sits in a row array.
"""

from __future__ import annotations

import json
import re
import shutil
import subprocess
from pathlib import Path

import pytest

TEMPLATES = Path(__file__).resolve().parents[2] / "src" / "halvex" / "templates"
SCRIPTS = sorted((TEMPLATES / "js").glob("*.js"))
NODE = shutil.which("node") or shutil.which("nodejs")


def _joined_order() -> list[str]:
    text = (TEMPLATES / "_dashboard_script.html").read_text(encoding="utf-8")
    return json.loads(re.search(r"\{% for part in (\[.*?\]) -%\}", text).group(1).replace("'", '"'))


@pytest.mark.skipif(NODE is None, reason="no node (Debian package nodejs)")
@pytest.mark.parametrize("path", SCRIPTS, ids=[p.name for p in SCRIPTS])
def test_each_script_file_is_valid_javascript(path):
    out = subprocess.run([NODE, "--check", str(path)], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr


def test_script_files_hold_no_template_syntax_and_are_all_joined():
    for path in SCRIPTS:
        text = path.read_text(encoding="utf-8")
        for token in ("{{", "{%", "{#"):
            assert token not in text, f"{path.name} holds {token!r}"
        # positions in a row array come from ROW_SLOTS, never from a bare a[4]
        assert not re.search(r"\ba\[\d+\]", text), f"{path.name} reads a row slot by a bare number"
    assert sorted(_joined_order()) == sorted(p.stem for p in SCRIPTS)
    for name in ("dashboard.html.j2", "dashboard_v300.html.j2"):
        assert '{% include "_dashboard_script.html" %}' in (TEMPLATES / name).read_text(encoding="utf-8")


def _expected_slots(layout: str, P: int, R: int) -> dict:
    if layout == "v300":
        return {"layout": "v300", "P": P, "R": R, "muta": 0, "unvan": 1, "segment": 2, "risk": 3, "scores": 4,
                "r": 4 + P, "width": 4 + P + R}
    out = {"layout": "v316", "P": P, "R": R, "muta": 0, "unvan": 1, "segment": 2, "risk": 3, "bolge": 4, "sube": 5,
           "scores": 6, "r": 6 + P, "rd": 6 + P + R, "df": 6 + P + 2 * R}
    for k, key in enumerate(["hizli_yukselen", "rejim_degisimi", "potansiyel_yi", "erken_sinyal", "yakalanan",
                             "kacirilan", "qvr_neden", "ml_yi_prob"]):
        out[key] = 6 + P + 3 * R + k
    out["width"] = 14 + P + 3 * R
    return out


@pytest.mark.parametrize("P,R", [(5, 3), (1, 0), (12, 12)])
def test_row_slots_describe_the_row_arrays(tmp_path, P, R):
    from halvex.pipeline import vitrum
    periods = [f"2025-{m:02d}" for m in range(1, P + 1)]
    doc = {"meta": {"donemler": periods, "risk_donemler": periods[len(periods) - R:] if R else []},
           "rows": [{"muta": 1, "unvan": "A", "segment": "KOBI", "son_risk": 1}]}
    doc_path = tmp_path / "doc.json"
    doc_path.write_text(json.dumps(doc), encoding="utf-8")
    for layout, render in (("v316", vitrum.render_html), ("v300", vitrum.render_html_v300)):
        html_path = tmp_path / f"{layout}.html"
        render(str(doc_path), output_html=str(html_path))
        html = html_path.read_text(encoding="utf-8")
        text = re.search(r"var ROW_SLOTS = (\{[^;]*\});", html).group(1)
        assert "," + " " not in text                                     # compact JSON
        slots = json.loads(text)
        assert list(slots.items()) == list(_expected_slots(layout, P, R).items())
        chunk = re.search(r'id="hx-chunk-0">([^<]*)<', html).group(1)
        if layout == "v316":
            assert len(json.loads(chunk)[0]) == slots["width"]
