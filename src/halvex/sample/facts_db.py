"""A realistic periodic fact database (DuckDB) for the feature builder demo, tests and benchmarks.

``write_sample_db`` writes a DuckDB file with the two tables the feature builder reads:

- ``fact_periodic`` (entity_id, donem, qvr_skor, qvr_kaynak, kombine_risk, risk_degisim,
  ykn_izl_flag): one row per borrower and monthly period (``donem`` as the integer YYYYMM);
- ``dim_entity`` (entity_id, segment, bolge_kodu);

and, beside it, ``cache/diag_features.parquet`` with diagnostic features for part of the
rows. The data has the warts of the upstream pipeline: scores drift in random walks with
rising streaks, borrowers move under close monitoring (score "YI", flag 1) by a hazard
their scores, risks, flags and findings foresee (``_close_monitoring``) and mostly stay
there, some scores are missing or junk ("abc", "", "yi"), some risks are missing, some
borrowers have no ``dim_entity`` row, segments and region codes are sometimes odd, and
some borrowers miss periods. Everything is drawn from a seeded generator, column-wise with
numpy; DuckDB does the string formatting, so millions of rows take seconds.
"""

from __future__ import annotations

import os
import tempfile
from pathlib import Path

import duckdb
import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from halvex.ml.partitions import diagnostic_path
from halvex.pipeline.vitrum import SEGMENTS_LIST

SEGMENTS = tuple(SEGMENTS_LIST)
_SEGMENT_WEIGHTS = (0.12, 0.45, 0.35, 0.08)
# Values seen upstream instead of a segment code; none of them sets an indicator.
_ODD_SEGMENTS = ("KOBİ", "kobi", "KUR_TIC", "")
_JUNK_SCORES = ("abc", "", "yi", "YI ", "n/a")
_ODD_REGIONS = ("X1", "", "7.9")
# The close-monitoring hazard draws from its own stream, np.random.default_rng([seed, 7]).
_YI_STREAM = 7
_DIAG_COLS = (
    "diag_bulgu_sayisi", "diag_katman_cesitlilik", "diag_kriter_cesitlilik",
    "diag_yeni_kriter_sayisi", "diag_kik_bulgu", "diag_rkd_bulgu", "diag_sql_diskalma",
    "diag_memzuc_aktif", "diag_bulgu_3d_toplam", "diag_bulgu_3d_trend",
    "diag_ilk_bulgu_uzaklik", "diag_katman_degisim", "diag_en_agir_katman_kod",
)


def periods(n_periods: int, start_year: int = 2023) -> list[int]:
    """Monthly periods YYYYMM from January of ``start_year``."""
    return [(start_year + m // 12) * 100 + m % 12 + 1 for m in range(n_periods)]


def _fact_columns(rng: np.random.Generator, n_entities: int, n_periods: int, gap_rate: float):
    shape = (n_entities, n_periods)
    # Scores: a random walk around a base, some borrowers on a steady climb.
    base = rng.normal(480, 150, n_entities)
    drift = np.where(rng.random(n_entities) < 0.2, rng.uniform(15, 60, n_entities),
                     rng.normal(0, 8, n_entities))
    steps = rng.normal(0, 35, shape) + drift[:, None]
    score = np.clip(np.round(base[:, None] + np.cumsum(steps, axis=1)), 0, 999).astype(np.int32)

    # Draws of an earlier close-monitoring model, no longer used; still made so that every
    # later draw of the stream, and with it the rest of each seeded sample, stays as it was.
    rng.random(n_entities)
    rng.integers(1, n_periods + 3, n_entities)
    rng.random(n_entities)
    rng.integers(1, 4, n_entities)
    rng.random(shape)
    rng.random(shape)

    cell = rng.random(shape)
    state = np.zeros(shape, np.int8)  # 0 numeric, 1 YI, 2 missing, 3 junk
    state[cell < 0.03] = 2
    state[(cell >= 0.03) & (cell < 0.04)] = 3

    risk_base = np.exp(rng.normal(13.5, 1.4, n_entities))
    risk = np.round(risk_base[:, None] * np.exp(np.cumsum(rng.normal(0, 0.08, shape), axis=1)), 2)
    risk[rng.random(shape) < 0.02] = np.nan
    risk[rng.random(shape) < 0.01] = 0.0

    change = np.round(np.diff(risk, axis=1, prepend=np.nan), 2)

    keep = rng.random(shape) >= gap_rate if gap_rate > 0 else np.ones(shape, bool)
    keep[:, 0] = True  # every borrower has at least its first period
    ent, per = np.nonzero(keep)
    facts = {
        "ent": ent.astype(np.int32),
        "per": per.astype(np.int32),
        "score": score[keep],
        "state": state[keep],  # close monitoring is set later, by _close_monitoring
        "junk": rng.integers(0, len(_JUNK_SCORES), ent.size).astype(np.int8),
        "risk": risk[keep],
        "chg": change[keep],
        "flag": np.zeros(ent.size, np.int32),
        "src": rng.integers(0, 3, ent.size).astype(np.int8),
    }
    return facts, {"score": score, "risk": risk, "keep": keep}


def _entity_columns(rng: np.random.Generator, n_entities: int):
    seg = rng.choice(len(SEGMENTS), n_entities, p=_SEGMENT_WEIGHTS).astype(np.int8)
    odd = rng.random(n_entities)
    seg_state = np.zeros(n_entities, np.int8)  # 0 code, 1 odd text, 2 NULL
    seg_state[odd < 0.02] = 1
    seg_state[(odd >= 0.02) & (odd < 0.03)] = 2
    region = rng.integers(1, 82, n_entities).astype(np.int32)
    reg = rng.random(n_entities)
    reg_state = np.zeros(n_entities, np.int8)  # 0 zero-padded code, 1 odd text, 2 NULL
    reg_state[reg < 0.01] = 1
    reg_state[(reg >= 0.01) & (reg < 0.02)] = 2
    has_row = rng.random(n_entities) >= 0.03  # the rest have no dim_entity row
    ids = np.nonzero(has_row)[0].astype(np.int32)
    return {
        "ent": ids,
        "seg": seg[ids],
        "seg_state": seg_state[ids],
        "odd": rng.integers(0, len(_ODD_SEGMENTS), ids.size).astype(np.int8),
        "region": region[ids],
        "reg_state": reg_state[ids],
        "reg_odd": rng.integers(0, len(_ODD_REGIONS), ids.size).astype(np.int8),
    }


def _sql_list(values) -> str:
    return "[" + ", ".join("'" + v.replace("'", "''") + "'" for v in values) + "]"


def _write_duckdb(path: Path, facts: dict, entities: dict, period_list: list[int]) -> None:
    con = duckdb.connect(str(path))
    try:
        con.register("f", pa.table(facts))
        con.register("e", pa.table(entities))
        per = "[" + ", ".join(str(p) for p in period_list) + "]"
        con.execute(f"""
            CREATE TABLE fact_periodic AS
            SELECT printf('F%07d', ent) AS entity_id,
                   {per}[per + 1]::INTEGER AS donem,
                   CASE state WHEN 0 THEN CAST(score AS VARCHAR)
                              WHEN 1 THEN 'YI'
                              WHEN 3 THEN {_sql_list(_JUNK_SCORES)}[junk + 1]
                   END AS qvr_skor,
                   ['QVR', 'MANUEL', 'MODEL'][src + 1] AS qvr_kaynak,
                   CASE WHEN isnan(risk) THEN NULL ELSE risk END::DOUBLE AS kombine_risk,
                   CASE WHEN isnan(chg) THEN NULL ELSE chg END::DOUBLE AS risk_degisim,
                   flag AS ykn_izl_flag
            FROM f
        """)
        con.execute(f"""
            CREATE TABLE dim_entity AS
            SELECT printf('F%07d', ent) AS entity_id,
                   CASE seg_state WHEN 0 THEN {_sql_list(SEGMENTS)}[seg + 1]
                                  WHEN 1 THEN {_sql_list(_ODD_SEGMENTS)}[odd + 1]
                   END AS segment,
                   CASE reg_state WHEN 0 THEN lpad(CAST(region AS VARCHAR), 2, '0')
                                  WHEN 1 THEN {_sql_list(_ODD_REGIONS)}[reg_odd + 1]
                   END AS bolge_kodu
            FROM e
        """)
        con.execute("CHECKPOINT")
    finally:
        con.close()


def _diag_columns(rng: np.random.Generator, facts: dict, share: float) -> dict:
    """The diagnostic values of the fact rows picked (``pick``: their fact row numbers)."""
    pick = np.nonzero(rng.random(facts["ent"].size) < share)[0]
    n = pick.size
    bulgu = rng.poisson(1.2, n)
    return {
        "pick": pick,
        "diag_bulgu_sayisi": bulgu,
        "diag_katman_cesitlilik": np.minimum(bulgu, rng.integers(0, 4, n)),
        "diag_kriter_cesitlilik": np.minimum(bulgu, rng.integers(0, 6, n)),
        "diag_yeni_kriter_sayisi": rng.poisson(0.3, n),
        "diag_kik_bulgu": rng.poisson(0.5, n),
        "diag_rkd_bulgu": rng.poisson(0.4, n),
        "diag_sql_diskalma": (rng.random(n) < 0.05).astype(np.int64),
        "diag_memzuc_aktif": (rng.random(n) < 0.1).astype(np.int64),
        "diag_bulgu_3d_toplam": bulgu + rng.poisson(2, n),
        # Trend as a float with gaps, as the cache writer leaves it.
        "diag_bulgu_3d_trend": np.where(rng.random(n) < 0.1, np.nan, rng.normal(0, 1.5, n).round(1)),
        "diag_ilk_bulgu_uzaklik": rng.integers(0, 12, n),
        "diag_katman_degisim": rng.integers(-2, 3, n),
        "diag_en_agir_katman_kod": rng.integers(-1, 4, n),
    }


def _diag_table(diag: dict, facts: dict, period_list: list[int]):
    pick = diag["pick"]
    n = pick.size
    ent = facts["ent"][pick]
    donem = np.asarray(period_list, dtype=np.int64)[facts["per"][pick]]
    cols = {
        "entity_id": pa.array(np.char.mod("F%07d", ent)) if n else pa.array([], pa.string()),
        # The cache keeps periods as text; the builder matches keys in text form.
        "donem": pa.array(donem.astype(str)) if n else pa.array([], pa.string()),
        **{name: diag[name] for name in _DIAG_COLS},
        "kaynak": pa.array(np.full(n, "diag_cache")) if n else pa.array([], pa.string()),
    }
    return pa.table(cols)


def _sigmoid(z):
    return 1.0 / (1.0 + np.exp(-z))


def _close_monitoring(rng: np.random.Generator, facts: dict, grid: dict, diag: dict) -> None:
    """Put borrowers under close monitoring ("YI" score, flag 1) by a hazard; sets the
    ``state`` and ``flag`` of ``facts``.

    In each period t from the second on, a borrower not yet under close monitoring enters
    it with probability sigmoid(z), where z adds up what its period t-1 showed (the row
    that should foresee the entry):

    - score level: +1.1 per 150 points above 500;
    - recent rise: +0.9 per 100 points gained over the last three periods (falls count 0);
    - risk change: +4 per unit of log growth of the combined risk (a 10 % rise: +0.38);
    - a close-monitoring flag raised as a warning (about 1-4 % of periods, more often at
      higher scores): +1.5;
    - diagnostic findings: +0.35 per finding, +0.8 for an SQL exclusion, +0.8 for an active
      memzuc follow-up (a period without a diagnostic row has no findings);
    - noise: a per-borrower frailty N(0, 0.6) besides the coin itself;

    from a base of -7.2 (per month about 0.1 % at 500 points, 0.8 % at 825, 3 % at 999,
    before rises, flags and findings). Once in, a borrower mostly stays; a quarter leave
    after 1 to 3 periods. The flag keeps the upstream warts: set a
    period early for 30 % of entries, missing in 3 % of monitored periods. Everything is
    drawn from ``rng``, a stream of its own, so the scores, risks, entities and diagnostic
    rows of a seed do not depend on this model.
    """
    score, risk, keep = grid["score"], grid["risk"], grid["keep"]
    n_entities, n_periods = score.shape
    shape = score.shape
    f32 = np.float32
    # z is built in place in single precision: the grid is as large as the fact table.
    level = (score.astype(f32) - f32(500)) / f32(150)
    warning = rng.random(shape, dtype=f32) < _sigmoid(f32(-4.3) + f32(0.8) * level)
    z = f32(1.1) * level
    del level
    back = np.maximum(np.arange(n_periods) - 3, 0)
    z += np.clip(score - score[:, back], 0, None).astype(f32) * f32(0.009)
    with np.errstate(divide="ignore", invalid="ignore"):
        growth = np.diff(np.log(risk).astype(f32), axis=1, prepend=f32(np.nan))
    np.nan_to_num(growth, copy=False, nan=0.0, posinf=0.0, neginf=0.0)
    z += f32(4.0) * np.clip(growth, -0.5, 0.5, out=growth)
    del growth
    z += f32(1.5) * warning
    pick = diag["pick"]
    z[facts["ent"][pick], facts["per"][pick]] += (0.35 * diag["diag_bulgu_sayisi"]
                                                  + 0.8 * diag["diag_sql_diskalma"]
                                                  + 0.8 * diag["diag_memzuc_aktif"]).astype(f32)
    z += rng.normal(0.0, 0.6, n_entities).astype(f32)[:, None]  # per-borrower frailty
    z -= f32(7.2)
    # Entry in period t follows z of period t-1; nobody enters in the first period.
    enters = np.zeros(shape, bool)
    enters[:, 1:] = rng.random((n_entities, n_periods - 1), dtype=f32) < _sigmoid(z[:, :-1])
    del z
    yi_start = np.where(enters.any(axis=1), enters.argmax(axis=1), n_periods + 99)
    del enters
    leave = rng.random(n_entities) < 0.25
    yi_end = np.where(leave, yi_start + rng.integers(1, 4, n_entities), n_periods + 99)
    col = np.arange(n_periods)[None, :]
    is_yi = (col >= yi_start[:, None]) & (col < yi_end[:, None])

    flag = is_yi | (warning & (col < yi_start[:, None]))
    del warning
    flag[(col == yi_start[:, None] - 1) & (rng.random(shape, dtype=f32) < 0.3)] = True
    flag[is_yi & (rng.random(shape, dtype=f32) < 0.03)] = False

    facts["state"][is_yi[keep]] = 1
    facts["flag"] = flag[keep].astype(np.int32)


def write_sample_db(path, n_entities: int = 2000, n_periods: int = 24, seed: int = 0, *,
                    gap_rate: float = 0.04, diag_share: float = 0.3, with_diag: bool = True) -> Path:
    """Write the sample DuckDB file at ``path`` (replacing it) and its diagnostic cache file.

    ``gap_rate`` is the share of (borrower, period) cells left out (0 gives exactly
    ``n_entities * n_periods`` fact rows); ``diag_share`` the share of fact rows with a
    diagnostic row; ``with_diag=False`` removes any diagnostic file instead. Returns the path.
    """
    if n_entities < 0 or n_periods < 0:
        raise ValueError("n_entities and n_periods must not be negative")
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    period_list = periods(n_periods)
    facts, grid = _fact_columns(rng, n_entities, n_periods, gap_rate)
    entities = _entity_columns(rng, n_entities)
    # Drawn whether or not the file is written: the hazard reads the findings.
    diag = _diag_columns(rng, facts, diag_share)
    _close_monitoring(np.random.default_rng([seed, _YI_STREAM]), facts, grid, diag)
    del grid

    # Written under a temporary name and renamed, so a reader never sees half a database.
    fd, tmp = tempfile.mkstemp(prefix=path.name + ".", suffix=".tmp", dir=path.parent)
    os.close(fd)
    os.unlink(tmp)  # DuckDB creates the file itself
    try:
        _write_duckdb(Path(tmp), facts, entities, period_list)
        os.replace(tmp, path)
    finally:
        for leftover in (tmp, tmp + ".wal"):
            if os.path.exists(leftover):
                os.unlink(leftover)

    diag_path = Path(diagnostic_path(path))
    if with_diag:
        diag_path.parent.mkdir(exist_ok=True)
        tmp_diag = diag_path.with_name(diag_path.name + ".tmp")
        pq.write_table(_diag_table(diag, facts, period_list), tmp_diag)
        os.replace(tmp_diag, diag_path)
    elif diag_path.exists():
        diag_path.unlink()
    return path


def run_features_demo(out_dir, n_entities: int = 2000, n_periods: int = 24, seed: int = 0):
    """Write the sample database under ``out_dir``, build its feature matrix and save it.

    Prints the feature builder's lines and returns the matrix (a pandas DataFrame);
    the matrix goes to ``out_dir/features.parquet``.
    """
    from halvex.ml.features import build_features

    out_dir = Path(out_dir)
    db = write_sample_db(out_dir / "facts.duckdb", n_entities=n_entities, n_periods=n_periods,
                         seed=seed)
    print(f"Özellik demosu: {db}")
    frame = build_features(db)
    target = out_dir / "features.parquet"
    tmp = target.with_name(target.name + ".tmp")
    frame.to_parquet(tmp, index=False)
    os.replace(tmp, target)
    print(f"  Matris: {target}")
    return frame
