"""Feature engineering for YI prediction model."""



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

def _diagnostic_path(db_path: object) -> str:
    """
    Where a build looks for the diagnostic file of the database at db_path.
    """

def _build_features_part(db_path: object, target_horizon: object, fact_filter: str, diag_filter: str) -> tuple: ...
