"""
Dashboard renderer: scoreboard document to a self-contained HTML dashboard.
"""

from collections.abc import Callable, Mapping, Sequence
import os
from typing import Any

from halvex.paths import (
    get_js_dir as get_js_dir,
    get_template_path as get_template_path,
    get_template_v300_path as get_template_v300_path
)


SEGMENTS_LIST: list[str]

SEG_MAP: dict[str, int]

DEFAULT_CHUNK_SIZE: int = 10000

DEFAULT_TOP_N: int = 100

_GRUP_SHORT: dict[str, str]

def _mio(v: object) -> int | float | None:
    """An amount in TL as million TL (None when it is not a number)."""

def _build_bolge_sube_maps(all_rows: Sequence[Mapping[str, Any]], ref_csv_path: str | bytes | os.PathLike[str] | os.PathLike[bytes] | None = None) -> tuple[list[dict[str, Any]], dict[Any, int], list[dict[str, Any]], dict[Any, int]]:
    """
    Region and branch catalogue: (BOLGE_LIST, BOLGE_MAP, SUBE_LIST, SUBE_MAP).
    """

def _row_to_array(row: Mapping[str, Any], donemler: Sequence[Any], risk_donemler: Sequence[Any], BOLGE_MAP: Mapping[Any, int], SUBE_MAP: Mapping[Any, int]) -> list[Any]:
    """One row object as the compact row array of the standard page."""

def _row_to_array_v300(row: Mapping[str, Any], donemler: Sequence[Any], risk_donemler: Sequence[Any]) -> list[Any]:
    """One row object as the compact row array of the compressed-chunk page."""

def _build_trending_html(trending: Mapping[str, Any]) -> str:
    """The trending lists section as self-contained HTML."""

def _slim_diag_index(diag_index: Mapping[str, Any]) -> dict[str, dict[str, str]]:
    """The diagnostic index reduced to group letters."""

def render_html(scoreboard_or_path: Mapping[str, Any] | str | bytes | os.PathLike[str] | os.PathLike[bytes], output_html: str | bytes | os.PathLike[str] | os.PathLike[bytes] | None = None, ref_csv_path: str | bytes | os.PathLike[str] | os.PathLike[bytes] | None = None, trending_path: str | bytes | os.PathLike[str] | os.PathLike[bytes] | None = None, chunk_size: int = 10000, top_n: int = 100, external_link: str = '', row_filter: Callable[[Mapping[str, Any]], object] | None = None, max_size_mb: float = 0.0, extra_data: Mapping[str, Any] | None = None) -> dict[str, Any]:
    """Render the scoreboard as the HTML dashboard page."""

def render_html_v300(json_path: str | bytes | os.PathLike[str] | os.PathLike[bytes], output_html: str | bytes | os.PathLike[str] | os.PathLike[bytes] | None = None, chunk_size: int = 10000, top_n: int = 100, row_filter: Callable[[Mapping[str, Any]], object] | None = None, max_size_mb: float = 0.0) -> dict[str, Any]:
    """
    Render the scoreboard file as the compressed-chunk (gzip+base64) dashboard.
    """

class _AtomicFile:
    """
    A whole file written beside its target and renamed over it on commit() (a pipe or device is written directly). The path is bytes (os.fsencode).
    """

    def __init__(self, path: bytes) -> None: ...

    def write(self, data: bytes) -> int: ...

    def commit(self) -> int: ...

    def discard(self) -> None: ...

    @property
    def target(self) -> bytes: ...

    @property
    def direct(self) -> bool: ...

    @property
    def written(self) -> int: ...
