"""The scoreboard document built from the periodic facts."""

from collections.abc import Sequence


BANDS: tuple = ('EUS', 'YIS', 'YUKSEK', 'YI', 'YOK')

YIS_THRESHOLD: int = 500

HIGH_THRESHOLD: int = 825

def build_document(db_path: str, out_path: str | None, risk_periods: int, title: str, generated_at: str, rd_column: str, alert_threshold: float | None, model_id: str, model_trained_at: str, sql_admin_only: bool, model: tuple[Sequence[str], Sequence[float], Sequence[int], Sequence[int], Sequence[int]] | None, sections: Sequence[tuple[str, str]], meta_extra: Sequence[tuple[str, str]] = []) -> object:
    """
    The document's JSON text (with out_path None), or what was written to out_path: rows,
    periods, latest (period) and bytes.

    model: None or (keys, prob, alerted, caught, missed), lists of one length; sections:
    (name, JSON text) pairs appended to the document; meta_extra: (name, JSON text) pairs
    appended to its meta. See halvex.scoreboard.build_scoreboard.
    """
