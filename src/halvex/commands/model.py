"""``halvex model``: train, score and back-test the close-monitoring (YI) model on a fact DB.

    halvex model train DB [--horizon 3] [--origins 6] -o MODEL_DIR
    halvex model score DB --model MODEL_DIR [--period P] [--horizon N] -o predictions.parquet
    halvex model backtest DB [--horizon 3] [--origins 6] -o OUT_DIR
    halvex model report --model MODEL_DIR --backtest OUT_DIR -o report.html

The first three build the feature matrix of DB (as ``halvex features``) and hand it to
``halvex.ml.model``; ``report`` reads what they wrote. Outputs appear whole or not at all:
the model folder through ``Model.save``, the predictions and the report through the
package's atomic writer.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import os
import sys
from pathlib import Path

from halvex._output import check_output_path, refuse_input
from halvex._progress import Progress
from halvex.commands import _arguments as arg
from halvex.commands._support import writes_to_stdout
from halvex.commands.features import (check_database, check_matrix_output, database_errors,
                                      database_inputs, write_matrix)

DEFAULT_HORIZON = 3
DEFAULT_ORIGINS = 6


def register(subparsers) -> None:
    p = subparsers.add_parser(
        "model", help="train, score and back-test the close-monitoring (YI) model",
        description="Train, score and back-test the close-monitoring (YI) model on the feature "
                    "matrix of a DuckDB fact database.")
    sub = p.add_subparsers(dest="action", required=True, metavar="ACTION")

    def on_database(name, run, help, description, horizon_default):
        """An action that builds the feature matrix of DB."""
        q = arg.command(sub, name, run, help=help, description=description)
        arg.database(q)
        arg.keep_first(q)
        arg.horizon(q, horizon_default, f"default {horizon_default}" if horizon_default else
                    "default: the model's; another value is refused")
        return q

    def back_testing(name, run, help, description, *, low, origins_help, output_help):
        """An action that back-tests over the latest origins and writes a folder."""
        q = on_database(name, run, help, description, DEFAULT_HORIZON)
        arg.origins(q, low, DEFAULT_ORIGINS, help=origins_help)
        arg.output(q, output_help, required=True)

    back_testing("train", run_train, "train a model and save its folder",
                 "Train the model on every labelled row of DB and save the model folder "
                 "(model.txt, calibration.json, model_card.json).",
                 low=0, output_help="model folder to write",
                 origins_help="back-test the model over this many of the latest origins first and "
                              f"keep the figures in its card (default {DEFAULT_ORIGINS}; 0: no back-test)")
    q = on_database("score", run_score, "score one period with a saved model",
                    "Score the borrowers of one period of DB (default the latest) with a saved "
                    "model; write the predictions.", None)
    arg.model_folder(q)
    q.add_argument("--period", default=None, help="the period (donem) to score (default the latest)")
    arg.output(q, "predictions file, .parquet or .csv", required=True)

    back_testing("backtest", run_backtest, "rolling-origin back-test",
                 "Train at each of the last origins of DB, score the origin and compare with what "
                 "happened; write the results folder.",
                 low=1, output_help="folder to write the results into",
                 origins_help=f"origins to back-test, the latest ones (default {DEFAULT_ORIGINS}; "
                              "fewer when the data is short)")

    q = arg.command(sub, "report", run_report, help="the model reviewer's report page",
                    description="Write one self-contained HTML page on a saved model and a "
                                "back-test: ROC, precision-recall, capture, lift and calibration "
                                "charts, metrics per origin and segment, PSI, importance and the "
                                "model card.")
    arg.model_folder(q)
    q.add_argument("--backtest", required=True, type=Path, help="results folder of `halvex model backtest`")
    arg.output(q, "HTML file to write", required=True)


def _matrix(db: Path, horizon: int, keep_first: bool, progress: Progress):
    """The feature matrix of ``db``, repeated keys refused (or the first kept)."""
    from halvex.ml.features import build_features
    from halvex.ml.model.population import drop_repeated

    progress.stage("building features")
    with database_errors(db):
        matrix = build_features(db, horizon)
    if len(matrix) == 0:
        raise ValueError(f"{db}: no facts to build features from")
    try:
        return drop_repeated(matrix, "first" if keep_first else None)
    except ValueError as exc:
        # The library's advice names its argument; the command's is the flag.
        raise ValueError(str(exc).replace("pass keep='first'", "pass --keep-first")) from None


def _writable_place(path: str) -> None:
    """NotADirectoryError when a file stands where ``path``'s folders would be: found before
    the work rather than after it."""
    place = os.path.dirname(os.path.abspath(path))
    while not os.path.lexists(place):
        place = os.path.dirname(place)
    if not os.path.isdir(place):
        raise NotADirectoryError(errno.ENOTDIR, "not a folder, so the output cannot go under it",
                                 place)


def _inputs(args: argparse.Namespace) -> None:
    """Checks done before any work: the database exists, the output folder replaces no
    input and has a place to go."""
    # A folder may be named with a trailing separator ("models/"); the writer takes its name.
    args.output = check_output_path(args.output.rstrip("/") or args.output)
    check_database(args.db)
    refuse_input(args.output, database_inputs(args.db))
    _writable_place(args.output)


def _save_folder(save, folder: str) -> None:
    # Missing parent folders are created, as the file writer does for files.
    os.makedirs(os.path.dirname(os.path.abspath(folder)), exist_ok=True)
    save(folder)


def run_train(args: argparse.Namespace) -> int:
    from halvex.ml.model import backtest, train

    _inputs(args)
    skipped = None
    with Progress(f"model {args.action}", "building features") as progress:
        matrix = _matrix(args.db, args.horizon, args.keep_first, progress)
        model = None
        if args.origins:
            progress.stage("back-testing")

            def step(done: int, total: int) -> None:
                progress.stage(f"back-testing: {done} of {total} models trained")
            try:
                model = backtest(matrix, args.horizon, args.origins, top_n=0, progress=step).model
            except ValueError as exc:
                # Too short a history for a back-test still trains; the card says why.
                skipped = str(exc)
        if model is None:
            progress.stage("training")
            model = train(matrix, args.horizon)
            if skipped is not None:
                model.card = {**model.card, "backtest": {"not_run": skipped}}
        progress.stage("saving")
        _save_folder(model.save, args.output)
    for line in train_summary(model.card):
        print(f"  {line}")
    print(f"  Written: {args.output}")
    return 0


def _auc(value) -> str:
    return "undefined (one class)" if value is None else f"{value:.4f}"


def train_summary(card: dict) -> list[str]:
    """What a trained model's card says in a few lines: data, trees, AUCs, stability."""
    data, split, valid = card["data"], card["split"], card["validation"]
    lines = [
        f"Trained: {data['train']['rows']} rows, {data['train']['periods']} periods "
        f"({split['train_periods'][0]} to {split['train_periods'][-1]}), "
        f"{data['train']['positives']} positives, horizon {card['horizon']}",
        f"Trees: {card['best_iteration']} (early stopping on "
        f"{', '.join(map(str, split['valid_periods']))})",
        f"Validation: {data['valid']['rows']} rows, {data['valid']['positives']} positives, "
        f"AUC {_auc(valid['auc'])}, current score alone {_auc(valid['score_alone_auc'])}",
    ]
    bt = card.get("backtest")
    if bt and "not_run" not in bt:
        lines.append(f"Back-test: {len(bt['origins'])} origins ({bt['origins'][0]} to "
                     f"{bt['origins'][-1]}), {bt['rows']} rows, AUC {_auc(bt['auc'])}, current "
                     f"score alone {_auc(bt['score_alone_auc'])}")
    elif bt:
        lines.append(f"Back-test: not run ({bt['not_run']})")
    stability = card.get("stability")
    if stability:
        psi = stability["score_psi"]
        lines.append(f"Score PSI {stability['period']} against training: {psi['value']:.3f} "
                     f"({psi['band']})")
    return lines


def run_score(args: argparse.Namespace) -> int:
    from halvex.ml.model import Model
    from halvex.ml.model.periods import period_codes, period_position

    check_matrix_output(args.output)
    check_database(args.db)
    refuse_input(args.output, {**database_inputs(args.db), "the model folder": args.model})
    _writable_place(args.output)
    # The model first: a damaged or foreign one costs no feature build.
    model = Model.load(args.model)
    if args.horizon is not None and args.horizon != model.horizon:
        raise ValueError(f"{args.model}: the model was trained for horizon {model.horizon}, "
                         f"not {args.horizon}")
    to_stdout = writes_to_stdout(args.output)
    sys.stdout.flush()
    with contextlib.redirect_stdout(sys.stderr if to_stdout else sys.stdout), \
            Progress(f"model {args.action}", "building features") as progress:
        matrix = _matrix(args.db, model.horizon, args.keep_first, progress)
        periods, codes = period_codes(matrix["donem"])
        at = len(periods) - 1 if args.period is None else period_position(periods, args.period)
        rows = matrix.loc[codes == at]
        progress.stage(f"scoring {periods[at]}")
        out = model.predict(rows)
        progress.stage(f"writing {Path(args.output).name}")
        write_matrix(out, args.output)
        print(f"  Scored: period {periods[at]}, {len(out)} borrowers "
              f"({len(rows) - len(out)} already under close monitoring left out)")
        print(f"  Written: {args.output}")
    return 0


def run_backtest(args: argparse.Namespace) -> int:
    # Imported here: the back-test is a part of the model package of its own.
    from halvex.ml import model as ml_model

    _inputs(args)
    with Progress(f"model {args.action}", "building features") as progress:
        matrix = _matrix(args.db, args.horizon, args.keep_first, progress)
        progress.stage("back-testing")
        result = ml_model.backtest(matrix, horizon=args.horizon, origins=args.origins)
        progress.stage("saving")
        _save_folder(result.save, args.output)
    names = sorted(p.name for p in Path(args.output).iterdir())
    print(f"  Written: {args.output} ({', '.join(names)})")
    return 0


def run_report(args: argparse.Namespace) -> int:
    from halvex.ml.model.report import write_report

    args.output = check_output_path(args.output)
    refuse_input(args.output, {"the model folder": args.model,
                               "the back-test folder": args.backtest})
    _writable_place(args.output)
    path = write_report(args.output, model_dir=args.model, backtest=args.backtest)
    # Written to standard output, the page stays alone there.
    print(f"  Written: {path}", file=sys.stderr if writes_to_stdout(args.output) else sys.stdout)
    return 0
