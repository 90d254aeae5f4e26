"""Benchmark of ``build_features`` on a generated fact database with its diagnostic file.

    .venv/bin/python benchmarks/bench_features.py [--entities 300000] [--periods 12] [--repeat 3]

Times, in separate runs on the same files:

- ``fetch``: the bare fetch of the fact query into Arrow (connect, query, to_arrow_table, close);
- ``build_features``: the compiled builder, end to end (query, diagnostic merge, features,
  DataFrame), with the time and share of each of its stages (HALVEX_TIMING);
- ``duckdb-sql``: the same columns as one DuckDB query with window functions and the
  diagnostic join, fetched into Arrow;
- ``polars``: the same columns with Polars window expressions (``.over("entity_id")``,
  benchmarks/features_polars.py), when Polars is installed (``make bench-deps``; it is no
  dependency of halvex); ``polars-sorted``: the faster Polars form that uses the sorted rows
  (shifts masked at entity borders instead of windows);
- ``pandas``: the same columns in vectorised pandas (benchmarks/features_pandas.py).

Each contender runs ``--repeat`` times and its fastest run counts (the machine may be
shared); the stage split is that of the fastest ``build_features`` run. The ratios are
printed against the targets. Beside the wall time, each line shows the CPU time of that
run (all threads of the measuring process): on two cores the fetch alone keeps both
busy, so the CPU time says where the rest of a build's time can come from.

Each runs in a fresh subprocess, so its peak resident memory (VmHWM, reset just before
the call, minus the process's size at that moment) is its own. ``--warm-gb G`` makes each
measuring process touch and free G GiB first: on a VM that returns freed pages to the
host, first-touch page faults otherwise cost about 2 ms per MiB and swamp the timings. The
database (gap-free, so exactly entities x periods fact rows, with a diagnostic file for 30%
of the rows) is generated once and reused from --dir; ``--no-diag`` times the same database
without its diagnostic file. ``--baseline DIR`` also times the build_features of another
build of the package (DIR holds a ``halvex`` folder, e.g. copied from site-packages before a
change), so that before and after are measured in one run, beside the same peers.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

_SQL_FEATURES = """
WITH base AS (
    SELECT fp.entity_id, fp.donem, fp.qvr_skor, fp.kombine_risk, fp.ykn_izl_flag,
           de.segment, de.bolge_kodu,
           CASE WHEN CAST(fp.qvr_skor AS VARCHAR) = 'YI' THEN 1000.0
                ELSE TRY_CAST(fp.qvr_skor AS DOUBLE) END AS q,
           CAST(fp.kombine_risk AS DOUBLE) AS risk,
           CAST(fp.qvr_skor AS VARCHAR) = 'YI' AS is_yi,
           CASE WHEN CAST(fp.ykn_izl_flag AS VARCHAR) IN ('1', '1.0') THEN 1 ELSE 0 END AS yi_flag
    FROM fact_periodic fp
    LEFT JOIN dim_entity de ON fp.entity_id = de.entity_id
),
w AS (
    SELECT *,
        lag(q, 1) OVER e AS qvr_lag_1, lag(q, 2) OVER e AS qvr_lag_2, lag(q, 3) OVER e AS qvr_lag_3,
        max(q) OVER w3 AS qvr_max_3, avg(q) OVER w3 AS qvr_mean_3,
        coalesce(stddev_pop(q) OVER w3, 0.0) AS qvr_std_3,
        coalesce(sum(CASE WHEN q >= 825 THEN 1 ELSE 0 END) OVER w4, 0) AS qvr_above_825_count,
        coalesce(sum(CASE WHEN q >= 500 THEN 1 ELSE 0 END) OVER w4, 0) AS qvr_above_500_count,
        coalesce(lag(risk) OVER e, coalesce(risk, 0.0)) AS risk_prev,
        coalesce(lag(yi_flag) OVER e, 0) AS yi_flag_prev,
        sum(yi_flag) OVER w4 AS yi_flag_count_4,
        coalesce(lag(CASE WHEN is_yi THEN 1 ELSE 0 END) OVER e, 0) AS was_yi_prev,
        coalesce(max(CASE WHEN is_yi THEN 1 ELSE 0 END) OVER fut, 0) AS future_yi,
        count(qvr_skor) OVER fut AS future_scored,
        CASE WHEN q > lag(q) OVER e THEN 1 ELSE 0 END AS rising
    FROM base
    WINDOW e AS (PARTITION BY entity_id ORDER BY donem),
           w3 AS (PARTITION BY entity_id ORDER BY donem ROWS BETWEEN 2 PRECEDING AND CURRENT ROW),
           w4 AS (PARTITION BY entity_id ORDER BY donem ROWS BETWEEN 3 PRECEDING AND CURRENT ROW),
           fut AS (PARTITION BY entity_id ORDER BY donem ROWS BETWEEN 1 FOLLOWING AND {h} FOLLOWING)
),
s AS (
    SELECT *, sum(1 - rising) OVER (PARTITION BY entity_id ORDER BY donem
                                    ROWS UNBOUNDED PRECEDING) AS streak_id
    FROM w
),
f AS (
    SELECT *, CASE WHEN rising = 1 THEN row_number() OVER (PARTITION BY entity_id, streak_id
                                                          ORDER BY donem) - 1
                   ELSE 0 END AS qvr_consec_rise
    FROM s
),
diag AS ({diag_source})
SELECT f.entity_id, CAST(f.donem AS VARCHAR) AS donem, q AS qvr_score,
       qvr_lag_1, qvr_lag_2, qvr_lag_3, q - qvr_lag_1 AS qvr_delta_1, q - qvr_lag_3 AS qvr_delta_3,
       qvr_max_3, qvr_mean_3, qvr_std_3, qvr_consec_rise, qvr_above_825_count,
       qvr_above_500_count,
       CASE WHEN q IS NULL THEN -1 WHEN q >= 1000 THEN 3 WHEN q >= 825 THEN 2
            WHEN q >= 500 THEN 1 ELSE 0 END AS qvr_band,
       coalesce(risk, 0.0) AS risk_current, coalesce(risk, 0.0) - risk_prev AS risk_delta_1,
       CASE WHEN risk_prev <> 0 THEN (coalesce(risk, 0.0) - risk_prev) / risk_prev ELSE 0.0 END
           AS risk_delta_pct,
       coalesce(risk, 0.0) / 1000000 AS risk_mio,
       yi_flag AS yi_flag_current, yi_flag_prev, yi_flag_count_4, was_yi_prev,
       CASE WHEN segment = 'ESKK' THEN 1 ELSE 0 END AS seg_ESKK,
       CASE WHEN segment = 'KOBI' THEN 1 ELSE 0 END AS seg_KOBI,
       CASE WHEN segment = 'KUR-TIC' THEN 1 ELSE 0 END AS seg_KUR_TIC,
       CASE WHEN segment = 'MIKRO' THEN 1 ELSE 0 END AS seg_MIKRO,
       coalesce(CAST(trunc(TRY_CAST(bolge_kodu AS DOUBLE)) AS BIGINT), 0) AS bolge_kodu,
       {diag_cols},
       CASE WHEN future_scored = 0 THEN NULL WHEN future_yi = 1 THEN 1.0 ELSE 0.0 END AS label
FROM f
LEFT JOIN diag ON diag.d_entity = f.entity_id AND diag.d_donem = CAST(f.donem AS VARCHAR)
ORDER BY f.entity_id, f.donem
"""

_DIAG_COLS = [
    "diag_bulgu_sayisi", "diag_katman_cesitlilik", "diag_kriter_cesitlilik",
    "diag_yeni_kriter_sayisi", "diag_kik_bulgu", "diag_rkd_bulgu", "diag_sql_diskalma",
    "diag_memzuc_aktif", "diag_bulgu_3d_toplam", "diag_bulgu_3d_trend",
    "diag_ilk_bulgu_uzaklik", "diag_katman_degisim", "diag_en_agir_katman_kod",
]


def sql_features_query(db_path: Path, horizon: int = 3) -> str:
    diag = db_path.parent / "cache" / "diag_features.parquet"
    cols = ",\n       ".join(
        f"CAST(trunc(CASE WHEN {c} IS NULL OR isnan(CAST({c} AS DOUBLE)) "
        f"THEN {-1 if c.endswith('_kod') else 0} ELSE CAST({c} AS DOUBLE) END) AS BIGINT) AS {c}"
        for c in _DIAG_COLS)
    if diag.exists():
        source = ("SELECT CAST(entity_id AS VARCHAR) AS d_entity, CAST(donem AS VARCHAR) AS d_donem, * "
                  "FROM read_parquet('" + str(diag).replace("'", "''") + "')")
    else:  # no file: every diagnostic feature takes its default
        source = ("SELECT NULL::VARCHAR AS d_entity, NULL::VARCHAR AS d_donem, "
                  + ", ".join(f"NULL::DOUBLE AS {c}" for c in _DIAG_COLS) + " WHERE false")
    return _SQL_FEATURES.format(h=horizon, diag_source=source, diag_cols=cols)


# Code run in the measuring subprocess: the call, its wall time and peak memory.
_CHILD = r"""
import json, resource, sys, time
sys.path.insert(0, {bench_dir!r})
kind, db = {kind!r}, {db!r}

def rss_now():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()

import duckdb, pyarrow, pandas, numpy
from halvex.ml.features import build_features, FEATURE_COLS
import features_pandas, bench_features

def reset_peak():
    # Writing 5 to clear_refs resets VmHWM, the peak resident size.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")

def peak_now():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024

warm = {warm_gb!r}
if warm:
    # Touch and free memory first: on a VM that hands pages back to the host,
    # first-touch faults otherwise dominate whichever contender runs cold.
    block = numpy.ones(int(warm * 2**30) // 8)
    del block
def cpu_now():
    r = resource.getrusage(resource.RUSAGE_SELF)  # every thread of the process
    return r.ru_utime + r.ru_stime

before = rss_now()
reset_peak()
c0 = cpu_now()
t0 = time.perf_counter()
if kind == "fetch":
    con = duckdb.connect(db, read_only=True)
    out = con.sql(features_pandas.QUERY).to_arrow_table()
    con.close()
    rows, size = out.num_rows, out.nbytes
elif kind == "build_features":
    import io, contextlib
    with contextlib.redirect_stdout(io.StringIO()):
        out = build_features(db)
    rows, size = len(out), int(out.memory_usage(index=False, deep=True).sum())
elif kind == "pandas":
    import io, contextlib
    with contextlib.redirect_stdout(io.StringIO()):
        out = features_pandas.build_features_pandas(db)
    rows, size = len(out), int(out.memory_usage(index=False, deep=True).sum())
elif kind in ("polars", "polars-sorted"):
    import io, contextlib
    import features_polars
    with contextlib.redirect_stdout(io.StringIO()):
        out = features_polars.build_features_polars(db, windows=kind == "polars")
    rows, size = out.height, int(out.estimated_size())
elif kind == "duckdb-sql":
    from pathlib import Path
    con = duckdb.connect(db, read_only=True)
    out = con.sql(bench_features.sql_features_query(Path(db))).to_arrow_table()
    con.close()
    rows, size = out.num_rows, out.nbytes
seconds = time.perf_counter() - t0
cpu = cpu_now() - c0
peak = peak_now()
print(json.dumps(dict(kind=kind, seconds=seconds, cpu=cpu, rows=rows, size=size, peak=peak - before)))
"""


# Stages the feature job times itself; every other timed stage runs inside "features".
_JOB_STAGES = {"query and fetch", "import facts", "diagnostic file", "features",
               "export", "data frame"}
_TIME_LINE = re.compile(r"^  \[time\] (.{28}) +([0-9.]+) ms$")


def measure(kind: str, db: Path, threads: int | None = None, warm_gb: float = 0.0,
            stages: bool = False, baseline: Path | None = None) -> dict:
    """One measuring subprocess. With ``stages`` (build_features only), the stage times the
    builder reports under HALVEX_TIMING come back as ``stages``: (name, ms) in order. Kind
    ``baseline`` is build_features of the halvex package in the folder ``baseline``."""
    env = dict(os.environ)
    env.pop("HALVEX_TIMING", None)
    if kind == "baseline":
        kind = "build_features"
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(baseline), env.get("PYTHONPATH")]))
    if threads:
        env["HALVEX_THREADS"] = str(threads)
    if stages:
        env["HALVEX_TIMING"] = "1"
    code = _CHILD.format(bench_dir=str(HERE), kind=kind, db=str(db), warm_gb=warm_gb)
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    if res.returncode != 0:
        raise RuntimeError(f"{kind} failed:\n{res.stderr[-3000:]}")
    out = json.loads(res.stdout.strip().splitlines()[-1])
    if stages:
        out["stages"] = [(m.group(1).rstrip(), float(m.group(2)))
                         for m in map(_TIME_LINE.match, res.stderr.splitlines()) if m]
    return out


# The job's stages gathered into the parts the report compares.
_STAGE_GROUPS = [
    ("fetch", {"query and fetch"}),
    ("import", {"import facts"}),
    ("diagnostic read", {"diagnostic file"}),
    ("features", {"normalise and sort", "groups", "flag features", "history features"}),
    ("diag keys", {"  keys as codes", "  keys as text"}),
    ("diag join", {"  join"}),
    ("diag gather", {"  gather"}),
    ("output", {"output"}),
    ("export", {"export", "data frame"}),
]


def print_stages(r: dict) -> None:
    """Each stage's time and share of the whole call; stages within "features" indented. A
    stage's parts are listed above it (each is timed as it ends). Then the same time in the
    parts of _STAGE_GROUPS."""
    total_ms = r["seconds"] * 1000
    for name, ms in r["stages"]:
        depth = 1 if name in _JOB_STAGES else 3 if name.startswith("  ") else 2
        label = "  " * depth + name.strip()
        print(f"{label:34s} {ms:9.1f} ms  {100 * ms / total_ms:5.1f} %")
    times = dict(r["stages"])
    print("\n  share of the call:")
    counted = 0.0
    for group, names in _STAGE_GROUPS:
        ms = sum(times.get(n, 0.0) for n in names)
        counted += ms
        print(f"    {group:18s} {ms:9.1f} ms  {100 * ms / total_ms:5.1f} %")
    rest = total_ms - counted
    print(f"    {'rest (Python)':18s} {rest:9.1f} ms  {100 * rest / total_ms:5.1f} %")


def fastest(kind: str, db: Path, repeat: int, threads: int | None, warm_gb: float,
            stages: bool, baseline: Path | None = None) -> dict:
    """The fastest of ``repeat`` measuring runs, with every run's seconds in ``runs``."""
    runs = [measure(kind, db, threads, warm_gb, stages, baseline) for _ in range(max(1, repeat))]
    best = min(runs, key=lambda r: r["seconds"])
    best["runs"] = [r["seconds"] for r in runs]
    return best


def polars_available() -> bool:
    if not (HERE / "features_polars.py").exists():
        return False
    try:
        import polars  # noqa: F401
    except ImportError:
        return False
    return True


def ensure_db(folder: Path, entities: int, periods: int) -> Path:
    from halvex.sample.facts_db import write_sample_db

    db = folder / f"facts_{entities}x{periods}.duckdb"
    marker = db.with_suffix(".ok")
    if not (db.exists() and marker.exists()):
        t0 = time.perf_counter()
        print(f"generating {entities} x {periods} fact rows in {db} ...", flush=True)
        # One folder per database: the diagnostic file sits beside it.
        write_sample_db(db, n_entities=entities, n_periods=periods, seed=1, gap_rate=0.0,
                        diag_share=0.3)
        marker.write_text("ok\n")
        print(f"  done in {time.perf_counter() - t0:.1f} s", flush=True)
    return db


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--entities", type=int, default=300_000)
    ap.add_argument("--periods", type=int, default=12)
    ap.add_argument("--dir", type=Path, default=Path("bench_out/features"))
    ap.add_argument("--only", nargs="*",
                    default=["fetch", "build_features", "duckdb-sql", "polars", "polars-sorted",
                             "pandas"])
    ap.add_argument("--repeat", type=int, default=3, help="runs per contender; the fastest counts")
    ap.add_argument("--threads", type=int, default=None, help="HALVEX_THREADS for build_features")
    ap.add_argument("--warm-gb", type=float, default=0.0,
                    help="touch and free this many GiB in each measuring process first")
    ap.add_argument("--no-diag", dest="diag", action="store_false",
                    help="time the database without its diagnostic file")
    ap.add_argument("--diag", action="store_true", default=True, help=argparse.SUPPRESS)
    ap.add_argument("--baseline", type=Path, default=None,
                    help="a folder holding another build of the halvex package (e.g. a copy of "
                         "site-packages/halvex from before a change): its build_features is timed "
                         "too, as 'baseline', between the same peers")
    ap.add_argument("--diag-entities", type=int, default=0,
                    help="also report the stage split of a smaller database of this many entities "
                         "with its diagnostic file (0, the default, skips it)")
    args = ap.parse_args(argv)

    folder = args.dir / f"{args.entities}x{args.periods}"
    db = ensure_db(folder, args.entities, args.periods)
    if not args.diag:
        # The same database file without a diagnostic file beside it.
        bare = folder / "nodiag" / db.name
        bare.parent.mkdir(exist_ok=True)
        if not bare.exists():
            os.link(db, bare)
        db = bare
    diag_rows = 0
    if args.diag:
        import pyarrow.parquet as pq
        diag_rows = pq.ParquetFile(db.parent / "cache" / "diag_features.parquet").metadata.num_rows
    print(f"database {db} ({f'with a diagnostic file of {diag_rows} rows' if args.diag else 'without diagnostic file'})"
          f", best of {args.repeat}", flush=True)
    kinds = [k for k in args.only if not k.startswith("polars") or polars_available()]
    if len(kinds) < len(args.only):
        print("polars: skipped, Polars is not installed (make bench-deps installs it)")
    if args.baseline is not None:
        if not (args.baseline / "halvex" / "ml").is_dir():
            ap.error(f"--baseline {args.baseline}: no halvex package in that folder")
        kinds.insert(kinds.index("build_features") if "build_features" in kinds else 0, "baseline")
    results = {}
    for kind in kinds:
        bf = kind in ("build_features", "baseline")
        r = fastest(kind, db, args.repeat, args.threads if bf else None, args.warm_gb, stages=bf,
                    baseline=args.baseline)
        results[kind] = r
        runs = " ".join(f"{x:.2f}" for x in r["runs"])
        print(f"{kind:15s} {r['seconds']:8.2f} s  cpu {r['cpu']:6.2f} s   rows {r['rows']:>10d}   "
              f"result {r['size'] / 2**20:9.1f} MiB   peak +{r['peak'] / 2**20:9.1f} MiB   runs {runs}",
              flush=True)

    base = results.get("baseline")
    if base:
        print(f"\nbaseline build_features ({args.baseline}), {base['rows']} rows: {base['seconds']:.2f} s")
        print_stages(base)
    bf = results.get("build_features")
    if base and bf:
        print(f"\nbaseline / build_features = {base['seconds'] / bf['seconds']:.2f}x")
        for peer in ("duckdb-sql", "polars", "polars-sorted", "pandas"):
            if peer in results:
                print(f"  {peer + ' / baseline':27s} = {results[peer]['seconds'] / base['seconds']:6.1f}x")
        if "fetch" in results:
            print(f"  {'baseline / fetch':27s} = {base['seconds'] / results['fetch']['seconds']:6.2f}x")
    if bf:
        print(f"\nbuild_features, {bf['rows']} rows: {bf['seconds']:.2f} s")
        print_stages(bf)
        print("\ntargets:")
        for peer, target in (("duckdb-sql", 5), ("polars", 7), ("polars-sorted", 7), ("pandas", 20)):
            if peer in results:
                ratio = results[peer]["seconds"] / bf["seconds"]
                print(f"  {peer + ' / build_features':27s} = {ratio:6.1f}x  (>= {target})"
                      f"  {'met' if ratio >= target else 'NOT met'}")
        if "fetch" in results:
            ratio = bf["seconds"] / results["fetch"]["seconds"]
            print(f"  {'build_features / fetch':27s} = {ratio:6.2f}x  (<= 1.8)"
                  f"  {'met' if ratio <= 1.8 else 'NOT met'}")
        print(f"  {'peak memory / matrix size':27s} = {bf['peak'] / bf['size']:6.2f}x  (<= 2.5)")

    if args.diag_entities > 0 and "build_features" in args.only:
        small = ensure_db(args.dir / f"{args.diag_entities}x{args.periods}", args.diag_entities,
                          args.periods)
        r = fastest("build_features", small, args.repeat, args.threads, args.warm_gb, stages=True)
        print(f"\nbuild_features with diagnostic file, {r['rows']} rows: {r['seconds']:.2f} s")
        print_stages(r)
    return 0


if __name__ == "__main__":
    sys.exit(main())
