"""One night: facts -> features -> model (back-test and tonight's model, or a frozen one) ->
predictions of the latest period -> scoreboard document -> pages -> model report, into a
run folder published whole (README: The nightly run)."""

from __future__ import annotations

import contextlib
import io
import json
import os
import shutil
import time
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Callable

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from halvex._output import atomic_output, refuse_input, write_text
from halvex.nightly import gates as gt
from halvex.nightly import marks
from halvex.nightly.manifest import file_fingerprint, versions
from halvex.nightly.pages import REPORT_PAGE, model_report, render_pages
from halvex.nightly.run_folder import MANIFEST, Staging, check_out, folder_name, previous_manifest

DEFAULT_HORIZON = 3
DEFAULT_ORIGINS = 6
MANIFEST_FORMAT = 1
NOT_VALIDATED = "model trained on this run, not validated"
NO_BACKTEST = "no back-test was run (origins 0): no caught / missed marks"
# The same on the pages, among the run's warnings.
NO_BACKTEST_TR = "Geri test yapılmadı: yakalanan / kaçırılan işaretleri yok."
# Stable names inside a run folder (the pages': halvex.nightly.pages).
DOCUMENT = "json/scoreboard.json"
MODEL_DIR = "model"
BACKTEST_DIR = "backtest"
PREDICTIONS = "predictions.parquet"


@dataclass
class RunResult:
    """What a run published: its folder, the manifest written there, and the summary."""
    folder: str
    manifest: dict
    summary: list[str] = field(default_factory=list)


class _Stages:
    """Each stage's time and row count, and its name to whoever shows progress."""

    def __init__(self, progress: Callable[[str], None] | None):
        self.done: list[dict] = []
        self._progress = progress

    @contextlib.contextmanager
    def stage(self, name: str):
        if self._progress is not None:
            self._progress(name)
        entry = {"stage": name, "seconds": 0.0, "rows": None}
        started = time.perf_counter()
        yield entry
        entry["seconds"] = round(time.perf_counter() - started, 3)
        self.done.append(entry)


def _diagnostics_fingerprint(db: str) -> dict | None:
    """The diagnostic file (or folder of files) the feature build reads beside the database."""
    from halvex.ml.partitions import diagnostic_path

    path = diagnostic_path(os.path.abspath(db))
    if os.path.isdir(path):
        return {name: file_fingerprint(os.path.join(path, name))
                for name in sorted(os.listdir(path)) if name.endswith(".parquet")}
    return file_fingerprint(path)


def _latest_rows(matrix):
    from halvex.ml.model.periods import period_codes

    periods, codes = period_codes(matrix["donem"])
    latest = periods[-1]
    return latest.item() if isinstance(latest, np.generic) else latest, matrix.loc[codes == len(periods) - 1]


def _frozen_stability(model, matrix, period, latest_rows) -> dict | None:
    """Score and feature PSI of a frozen model: the rows of its training periods in tonight's
    data against the latest period's candidates (samples of both, as a trained model's card
    has them); None when the data no longer holds them."""
    from halvex.ml.model.population import is_candidate
    from halvex.ml.model.review import evenly_spaced, stability_block
    from halvex.ml.model.schema import feature_array

    train_periods = list(model.card["split"]["train_periods"])
    then = matrix.loc[matrix["donem"].astype(str).isin({str(p) for p in train_periods})
                      & is_candidate(matrix)]
    now = latest_rows.loc[is_candidate(latest_rows)]
    then = then.iloc[evenly_spaced(len(then))]
    now_sample = now.iloc[evenly_spaced(len(now))]
    block = stability_block(period, then, model.raw_score(feature_array(then)) if len(then) else None,
                            now_sample, model.raw_score(feature_array(now_sample)) if len(now) else None,
                            now_rows=len(now))
    return None if block is None else {**block, "train_periods": train_periods}


def _alert_rule(card: dict) -> dict:
    """``backtest``'s alert arguments by the rule the model's card names (its own back-test's)."""
    rule = (card.get("backtest") or {}).get("alert_rule") or {}
    out = {}
    if rule.get("share") is not None:
        out["alert_share"] = float(rule["share"])
    if rule.get("multiple") is not None:
        out["alert_multiple"] = float(rule["multiple"])
    return out


def _write_parquet(frame, path: str) -> None:
    table = pa.Table.from_pandas(frame, preserve_index=False)
    with atomic_output(path, "wb") as fh:
        pq.write_table(table, fh)


def _auc_pair(model, summary: dict | None) -> dict:
    """The model's AUC beside the current score's alone: the back-test's overall figures,
    else those of the card (a frozen model's own back-test or validation)."""
    if summary is not None:
        o = summary["overall"]
        return {"source": "backtest", "model": o.get("auc"), "score_alone": o.get("score_alone_auc")}
    bt = model.card.get("backtest") or {}
    if bt.get("auc") is not None:
        return {"source": "model card: back-test", "model": bt["auc"], "score_alone": bt.get("score_alone_auc")}
    v = model.card.get("validation") or {}
    return {"source": "model card: validation", "model": v.get("auc"), "score_alone": v.get("score_alone_auc")}


def run_night(db, out, *, model_dir=None, strict: bool = False, horizon: int | None = None,
              origins: int = DEFAULT_ORIGINS, max_borrower_drop: float = gt.DEFAULT_MAX_BORROWER_DROP,
              rd_column: str | None = None, risk_periods: int | None = None, title: str | None = None,
              top_n: int | None = None, keep_first: bool = False,
              progress: Callable[[str], None] | None = None) -> RunResult:
    """Runs the night on the DuckDB facts at ``db`` and publishes OUT/<latest period>/.

    Without ``model_dir`` the model is back-tested over ``origins`` origins and tonight's
    model trained on every labelled row (marked as not validated); with it, the saved model
    scores the data (its card must fit: feature list, and ``horizon`` when given) and the
    back-test trains its recipe (the card's settings) at each origin. ``origins`` 0 runs no
    back-test. Raises
    GateFailure under ``strict`` when a gate fails; ValueError / OSError for bad input. On
    any failure the earlier run folders and OUT/latest stay as they were.
    """
    from halvex.ml.fact_snapshot import build_features_from_facts, read_facts
    from halvex.ml.partitions import diagnostic_path
    from halvex.ml.model import Model, train
    from halvex.ml.model import backtest as run_backtest
    from halvex.ml.model.train import settings_of
    from halvex.ml.model.backtest import prediction_entries
    from halvex.ml.model.model import DEFAULT_REASONS_TOP_N
    from halvex.ml.model.population import drop_repeated
    from halvex.scoreboard import DEFAULT_RISK_PERIODS, DEFAULT_TITLE, build_scoreboard

    db = os.fspath(db)
    if not os.path.isfile(db):
        raise FileNotFoundError(f"no database file at {db}")
    out = check_out(out)
    inputs = {"the database": db, "the diagnostic file": diagnostic_path(db)}
    if model_dir is not None:
        inputs["the model folder"] = model_dir
    refuse_input(out, inputs)
    top_n = DEFAULT_REASONS_TOP_N if top_n is None else top_n
    if isinstance(origins, bool) or not isinstance(origins, int) or origins < 0:
        raise ValueError(f"origins must be a whole number, 0 or more, not {origins!r}")
    if not 0 <= max_borrower_drop <= 1:
        raise ValueError(f"the borrower drop must be a share from 0 to 1, not {max_borrower_drop}")

    # A frozen model first: a damaged or foreign one costs no feature build.
    model = None
    if model_dir is not None:
        model = Model.load(model_dir)
        if horizon is not None and horizon != model.horizon:
            raise ValueError(f"{model_dir}: the model was trained for horizon {model.horizon}, not {horizon}")
        horizon = model.horizon
    horizon = DEFAULT_HORIZON if horizon is None else horizon

    stages = _Stages(progress)
    started_at = datetime.now(timezone.utc)
    previous = previous_manifest(out)
    with stages.stage("reading facts") as s:
        fingerprint = file_fingerprint(db)
        facts = read_facts(db, rd_column=rd_column)
        s["rows"] = facts.rows
    if facts.rows == 0:
        raise ValueError(f"{db}: no facts to build features from")
    with stages.stage("building features") as s:
        said = io.StringIO()
        with contextlib.redirect_stdout(said):
            matrix = build_features_from_facts(facts, horizon)
        try:
            matrix = drop_repeated(matrix, "first" if keep_first else None)
        except ValueError as exc:
            raise ValueError(str(exc).replace("pass keep='first'", "pass --keep-first")) from None
        s["rows"] = len(matrix)
    period, latest_rows = _latest_rows(matrix)
    borrowers = int(latest_rows["entity_id"].nunique())

    before = previous or {}
    gates = [gt.period_gate(period, before.get("period")),
             gt.borrower_gate(borrowers, before.get("borrowers"), max_borrower_drop)]
    failed = [g for g in gates if not g.passed]
    if strict and failed:
        raise gt.GateFailure(failed)

    staging = Staging(out, folder_name(period))
    where = staging.path
    try:
        summary = firma = None
        trained_here = model is None
        if trained_here and origins:
            with stages.stage("back-testing and training tonight's model") as s:
                bt = run_backtest(matrix, horizon=horizon, origins=origins, top_n=0)
                model, summary, firma = bt.model, bt.backtest_summary, bt.backtest_firma
                s["rows"] = summary["overall"]["rows"]
                bt.save(os.path.join(where, BACKTEST_DIR))
                model.save(os.path.join(where, MODEL_DIR))
        elif trained_here:
            with stages.stage("training tonight's model") as s:
                model = train(matrix, horizon)
                s["rows"] = model.card["data"]["train"]["rows"]
                model.save(os.path.join(where, MODEL_DIR))
        else:
            with stages.stage("copying the model"):
                shutil.copytree(model_dir, os.path.join(where, MODEL_DIR))
            if origins:
                # Its recipe at each origin: no origin's model sees a label after it.
                with stages.stage("back-testing the model's settings") as s:
                    bt = run_backtest(matrix, origins=origins, top_n=0, latest_model=False,
                                      **settings_of(model.card), **_alert_rule(model.card))
                    summary, firma = bt.backtest_summary, bt.backtest_firma
                    s["rows"] = summary["overall"]["rows"]
        psi = (model.card.get("stability") or {}).get("score_psi") if trained_here else None

        with stages.stage("scoring the latest period") as s:
            scored = model.predict(latest_rows, reasons_top_n=top_n)
            share = marks.alert_share(model.card)
            is_alerted = marks.alerted(scored, share)
            scored["alerted"] = is_alerted
            _write_parquet(scored, os.path.join(where, PREDICTIONS))
            predictions = prediction_entries(scored, top_n)
            s["rows"] = len(scored)
            if not trained_here:
                stability = _frozen_stability(model, matrix, period, latest_rows)
                psi = stability and stability["score_psi"]
                if summary is not None:
                    # The report's stability table describes the model that scored tonight.
                    summary["latest"] = stability
                    bt.save(os.path.join(where, BACKTEST_DIR))
        gates = gates + [gt.score_psi_gate(psi)]
        failed = [g for g in gates if not g.passed]
        if strict and failed:
            raise gt.GateFailure(failed)

        alerts = int(is_alerted.sum())
        threshold = float(scored["prob"][is_alerted].min()) if alerts else None
        origin, outcomes = marks.latest_origin_outcomes(summary, firma)
        run_info = model.run or {}
        model_note = NOT_VALIDATED if trained_here else None
        meta_extra = {"model_kaynagi": "bu_calistirma" if trained_here else "dondurulmus",
                      "model_dogrulandi": not trained_here,
                      **({"model_notu": model_note} if model_note else {}),
                      "geri_test_son_orijin": origin,
                      "uyarilar": [g.as_json() for g in gates if not g.passed]
                      + ([] if summary is not None else [NO_BACKTEST_TR])}
        with stages.stage("building the scoreboard document") as s:
            doc_path = os.path.join(where, DOCUMENT)
            done = build_scoreboard(
                facts.db_path, doc_path, facts=facts, rd_column=rd_column,
                risk_periods=DEFAULT_RISK_PERIODS if risk_periods is None else risk_periods,
                title=title or DEFAULT_TITLE,
                model=marks.model_columns(scored, is_alerted, outcomes), alert_threshold=threshold,
                model_id=model.model_id, model_trained_at=run_info.get("trained_at"),
                backtest_summary=summary, backtest_firma=firma, ml_predictions=predictions,
                meta_extra=meta_extra)
            s["rows"] = done["rows"]

        files = {"document": DOCUMENT, "model": MODEL_DIR, "predictions": PREDICTIONS}
        with stages.stage("rendering the pages") as s:
            files.update(render_pages(doc_path, where, predictions, summary, firma))
            s["rows"] = done["rows"]

        with stages.stage("writing the model report"):
            report_note = model_report(where, has_backtest=summary is not None)
            if report_note is None:
                files["report_page"] = REPORT_PAGE
        if summary is not None:
            files["backtest"] = BACKTEST_DIR

        auc = _auc_pair(model, summary)
        manifest = {
            "format": MANIFEST_FORMAT,
            "period": period,
            "borrowers": borrowers,
            "alerts": alerts,
            "alert_share": share,
            "alert_threshold": threshold,
            "started_at": started_at.isoformat(timespec="seconds"),
            "finished_at": datetime.now(timezone.utc).isoformat(timespec="seconds"),
            "inputs": {"database": fingerprint, "diagnostics": _diagnostics_fingerprint(db),
                       "facts": {"rows": facts.rows, "columns": list(facts.table.column_names)}},
            "versions": versions(),
            "model": {"id": model.model_id, "trained_at": run_info.get("trained_at"),
                      "horizon": horizon,
                      "source": "trained on this run" if trained_here else os.path.abspath(os.fspath(model_dir)),
                      "validated": not trained_here, **({"note": model_note} if model_note else {})},
            "auc": auc,
            "backtest": ({"origins": [o["origin"] for o in summary["origins"]]} if summary is not None
                         else {"not_run": NO_BACKTEST}),
            "gates": [g.as_json() for g in gates],
            "strict": bool(strict),
            "stages": stages.done,
            "files": files,
            "report": report_note,
            "feature_notes": [line for line in said.getvalue().splitlines() if line.strip()],
            "render_notes": [line.replace(where, os.path.join(out, staging.name)) for line in files.pop("notes")],
        }
        write_text(os.path.join(where, MANIFEST),
                   json.dumps(manifest, ensure_ascii=False, indent=1, allow_nan=False) + "\n")
        path = staging.publish()
    except BaseException:
        staging.discard()
        raise
    return RunResult(path, manifest, summary_lines(manifest, path))


def _auc_text(value) -> str:
    return "undefined" if value is None else f"{value:.3f}"


def summary_lines(manifest: dict, folder: str) -> list[str]:
    """The run in a few lines: borrowers, alerts, AUCs, gates, model and where each file is."""
    m, auc = manifest["model"], manifest["auc"]
    lines = [f"Period {manifest['period']}: {manifest['borrowers']} borrowers, {manifest['alerts']} alerts "
             f"(top {100 * manifest['alert_share']:.2f} % of candidates)",
             f"AUC model {_auc_text(auc['model'])}, current score alone {_auc_text(auc['score_alone'])} "
             f"({auc['source']})",
             f"Model {m['id']}: " + (m.get("note") or f"frozen, from {m['source']}")]
    bt = manifest.get("backtest") or {}
    if "not_run" in bt:
        lines.append(f"Back-test: not run: {bt['not_run']}")
    elif bt:
        lines.append(f"Back-test: {len(bt['origins'])} origins, {bt['origins'][0]} to {bt['origins'][-1]}")
    failed = [g for g in manifest["gates"] if not g["gecti"]]
    if failed:
        lines += [f"WARNING {g['kapi']}: {g['mesaj']}" for g in failed]
    else:
        lines.append("Gates: all passed")
    lines += [line for line in manifest.get("render_notes", []) if "[WARN]" in line]
    if manifest.get("report"):
        lines.append(manifest["report"])
    lines.append(f"Folder: {folder}")
    for name, rel in manifest["files"].items():
        lines.append(f"  {name}: {os.path.join(folder, rel)}")
    return lines
