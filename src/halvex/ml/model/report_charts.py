"""Line charts of the model report as inline SVG: drawn here, so the page needs no script,
no font and no file of its own. Each chart carries a title and a description for screen
readers; the same figures stand in a table beside it."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Sequence

from markupsafe import Markup, escape

WIDTH, HEIGHT = 420, 320
# Room for the tick labels and axis titles around the plot.
LEFT, RIGHT, TOP, BOTTOM = 62, 16, 12, 54
TICKS = 5
# Colours on white: text and the main series at 4.5:1 or more, the rest at 3:1 or more.
INK = "#1f2d3a"
GRID = "#d5dbe1"
MAIN = "#1d5fa8"
OTHER = "#7d8a97"
REFERENCE = "#8a5a00"


@dataclass
class Series:
    """One line: its name (the legend's text) and its points; ``kind`` picks the look:
    "main" (bold), "other" (thin grey, many of them), "reference" (dashed)."""
    name: str
    xs: Sequence[float]
    ys: Sequence[float]
    kind: str = "main"
    markers: bool = False


@dataclass
class Chart:
    ident: str
    title: str
    description: str
    x_label: str
    y_label: str
    x_range: tuple[float, float] = (0.0, 1.0)
    y_range: tuple[float, float] = (0.0, 1.0)
    series: list[Series] = field(default_factory=list)


def nice_ceiling(value: float) -> float:
    """The smallest of 1, 2, 2.5 or 5 times a power of ten at or above ``value`` (> 0)."""
    if not value > 0 or not math.isfinite(value):
        return 1.0
    power = 10 ** math.floor(math.log10(value))
    for step in (1, 2, 2.5, 5, 10):
        if step * power >= value * (1 - 1e-12):
            return step * power
    return 10 * power


def _points(values: Sequence[float], what: str) -> list[float]:
    out = [float(v) for v in values]
    if not all(math.isfinite(v) for v in out):
        raise ValueError(f"{what} holds a missing or infinite value")
    return out


def _tick_text(value: float) -> str:
    return f"{round(value, 6):g}"


def render(chart: Chart) -> Markup:
    """The chart as an ``<svg>`` element (role img, titled and described)."""
    (x0, x1), (y0, y1) = chart.x_range, chart.y_range
    if not (x1 > x0 and y1 > y0):
        raise ValueError(f"{chart.title}: empty axis range")
    pw, ph = WIDTH - LEFT - RIGHT, HEIGHT - TOP - BOTTOM

    # Points beyond the axes are cut by the plot's clip path; bounded so the numbers stay short.
    def px(x: float) -> float:
        return LEFT + (min(max(x, x0 - (x1 - x0)), x1 + (x1 - x0)) - x0) / (x1 - x0) * pw

    def py(y: float) -> float:
        return TOP + ph - (min(max(y, y0 - (y1 - y0)), y1 + (y1 - y0)) - y0) / (y1 - y0) * ph

    ident = escape(chart.ident)
    parts = [f'<svg class="chart" viewBox="0 0 {WIDTH} {HEIGHT}" role="img" '
             f'aria-labelledby="{ident}-t {ident}-d" xmlns="http://www.w3.org/2000/svg">',
             f'<title id="{ident}-t">{escape(chart.title)}</title>',
             f'<desc id="{ident}-d">{escape(chart.description)}</desc>',
             f'<defs><clipPath id="{ident}-clip"><rect x="{LEFT}" y="{TOP}" width="{pw}" '
             f'height="{ph}"/></clipPath></defs>',
             '<g aria-hidden="true">']
    for i in range(TICKS + 1):
        tx = x0 + (x1 - x0) * i / TICKS
        ty = y0 + (y1 - y0) * i / TICKS
        parts.append(f'<line x1="{px(tx):.1f}" y1="{TOP}" x2="{px(tx):.1f}" y2="{TOP + ph}" '
                     f'stroke="{GRID}" stroke-width="1"/>')
        parts.append(f'<line x1="{LEFT}" y1="{py(ty):.1f}" x2="{LEFT + pw}" y2="{py(ty):.1f}" '
                     f'stroke="{GRID}" stroke-width="1"/>')
        parts.append(f'<text x="{px(tx):.1f}" y="{TOP + ph + 18}" text-anchor="middle" '
                     f'font-size="13" fill="{INK}">{_tick_text(tx)}</text>')
        parts.append(f'<text x="{LEFT - 6}" y="{py(ty) + 4:.1f}" text-anchor="end" '
                     f'font-size="13" fill="{INK}">{_tick_text(ty)}</text>')
    parts.append(f'<rect x="{LEFT}" y="{TOP}" width="{pw}" height="{ph}" fill="none" '
                 f'stroke="{INK}" stroke-width="1"/>')
    parts.append(f'<text x="{LEFT + pw / 2:.1f}" y="{HEIGHT - 8}" text-anchor="middle" '
                 f'font-size="14" fill="{INK}">{escape(chart.x_label)}</text>')
    parts.append(f'<text transform="translate(16 {TOP + ph / 2:.1f}) rotate(-90)" '
                 f'text-anchor="middle" font-size="14" fill="{INK}">{escape(chart.y_label)}</text>')
    # Thin lines first, so the main one stays on top.
    order = {"other": 0, "reference": 1, "main": 2}
    parts.append(f'<g clip-path="url(#{ident}-clip)">')
    for s in sorted(chart.series, key=lambda s: order.get(s.kind, 2)):
        xs, ys = _points(s.xs, s.name), _points(s.ys, s.name)
        if len(xs) != len(ys):
            raise ValueError(f"{s.name}: {len(xs)} x values and {len(ys)} y values")
        if not xs:
            continue
        path = " ".join(f"{px(x):.1f},{py(y):.1f}" for x, y in zip(xs, ys))
        colour, width, dash = {"main": (MAIN, 2.5, ""), "other": (OTHER, 1, ""),
                               "reference": (REFERENCE, 1.5, ' stroke-dasharray="5 4"')}[s.kind]
        parts.append(f'<polyline points="{path}" fill="none" stroke="{colour}" '
                     f'stroke-width="{width}" stroke-linejoin="round"{dash}/>')
        if s.markers:
            parts.extend(f'<circle cx="{px(x):.1f}" cy="{py(y):.1f}" r="3.5" fill="{colour}"/>'
                         for x, y in zip(xs, ys))
    parts.append("</g></g></svg>")
    return Markup("".join(parts))


def legend(chart: Chart) -> list[dict]:
    """The distinct looks of the chart's series, for the legend under it."""
    seen, out = set(), []
    for s in chart.series:
        key = s.kind if s.kind == "other" else (s.kind, s.name)
        if key in seen:
            continue
        seen.add(key)
        out.append({"kind": s.kind, "name": s.name})
    return out
