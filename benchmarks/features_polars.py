"""The feature matrix with Polars lazy and window expressions: a peer for ``build_features``.

Same columns, same rules, written the way a Polars user would: the facts fetched from DuckDB
as Arrow, every history feature a window expression ``.over("entity_id")``, the diagnostic
file scanned lazily and joined on the keys in text form. A second form (``windows=False``)
uses that the rows come sorted by entity: shifts masked where the entity changes, and the
3- and 4-row windows as horizontal sums of such shifts; it is the faster Polars peer. The benchmark times it beside the
compiled builder; a test compares its matrix with the builder's on the sample database.

Polars is a benchmark-only dependency (benchmarks/requirements.txt, ``make bench-deps``).
"""

from __future__ import annotations

import os

import duckdb
import polars as pl

from features_pandas import BASE_OUT, DIAG_FEATURE_COLS, QUERY

_E = "entity_id"
_NOT_A_SEGMENT = ["None", "<NA>", "nan", "NaN"]
_SEGMENTS = (("seg_ESKK", "ESKK"), ("seg_KOBI", "KOBI"), ("seg_KUR_TIC", "KUR-TIC"),
             ("seg_MIKRO", "MIKRO"))


def _default(name: str) -> int:
    return -1 if name == "diag_en_agir_katman_kod" else 0


def _text(name: str, dtype: pl.DataType) -> pl.Expr:
    """Text form: text unchanged, numbers as Python writes them (1, 1.0), missing stays missing."""
    col = pl.col(name)
    if dtype == pl.String:
        return col
    if dtype.is_float():
        # Polars writes whole floats as "1.0" like Python; NaN is missing here.
        return col.fill_nan(None).cast(pl.String)
    return col.cast(pl.String)


def _number(name: str, dtype: pl.DataType) -> pl.Expr:
    """Numeric value: numbers unchanged, text parsed, anything else (NaN too) missing."""
    col = pl.col(name)
    if dtype == pl.String:
        col = col.str.strip_chars().cast(pl.Float64, strict=False)
    else:
        col = col.cast(pl.Float64, strict=False)
    return col.fill_nan(None)


def load(db_path) -> pl.DataFrame:
    con = duckdb.connect(str(db_path), read_only=True)
    try:
        return pl.from_arrow(con.sql(QUERY).to_arrow_table())
    finally:
        con.close()


def _history(fp: pl.LazyFrame, schema: pl.Schema, horizon: int, windows: bool) -> pl.LazyFrame:
    skor = _text("qvr_skor", schema["qvr_skor"])
    is_yi = (skor == "YI").fill_null(False)
    fp = fp.with_columns(
        pl.when(is_yi).then(1000.0).otherwise(_number("qvr_skor", schema["qvr_skor"])).alias("qvr_num"),
        is_yi.alias("_is_yi"),
        pl.col("qvr_skor").is_not_null().alias("_scored"),
        _number("kombine_risk", schema["kombine_risk"]).alias("_risk"),
        _text("ykn_izl_flag", schema["ykn_izl_flag"]).is_in(["1", "1.0"]).fill_null(False)
        .cast(pl.Int64).alias("yi_flag_current"),
    )
    # The query orders the rows already; sorting is then skipped (as the builder does).
    e, d = pl.col(_E), pl.col("donem")
    out_of_order = (e.is_null() & e.shift(-1).is_not_null()) | (e.shift(-1) < e) | (
        (e.shift(-1) == e) & ((d.is_null() & d.shift(-1).is_not_null()) | (d.shift(-1) < d)))
    if fp.select(out_of_order.any()).collect().item():
        fp = fp.sort([_E, "donem"], maintain_order=True, nulls_last=True)

    if windows:
        # Window expressions: each history feature computed within the entity's rows.
        def near(expr: pl.Expr, k: int) -> pl.Expr:
            return expr.shift(k).over(_E)
    else:
        # The frame is sorted by entity: a value k rows away belongs to the same entity when
        # the entity id k rows away is the same, so a shift masked there is the shift within
        # the entity, without grouping the rows again for every expression.
        def near(expr: pl.Expr, k: int) -> pl.Expr:
            return pl.when(pl.col(_E).shift(k) == pl.col(_E)).then(expr.shift(k))

    q = pl.col("qvr_num")
    flag = pl.col("yi_flag_current")
    if windows:
        max3 = q.rolling_max(3, min_samples=1).over(_E)
        mean3 = q.rolling_mean(3, min_samples=1).over(_E)
        std3 = q.rolling_std(3, min_samples=1, ddof=0).over(_E).fill_null(0.0)
        counts = [(q >= t).fill_null(False).cast(pl.Int64).rolling_sum(4, min_samples=1).over(_E)
                  .fill_null(0) for t in (825, 500)]
        flags4 = flag.rolling_sum(4, min_samples=1).over(_E).fill_null(0)
    else:
        last3 = [q, near(q, 1), near(q, 2)]
        n3 = pl.sum_horizontal(x.is_not_null() for x in last3)
        m3 = pl.sum_horizontal(last3) / n3
        max3 = pl.max_horizontal(last3)
        mean3 = pl.when(n3 > 0).then(m3)
        std3 = pl.when(n3 > 0).then((pl.sum_horizontal((x - m3) ** 2 for x in last3) / n3).sqrt()).otherwise(0.0)
        counts = [pl.sum_horizontal((near(q, k) if k else q).ge(t).fill_null(False) for k in range(4))
                  for t in (825, 500)]
        flags4 = pl.sum_horizontal([flag] + [near(flag, k).fill_null(0) for k in (1, 2, 3)])
    fp = fp.with_columns(
        near(q, 1).alias("qvr_lag_1"),
        near(q, 2).alias("qvr_lag_2"),
        near(q, 3).alias("qvr_lag_3"),
        max3.alias("qvr_max_3"),
        mean3.alias("qvr_mean_3"),
        std3.alias("qvr_std_3"),
        (q > near(q, 1)).fill_null(False).alias("_rising"),
        counts[0].cast(pl.Int64).alias("qvr_above_825_count"),
        counts[1].cast(pl.Int64).alias("qvr_above_500_count"),
        pl.when(q.is_null()).then(-1).when(q >= 1000).then(3).when(q >= 825).then(2)
        .when(q >= 500).then(1).otherwise(0).cast(pl.Int64).alias("qvr_band"),
        near(pl.col("_risk"), 1).fill_null(pl.col("_risk").fill_null(0.0)).alias("_risk_prev"),
        near(flag, 1).fill_null(0).alias("yi_flag_prev"),
        flags4.cast(pl.Int64).alias("yi_flag_count_4"),
        near(pl.col("_is_yi").cast(pl.Int64), 1).fill_null(0).alias("was_yi_prev"),
    )

    # Rise streak: rows since the entity's last row that did not rise (an entity's first
    # row never rises, so the last such row is always of the same entity). Counting rows
    # within (entity, streak) windows gives the same, but takes seconds per million rows.
    row = pl.int_range(pl.len(), dtype=pl.Int64)
    since = row - pl.when(~pl.col("_rising")).then(row).forward_fill()
    risk = pl.col("_risk").fill_null(0.0)
    prev = pl.col("_risk_prev")
    seg = _text("segment", schema["segment"])
    seg_valid = pl.col("segment").is_not_null() & ~seg.is_in(_NOT_A_SEGMENT).fill_null(False)
    future_yi = pl.lit(False)
    has_future = pl.lit(False)
    for h in range(1, max(int(horizon), 0) + 1):
        future_yi = future_yi | near(pl.col("_is_yi"), -h).fill_null(False)
        has_future = has_future | near(pl.col("_scored"), -h).fill_null(False)
    return fp.with_columns(
        (q - pl.col("qvr_lag_1")).alias("qvr_delta_1"),
        (q - pl.col("qvr_lag_3")).alias("qvr_delta_3"),
        since.alias("qvr_consec_rise"),
        risk.alias("risk_current"),
        (risk - prev).alias("risk_delta_1"),
        pl.when(prev != 0).then((risk - prev) / prev).otherwise(0.0).alias("risk_delta_pct"),
        (risk / 1000000).alias("risk_mio"),
        *[(seg_valid & (seg == code).fill_null(False)).cast(pl.Int64).alias(name) for name, code in _SEGMENTS],
        _number("bolge_kodu", schema["bolge_kodu"]).fill_null(0.0).cast(pl.Int64).alias("bolge_kodu_clean"),
        pl.when(~has_future).then(None).when(future_yi).then(1.0).otherwise(0.0)
        .cast(pl.Float64).alias("label"),
    )


def _merge_diagnostics(fp: pl.LazyFrame, schema: pl.Schema, db_path) -> tuple[pl.LazyFrame, str]:
    path = os.path.join(os.path.dirname(str(db_path)), "cache", "diag_features.parquet")
    if not os.path.exists(path):
        line = "  [DIAG] diag_features.parquet yok, tüm diag feature'lar 0"
        return fp.with_columns(pl.lit(_default(c), pl.Int64).alias(c) for c in DIAG_FEATURE_COLS), line
    diag = pl.scan_parquet(path)
    dschema = diag.collect_schema()
    present = [c for c in DIAG_FEATURE_COLS if c in dschema]
    diag = diag.select(_text(_E, dschema[_E]).alias("_key"), _text("donem", dschema["donem"]),
                       *present)
    fp = fp.with_columns(_text(_E, schema[_E]).alias("_key"), _text("donem", schema["donem"]))
    fp = fp.join(diag, on=["_key", "donem"], how="left", maintain_order="left_right")
    fills = []
    for c in DIAG_FEATURE_COLS:
        d = _default(c)
        if c not in present:
            fills.append(pl.lit(d, pl.Int64).alias(c))
        elif dschema[c].is_float():
            fills.append(pl.col(c).fill_nan(None).fill_null(d).cast(pl.Int64))
        else:
            fills.append(pl.col(c).fill_null(d).cast(pl.Int64))
    rows = diag.select(pl.len()).collect().item()
    return fp.with_columns(fills), f"  [DIAG] {rows} diag feature satırı merge edildi"


def features_from_frame(facts: pl.DataFrame, db_path, target_horizon: int = 3,
                        windows: bool = True) -> pl.DataFrame:
    if facts.height == 0:
        return pl.DataFrame()
    schema = facts.schema
    fp = _history(facts.lazy(), schema, target_horizon, windows)
    fp, diag_line = _merge_diagnostics(fp, schema, db_path)
    result = (fp.select(BASE_OUT + DIAG_FEATURE_COLS + ["label"])
              .rename({"qvr_num": "qvr_score", "bolge_kodu_clean": "bolge_kodu"})
              .collect())
    counts = result.select(
        pl.col(_E).drop_nulls().n_unique().alias("entities"),
        pl.col("donem").drop_nulls().n_unique().alias("periods"),
        pl.col("label").is_not_null().sum().alias("labeled"),
        (pl.col("label") == 1.0).sum().alias("yi"),
        (pl.col("label") == 0.0).sum().alias("non_yi"),
    ).row(0, named=True)
    print(diag_line)
    print(f"  Features: {result.height} rows, {counts['entities']} entities, {counts['periods']} periods")
    print(f"  Labeled: {counts['labeled']} rows (YI={counts['yi']}, non-YI={counts['non_yi']})")
    return result


def build_features_polars(db_path, target_horizon: int = 3, windows: bool = True) -> pl.DataFrame:
    """The matrix with window expressions (``.over("entity_id")``), or with ``windows=False``
    with shifts masked at entity borders, which the sorted rows allow (several times faster)."""
    return features_from_frame(load(db_path), db_path, target_horizon, windows)
