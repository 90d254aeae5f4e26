"""The columns a model reads: the feature matrix of ``build_features``, checked by name."""

from __future__ import annotations

import numpy as np
import pandas as pd

from halvex.ml.features import FEATURE_COLS

KEYS = ("entity_id", "donem")
LABEL = "label"


def check_columns(matrix: pd.DataFrame, *, need_label: bool) -> None:
    """ValueError unless ``matrix`` holds exactly the keys, ``FEATURE_COLS`` and (when
    ``need_label``, else optionally) ``label``, with numeric features."""
    if not isinstance(matrix, pd.DataFrame):
        raise TypeError(f"the feature matrix must be a pandas DataFrame, not {type(matrix).__name__}")
    columns = [str(c) for c in matrix.columns]
    allowed = set(KEYS) | set(FEATURE_COLS) | {LABEL}
    missing = [c for c in (*KEYS, *FEATURE_COLS) if c not in columns]
    if need_label and LABEL not in columns:
        missing.append(LABEL)
    extra = [c for c in columns if c not in allowed]
    if missing or extra:
        parts = []
        if missing:
            parts.append(f"missing {', '.join(missing)}")
        if extra:
            parts.append(f"unknown {', '.join(extra)}")
        raise ValueError("the matrix's columns differ from the model's feature list ("
                         + "; ".join(parts) + "): build it with halvex.ml.features.build_features")
    if len(set(columns)) != len(columns):
        raise ValueError("the matrix has columns of the same name twice")
    wrong = [c for c in FEATURE_COLS if not (pd.api.types.is_numeric_dtype(matrix[c])
                                             or pd.api.types.is_bool_dtype(matrix[c]))]
    if need_label or LABEL in columns:
        if not pd.api.types.is_numeric_dtype(matrix[LABEL]):
            wrong.append(LABEL)
    if wrong:
        raise ValueError(f"non-numeric feature columns: {', '.join(wrong)}")


def feature_array(frame: pd.DataFrame) -> np.ndarray:
    """The features as a float64 array in ``FEATURE_COLS`` order (NaN = missing)."""
    features = frame[FEATURE_COLS]
    # NumPy columns hold NaN already; asking pandas for na_value anyway costs a slow path.
    if all(isinstance(t, np.dtype) for t in features.dtypes):
        return features.to_numpy(dtype=np.float64)
    return features.to_numpy(dtype=np.float64, na_value=np.nan)
