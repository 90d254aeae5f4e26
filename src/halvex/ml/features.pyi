"""Feature engineering for YI prediction model."""

import os


DIAG_FEATURE_COLS: list[str]

FEATURE_COLS: list[str]

FEATURE_LABELS: dict[str, str]

def build_features(db_path, target_horizon=3):
    """
    Build feature matrix from fact_periodic (vectorized).

    Loads the periodic facts from the DuckDB file at ``db_path`` (opened read-only), adds score
    history, risk movement, flag history, segment indicators, region code, the diagnostic
    features of ``cache/diag_features.parquet`` beside the database (defaults when absent) and
    the label: whether the score is "YI" within the next ``target_horizon`` periods of the
    entity. Returns a pandas DataFrame with the 42 columns entity_id, donem, FEATURE_COLS,
    label; an empty DataFrame when there are no facts.

    Score bands (qvr_band): -1 missing, 0 EUS (<500), 1 YIS (500-824), 2 HIGH (825+), 3 YI.
    """

class _FeatureSummary:
    """The figures of a build's summary lines."""

    def __init__(self) -> None: ...

    @property
    def diag_file(self) -> bool: ...

    @diag_file.setter
    def diag_file(self, arg: bool, /) -> None: ...

    @property
    def diag_rows(self) -> int: ...

    @diag_rows.setter
    def diag_rows(self, arg: int, /) -> None: ...

    @property
    def rows(self) -> int: ...

    @rows.setter
    def rows(self, arg: int, /) -> None: ...

    @property
    def entities(self) -> int: ...

    @entities.setter
    def entities(self, arg: int, /) -> None: ...

    @property
    def periods(self) -> int: ...

    @periods.setter
    def periods(self, arg: int, /) -> None: ...

    @property
    def labeled(self) -> int: ...

    @labeled.setter
    def labeled(self, arg: int, /) -> None: ...

    @property
    def yi(self) -> int: ...

    @yi.setter
    def yi(self, arg: int, /) -> None: ...

    @property
    def non_yi(self) -> int: ...

    @non_yi.setter
    def non_yi(self, arg: int, /) -> None: ...

    def lines(self) -> list[str]:
        """The lines a build prints."""

def _diagnostic_path(db_path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> str:
    """
    Where a build looks for the diagnostic file of the database at db_path.
    """

def _build_features_part(db_path: str | bytes | os.PathLike[str] | os.PathLike[bytes], target_horizon: int, fact_filter: str, diag_filter: str) -> tuple:
    """A build of the entities that pass the filters, and its summary."""
