"""LightGBM settings of the model: defaults, monotone constraints, the categorical region.

Monotone constraints (risk never falls as the feature rises, the rest held equal), only
where the direction is known from how close monitoring is decided: the current score and
its 3-period maximum, the counts of periods over 500 and 825, the close-monitoring flags
and a "YI" score in the previous period, and the diagnostic finding counts. Everything else
(lags, changes, risk amounts, segments, layer codes) may act either way.

The region code ``bolge_kodu`` is a label, not a quantity (region 34 is not "more" than
region 7), so it is a categorical feature; LightGBM reads codes below 0 as missing. With
some eighty regions, LightGBM's default handling of a categorical feature fits noise: on
data where the region carries no signal it cost 0.015 out-of-time AUC against the same
trees reading the code as a number. Hence strong smoothing: a region enters a split only
with 500 rows behind it, its mean is shrunk towards the whole (``cat_smooth``, ``cat_l2``)
and a split sends at most 8 regions one way.
"""

from __future__ import annotations

from halvex.ml.features import FEATURE_COLS

MONOTONE_INCREASING = (
    "qvr_score", "qvr_max_3", "qvr_above_825_count", "qvr_above_500_count",
    "yi_flag_current", "yi_flag_prev", "yi_flag_count_4", "was_yi_prev",
    "diag_bulgu_sayisi", "diag_yeni_kriter_sayisi", "diag_kik_bulgu", "diag_rkd_bulgu",
    "diag_bulgu_3d_toplam",
)
CATEGORICAL = ("bolge_kodu",)

# Defaults a caller's ``params`` may change.
DEFAULT_PARAMS: dict = {
    "learning_rate": 0.05,
    "num_leaves": 31,
    "min_data_in_leaf": 50,
    "lambda_l2": 1.0,
    "max_bin": 255,
    "min_data_per_group": 500,
    "cat_smooth": 100.0,
    "cat_l2": 100.0,
    "max_cat_threshold": 8,
}
NUM_BOOST_ROUND = 1000
EARLY_STOPPING_ROUNDS = 50
DEFAULT_SEED = 20240101

# Set by the model itself: what it is and what keeps it reproducible.
_FIXED = ("objective", "deterministic", "force_row_wise", "force_col_wise", "seed",
          "num_threads", "monotone_constraints", "categorical_feature", "verbose", "metric")


def monotone_constraints() -> list[int]:
    return [1 if name in MONOTONE_INCREASING else 0 for name in FEATURE_COLS]


def lightgbm_params(params: dict | None, *, threads: int | None, seed: int) -> dict:
    """The full parameter block: defaults, then ``params``, then the fixed settings.
    ValueError when ``params`` tries to set one of the fixed ones."""
    params = dict(params or {})
    fixed = sorted(k for k in params if k in _FIXED)
    if fixed:
        raise ValueError(f"params may not set {', '.join(fixed)}: the model sets them itself "
                         "(use the seed and threads arguments)")
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, int) or threads < 1):
        raise ValueError(f"threads must be a whole number, 1 or more, not {threads!r}")
    return {
        **DEFAULT_PARAMS,
        **params,
        "objective": "binary",
        "metric": "binary_logloss",
        # Same data, parameters and seed give the same trees, for any thread count.
        "deterministic": True,
        "force_row_wise": True,
        "seed": int(seed),
        "num_threads": int(threads or 0),
        "monotone_constraints": monotone_constraints(),
        "verbose": -1,
    }


def chosen_params(full: dict) -> dict:
    """The settings of a full parameter block (a model card's) that a caller may choose:
    ``lightgbm_params(chosen_params(block), ...)`` gives the block again."""
    return {k: v for k, v in full.items() if k not in _FIXED}
