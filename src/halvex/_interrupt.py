"""SIGINT and SIGTERM in the command line.

Both end a run as an exception in the main thread (KeyboardInterrupt, Terminated), so every
``with`` and ``finally`` on the way out runs: ``atomic_output`` removes its temporary file,
and a compiled job stops at its next cancel point and unwinds the same way (its own
temporary files go with it). ``exit_status`` turns the exception into one line on stderr
and the status a shell expects: 130 after SIGINT, 143 after SIGTERM.
"""

from __future__ import annotations

import contextlib
import functools
import gc
import signal
import sys
import threading
from typing import Iterator

EXIT_STATUS = {signal.SIGINT: 130, signal.SIGTERM: 143}


class Terminated(BaseException):
    """SIGTERM, raised as SIGINT raises KeyboardInterrupt (not an Exception: nothing that
    handles errors may swallow it)."""


_EXCEPTION = {signal.SIGINT: KeyboardInterrupt, signal.SIGTERM: Terminated}
_WORD = {signal.SIGINT: "interrupted", signal.SIGTERM: "terminated"}

# The first signal of this run, once a handler here has raised for it; whether a run is on.
_received: signal.Signals | None = None
_running = False


def _handler(signum, frame) -> None:
    global _received
    # Only the first signal raises: a second one must not cut short the clean-up of the first.
    if _received is None:
        _received = signal.Signals(signum)
        raise _EXCEPTION[_received]()


@contextlib.contextmanager
def installed() -> Iterator[None]:
    """Handlers for SIGINT and SIGTERM while the block runs (in the main thread only), unless
    the process was started with them ignored (``nohup``, a shell's background job) or
    something else handles them; the previous handlers come back after."""
    global _received, _running
    outer = _running
    _received, _running = None, True
    previous = {}
    if threading.current_thread() is threading.main_thread():
        for signum, default in ((signal.SIGINT, signal.default_int_handler), (signal.SIGTERM, signal.SIG_DFL)):
            if signal.getsignal(signum) == default:
                previous[signum] = signal.signal(signum, _handler)
    hook = sys.unraisablehook
    sys.unraisablehook = functools.partial(_unraisable, hook)
    try:
        yield
    finally:
        _running = outer  # a swallowed signal of this run stops nothing after it
        sys.unraisablehook = hook
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _unraisable(hook, unraisable) -> None:
    # Raised where Python cannot raise (a weakref callback of the import machinery): the
    # run learns of it at its next check_pending(), so nothing needs saying here.
    if _received is None or not issubclass(unraisable.exc_type, tuple(_EXCEPTION.values())):
        hook(unraisable)


def consumed() -> BaseException:
    """The exception for a signal whose exception a library dropped (DuckDB reports an
    interrupted query as RuntimeError): the one a handler here raised, else KeyboardInterrupt,
    as Python's own SIGINT handler would have raised."""
    return _EXCEPTION[_received]() if _received is not None else KeyboardInterrupt()


def check_pending() -> None:
    """Raises the signal's exception if a handler here raised one that a library swallowed.
    Called before what cannot be taken back (committing an output) and at the cancel points
    of the compiled jobs; while the exception itself propagates, none of these runs."""
    if _running and _received is not None:
        raise _EXCEPTION[_received]()


def is_interrupted_query(exc: BaseException) -> bool:
    """DuckDB's error for a query stopped by a signal handler that raised."""
    return isinstance(exc, RuntimeError) and str(exc) == "Query interrupted"


def interrupt_in(exc: BaseException | None) -> BaseException | None:
    """The KeyboardInterrupt or Terminated that `exc` comes from, if any: a signal during the
    import of an extension module surfaces as the ImportError of its failed initialisation."""
    seen = set()
    while exc is not None and id(exc) not in seen:
        if isinstance(exc, (KeyboardInterrupt, Terminated)):
            return exc
        seen.add(id(exc))
        exc = exc.__cause__ or exc.__context__
    return None


def _command(argv: list[str] | None) -> str:
    words = [w for w in (sys.argv[1:] if argv is None else argv) if not w.startswith("-")]
    return f"halvex {words[0]}" if words else "halvex"


def exit_status(main):
    """Runs ``main(argv)`` with the handlers installed. A run that a handler here raised in
    prints one line and returns 130 or 143, however it ended: libraries may turn the
    exception into another (an interrupted import is an ImportError without the cause, an
    interrupted DuckDB query a RuntimeError) or drop it."""

    @functools.wraps(main)
    def run(argv: list[str] | None = None) -> int:
        try:
            with installed():
                status = main(argv)
        except BaseException as exc:
            stop = interrupt_in(exc)
            if stop is None and _received is None:
                raise
            signum = _received or (signal.SIGTERM if isinstance(stop, Terminated) else signal.SIGINT)
            # What the interrupted frames held (a writer holding its output file in a
            # cycle) goes now, not at interpreter exit where its type is gone already.
            del exc, stop
            gc.collect()
        else:
            if _received is None:
                return status
            signum = _received
        print(f"{_command(argv)}: {_WORD[signum]}", file=sys.stderr)
        return EXIT_STATUS[signum]

    return run
