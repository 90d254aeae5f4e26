"""The feature matrix in vectorised pandas: the yardstick for ``build_features``.

Same columns, same rules, written the way a pandas user would (groupby shifts and
rollings). The benchmark times it; a test compares it with the compiled builder on the
sample database.
"""

from __future__ import annotations

import os

import duckdb
import numpy as np
import pandas as pd

QUERY = """
        SELECT
            fp.entity_id, fp.donem,
            fp.qvr_skor, fp.qvr_kaynak,
            fp.kombine_risk, fp.risk_degisim,
            fp.ykn_izl_flag,
            de.segment, de.bolge_kodu
        FROM fact_periodic fp
        LEFT JOIN dim_entity de ON fp.entity_id = de.entity_id
        ORDER BY fp.entity_id, fp.donem
    """

DIAG_FEATURE_COLS = [
    "diag_bulgu_sayisi", "diag_katman_cesitlilik", "diag_kriter_cesitlilik",
    "diag_yeni_kriter_sayisi", "diag_kik_bulgu", "diag_rkd_bulgu", "diag_sql_diskalma",
    "diag_memzuc_aktif", "diag_bulgu_3d_toplam", "diag_bulgu_3d_trend",
    "diag_ilk_bulgu_uzaklik", "diag_katman_degisim", "diag_en_agir_katman_kod",
]
BASE_OUT = [
    "entity_id", "donem", "qvr_num", "qvr_lag_1", "qvr_lag_2", "qvr_lag_3", "qvr_delta_1",
    "qvr_delta_3", "qvr_max_3", "qvr_mean_3", "qvr_std_3", "qvr_consec_rise",
    "qvr_above_825_count", "qvr_above_500_count", "qvr_band", "risk_current", "risk_delta_1",
    "risk_delta_pct", "risk_mio", "yi_flag_current", "yi_flag_prev", "yi_flag_count_4",
    "was_yi_prev", "seg_ESKK", "seg_KOBI", "seg_KUR_TIC", "seg_MIKRO", "bolge_kodu_clean",
]


def _text(s: pd.Series) -> pd.Series:
    """Text form, vectorised: text unchanged, numbers as str() writes them, missing stays missing."""
    if pd.api.types.is_string_dtype(s.dtype):
        return s
    return s.astype(str).where(s.notna())


def load(db_path) -> pd.DataFrame:
    con = duckdb.connect(str(db_path), read_only=True)
    try:
        return con.execute(QUERY).df()
    finally:
        con.close()


def features_from_frame(fp: pd.DataFrame, db_path, target_horizon: int = 3) -> pd.DataFrame:
    if fp.empty:
        return pd.DataFrame()
    skor_text = _text(fp["qvr_skor"])
    is_yi = (skor_text == "YI").fillna(False).astype(bool)
    fp["qvr_num"] = pd.to_numeric(fp["qvr_skor"].where(~is_yi), errors="coerce")
    fp.loc[is_yi, "qvr_num"] = 1000.0
    fp["qvr_num"] = fp["qvr_num"].astype("float64")
    fp = fp.sort_values(["entity_id", "donem"], kind="stable").reset_index(drop=True)
    is_yi = (_text(fp["qvr_skor"]) == "YI").fillna(False).astype(bool)

    g = fp.groupby("entity_id", sort=False)
    q = fp["qvr_num"]
    for k in (1, 2, 3):
        fp[f"qvr_lag_{k}"] = g["qvr_num"].shift(k)
    fp["qvr_delta_1"] = q - fp["qvr_lag_1"]
    fp["qvr_delta_3"] = q - fp["qvr_lag_3"]
    roll = g["qvr_num"].rolling(3, min_periods=1)
    fp["qvr_max_3"] = roll.max().reset_index(level=0, drop=True)
    fp["qvr_mean_3"] = roll.mean().reset_index(level=0, drop=True)
    fp["qvr_std_3"] = roll.std(ddof=0).reset_index(level=0, drop=True).fillna(0.0)

    shifted = fp["qvr_lag_1"]
    rising = (q > shifted) & q.notna() & shifted.notna()
    streak_id = (~rising).astype(int).groupby(fp["entity_id"]).cumsum()
    consec = fp.groupby([fp["entity_id"], streak_id]).cumcount()
    fp["qvr_consec_rise"] = np.where(rising, consec, 0).astype(np.int64)
    for thr in (825, 500):
        above = (q >= thr).astype(float)
        fp[f"qvr_above_{thr}_count"] = (above.groupby(fp["entity_id"]).rolling(4, min_periods=1).sum()
                                        .reset_index(level=0, drop=True).fillna(0).astype(np.int64))
    fp["qvr_band"] = np.select([q.isna(), q >= 1000, q >= 825, q >= 500], [-1, 3, 2, 1], 0).astype(np.int64)

    risk = fp["kombine_risk"].astype(float)
    filled = risk.fillna(0)
    prev = risk.groupby(fp["entity_id"]).shift(1).fillna(filled)
    fp["risk_current"] = filled
    fp["risk_delta_1"] = filled - prev
    fp["risk_delta_pct"] = np.where(prev != 0, fp["risk_delta_1"] / prev.where(prev != 0, 1), 0.0)
    fp["risk_mio"] = filled / 1000000

    yi_str = _text(fp["ykn_izl_flag"])
    yi_flag = yi_str.isin(["1", "1.0"]).astype(np.int64)
    fp["yi_flag_current"] = yi_flag
    fp["yi_flag_prev"] = yi_flag.groupby(fp["entity_id"]).shift(1).fillna(0).astype(np.int64)
    fp["yi_flag_count_4"] = (yi_flag.groupby(fp["entity_id"]).rolling(4, min_periods=1).sum()
                             .reset_index(level=0, drop=True).fillna(0).astype(np.int64))
    is_yi_int = is_yi.astype(np.int64)
    fp["was_yi_prev"] = is_yi_int.groupby(fp["entity_id"]).shift(1).fillna(0).astype(np.int64)

    seg_str = _text(fp["segment"])
    seg_valid = fp["segment"].notna() & ~seg_str.isin(["None", "<NA>", "nan", "NaN"])
    for col, code in (("seg_ESKK", "ESKK"), ("seg_KOBI", "KOBI"), ("seg_KUR_TIC", "KUR-TIC"),
                      ("seg_MIKRO", "MIKRO")):
        fp[col] = (seg_valid & (seg_str == code)).astype(np.int64)
    fp["bolge_kodu_clean"] = pd.to_numeric(fp["bolge_kodu"], errors="coerce").fillna(0).astype(np.int64)

    future_yi = pd.Series(False, index=fp.index)
    has_future = pd.Series(False, index=fp.index)
    present = fp["qvr_skor"].notna()
    for h in range(1, max(int(target_horizon), 0) + 1):
        future_yi |= is_yi.groupby(fp["entity_id"]).shift(-h).fillna(False).astype(bool)
        has_future |= present.groupby(fp["entity_id"]).shift(-h).fillna(False).astype(bool)
    fp["label"] = np.where(future_yi, 1.0, 0.0)
    fp.loc[~has_future, "label"] = np.nan

    diag_path = os.path.join(os.path.dirname(str(db_path)), "cache", "diag_features.parquet")
    defaults = {c: (-1 if c == "diag_en_agir_katman_kod" else 0) for c in DIAG_FEATURE_COLS}
    if not os.path.exists(diag_path):
        for c in DIAG_FEATURE_COLS:
            fp[c] = defaults[c]
        print("  [DIAG] diag_features.parquet yok, tüm diag feature'lar 0")
    else:
        diag = pd.read_parquet(diag_path)
        diag["entity_id"] = _text(diag["entity_id"])
        diag["donem"] = _text(diag["donem"])
        fp["donem"] = _text(fp["donem"])
        keep = ["entity_id", "donem"] + [c for c in DIAG_FEATURE_COLS if c in diag.columns]
        fp = fp.merge(diag[keep], on=["entity_id", "donem"], how="left")
        for c in DIAG_FEATURE_COLS:
            if c in fp.columns:
                fp[c] = fp[c].fillna(defaults[c]).astype(np.int64)
            else:
                fp[c] = defaults[c]
        print(f"  [DIAG] {len(diag)} diag feature satırı merge edildi")

    result = fp[BASE_OUT + DIAG_FEATURE_COLS + ["label"]].copy()
    result = result.rename(columns={"qvr_num": "qvr_score", "bolge_kodu_clean": "bolge_kodu"})
    print(f"  Features: {len(result)} rows, {result['entity_id'].nunique()} entities, "
          f"{result['donem'].nunique()} periods")
    labeled = result[result["label"].notna()]
    print(f"  Labeled: {len(labeled)} rows (YI={int(labeled['label'].sum())}, "
          f"non-YI={int((labeled['label'] == 0).sum())})")
    return result


def build_features_pandas(db_path, target_horizon: int = 3) -> pd.DataFrame:
    return features_from_frame(load(db_path), db_path, target_horizon)
