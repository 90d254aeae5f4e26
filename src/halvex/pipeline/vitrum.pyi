"""Dashboard renderer: scoreboard document to a self-contained HTML dashboard."""

from os import PathLike
from typing import Any, Callable, Mapping, Sequence

_Path = str | bytes | PathLike[str] | PathLike[bytes]
_Row = Mapping[str, Any]

SEGMENTS_LIST: list[str]
SEG_MAP: dict[str, int]
DEFAULT_CHUNK_SIZE: int
DEFAULT_TOP_N: int
_GRUP_SHORT: dict[str, str]

def get_template_path() -> PathLike[str]: ...
def get_template_v300_path() -> PathLike[str]: ...
def get_js_dir() -> PathLike[str]: ...
def _mio(v: Any) -> int | float | None: ...
def _build_bolge_sube_maps(
    all_rows: Sequence[_Row], ref_csv_path: _Path | None = None
) -> tuple[list[dict[str, Any]], dict[Any, int], list[dict[str, Any]], dict[Any, int]]: ...
def _row_to_array(
    row: _Row,
    donemler: Sequence[Any],
    risk_donemler: Sequence[Any],
    BOLGE_MAP: Mapping[Any, int],
    SUBE_MAP: Mapping[Any, int],
) -> list[Any]: ...
def _row_to_array_v300(row: _Row, donemler: Sequence[Any], risk_donemler: Sequence[Any]) -> list[Any]: ...
def _build_trending_html(trending: Mapping[str, Any]) -> str: ...
def _slim_diag_index(diag_index: Mapping[str, Any]) -> dict[str, dict[str, str]]: ...
def render_html(
    scoreboard_or_path: Mapping[str, Any] | _Path,
    output_html: _Path | None = None,
    ref_csv_path: _Path | None = None,
    trending_path: _Path | None = None,
    chunk_size: int = 10000,
    top_n: int = 100,
    external_link: str = "",
    row_filter: Callable[[_Row], Any] | None = None,
    max_size_mb: float = 0.0,
    extra_data: Mapping[str, Any] | None = None,
) -> dict[str, Any]: ...
def render_html_v300(
    json_path: _Path,
    output_html: _Path | None = None,
    chunk_size: int = 10000,
    top_n: int = 100,
    row_filter: Callable[[_Row], Any] | None = None,
    max_size_mb: float = 0.0,
) -> dict[str, Any]: ...
