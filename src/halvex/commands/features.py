"""``halvex features DB``: build the YI model's feature matrix from a fact database.

    halvex features facts.duckdb [--horizon N] [-o features.parquet | -o features.csv]

Prints the feature builder's summary lines; with ``-o`` writes the matrix (Parquet or CSV,
by the file's suffix) through the package's atomic writer: a temporary file beside the
target, renamed into place when complete.

A fact table of more rows than one partition holds (halvex.ml.partitions) is built one
entity range at a time, each range's rows written before the next is built, so memory does
not grow with the table. The file and the printed lines are those of one whole build.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import sys
from pathlib import Path

from halvex._output import atomic_output, check_output_path, refuse_input
from halvex._progress import Progress
from halvex.commands import _arguments as arg
from halvex.commands._support import writes_to_stdout

_WRITERS = {".parquet": "parquet", ".csv": "csv"}


def register(subparsers) -> None:
    p = arg.command(subparsers, "features", run,
                    help="build the YI model feature matrix from a DuckDB fact database",
                    description="Build the feature matrix of the close-monitoring (YI) model from the "
                                "fact_periodic and dim_entity tables of a DuckDB file (opened read-only).")
    arg.database(p)
    p.add_argument("--horizon", type=int, default=3,
                   help="periods ahead in which a YI score sets the label (default 3)")
    arg.output(p, "write the matrix to this .parquet or .csv file", default=None)


def write_matrix(frame, target) -> Path:
    kind = _WRITERS.get(Path(target).suffix.lower())
    if kind is None:
        raise ValueError(f"output must end in .parquet or .csv, not {Path(target).name!r}")
    if kind == "parquet":
        with atomic_output(target, "wb") as fh:
            frame.to_parquet(fh, index=False)
    else:
        with atomic_output(target, newline="") as fh:
            frame.to_csv(fh, index=False)
    return Path(target)


class _Totals:
    """The summary of one whole build, from those of its partitions: entities fall in one
    partition each, periods recur, so they are counted from the matrices. A diagnostic file
    read whole by every partition counts once."""

    def __init__(self, diag_read_whole: bool) -> None:
        self.diag_read_whole = diag_read_whole
        self.total = None
        self.periods: set = set()

    def add(self, frame, summary) -> None:
        if summary is None:  # no facts in this range
            return
        self.periods.update(frame["donem"].dropna().unique().tolist())
        if self.total is None:
            self.total = summary
            return
        t = self.total
        if not self.diag_read_whole:
            t.diag_rows += summary.diag_rows
        t.rows += summary.rows
        t.entities += summary.entities
        t.labeled += summary.labeled
        t.yi += summary.yi
        t.non_yi += summary.non_yi

    def rows(self) -> int:
        return 0 if self.total is None else self.total.rows

    def lines(self) -> list[str]:
        if self.total is None:
            return []
        self.total.periods = len(self.periods)
        return self.total.lines()


class _Appender:
    """Writes matrices one after the other into one open file, as one matrix."""

    def __init__(self, fh, kind: str) -> None:
        self.fh, self.kind = fh, kind
        self.writer = None
        self.header = True

    def add(self, frame) -> None:
        if self.kind == "csv":
            frame.to_csv(self.fh, index=False, header=self.header)
            self.header = False
            return
        import pyarrow as pa
        import pyarrow.parquet as pq

        # Later ranges take the first one's schema (an all-missing text column stays text).
        schema = None if self.writer is None else self.writer.schema
        table = pa.Table.from_pandas(frame, schema=schema, preserve_index=False)
        if self.writer is None:
            self.writer = pq.ParquetWriter(self.fh, table.schema)
        self.writer.write_table(table)

    def abort(self) -> None:
        """After a failure: lets the Parquet writer go before its file is discarded."""
        writer, self.writer = self.writer, None
        if writer is not None:
            with contextlib.suppress(Exception):
                writer.close()

    def close(self) -> None:
        if self.writer is not None:
            self.writer.close()
            self.writer = None
        elif self.header:  # nothing written: what an empty matrix gives
            import pandas as pd

            add = pd.DataFrame().to_parquet if self.kind == "parquet" else pd.DataFrame().to_csv
            add(self.fh, index=False)


def build_in_partitions(db, horizon, parts, target=None) -> tuple[int, int]:
    """Builds the matrix of each partition in turn, appending it to ``target`` (written
    atomically) when given; prints the lines of the whole build. Returns (rows, columns)."""
    from halvex.ml.features import _build_features_part

    totals = _Totals(diag_read_whole=not parts[0].diag)
    columns = 0
    with contextlib.ExitStack() as stack:
        out = None
        if target is not None:
            kind = _WRITERS[Path(target).suffix.lower()]
            fh = stack.enter_context(atomic_output(target, "wb") if kind == "parquet"
                                     else atomic_output(target, newline=""))
            out = _Appender(fh, kind)
            stack.callback(out.abort)
        for part in parts:
            frame, summary = _build_features_part(db, horizon, part.facts, part.diag)
            totals.add(frame, summary)
            if len(frame.columns):
                columns = len(frame.columns)
                if out is not None:
                    out.add(frame)
            del frame
        if out is not None:
            out.close()
    for line in totals.lines():
        print(line)
    return totals.rows(), columns


# DuckDB's errors about the file it was given (not a database, tables or columns missing or of
# another type, a damaged file, another process's lock) rather than about DuckDB itself.
_INPUT_ERRORS = ("IOException", "CatalogException", "BinderException", "ConversionException",
                 "InvalidInputException", "InvalidTypeException", "TypeMismatchException",
                 "OutOfRangeException", "SerializationException", "PermissionException",
                 "NotImplementedException")
# Where a DuckDB file says what it is; used only to word an error, never to refuse a file.
_DUCKDB_MAGIC = (8, b"DUCK")


def _is_duckdb_file(db) -> bool:
    offset, magic = _DUCKDB_MAGIC
    try:
        with open(db, "rb") as fh:
            return fh.read(offset + len(magic))[offset:] == magic
    except OSError:
        return True  # unreadable here: DuckDB's own words say why


def _database_error(db, exc: Exception) -> Exception:
    """A DuckDB error about the input as one line that names the file; others as they are."""
    import duckdb

    kinds = tuple(getattr(duckdb, name) for name in _INPUT_ERRORS if hasattr(duckdb, name))
    if not isinstance(exc, kinds):
        return exc
    said = (str(exc).strip().splitlines() or [""])[0]
    if not _is_duckdb_file(db):
        return ValueError(f"{db} is not a DuckDB database file ({said})")
    return ValueError(f"cannot read the database {db} or its diagnostic file: {said}")


def check_database(db: Path) -> None:
    """FileNotFoundError / IsADirectoryError unless ``db`` is a file to open."""
    if not db.exists():
        raise FileNotFoundError(f"no database at {db}")
    if db.is_dir():
        raise IsADirectoryError(errno.EISDIR, "a folder, not a DuckDB database file", str(db))


def database_inputs(db: Path) -> dict:
    """What an output must not replace: the database and its diagnostic file."""
    from halvex.ml.partitions import diagnostic_path

    return {"the database": db, "the diagnostic file": diagnostic_path(db)}


@contextlib.contextmanager
def database_errors(db: Path):
    """DuckDB's errors about the input inside the block, as one line that names the file."""
    import duckdb

    try:
        yield
    except duckdb.Error as exc:
        error = _database_error(db, exc)
        if error is exc:
            raise
        raise error from exc


def check_matrix_output(path) -> None:
    """ValueError unless ``path`` names a file ``write_matrix`` writes."""
    check_output_path(path)
    if Path(path).suffix.lower() not in _WRITERS:
        raise ValueError(f"output must end in .parquet or .csv, not {Path(path).name!r}")


def run(args: argparse.Namespace) -> int:
    # Checked first, so a bad name costs no feature build.
    if args.output is not None:
        check_matrix_output(args.output)
    check_database(args.db)
    if args.output is not None:
        refuse_input(args.output, database_inputs(args.db))
    with database_errors(args.db):
        return _build(args)


def _build(args: argparse.Namespace) -> int:
    from halvex.ml.features import build_features
    from halvex.ml.partitions import plan

    # A matrix streamed to standard output (a link to it named .csv) gets no summary lines.
    to_stdout = args.output is not None and writes_to_stdout(args.output)
    sys.stdout.flush()
    with contextlib.redirect_stdout(sys.stderr if to_stdout else sys.stdout), \
            Progress("features", "building features") as progress:
        parts = plan(args.db)
        if parts:
            progress.stage(f"building features in {len(parts)} parts")
            rows, columns = build_in_partitions(args.db, args.horizon, parts, args.output)
            if args.output is not None:
                print(f"  Written: {args.output} ({rows} rows, {columns} columns)")
            return 0
        frame = build_features(args.db, args.horizon)
        if args.output is not None:
            progress.stage(f"writing {Path(args.output).name}")
            write_matrix(frame, args.output)
            print(f"  Written: {args.output} ({len(frame)} rows, {len(frame.columns)} columns)")
    return 0
