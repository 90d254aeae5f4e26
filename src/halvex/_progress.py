"""An elapsed-time line on standard error while a long command runs, only on a terminal.

    with Progress("render", "rendering") as progress:
        ...
        progress.stage("writing")

Nothing is written when standard error is not a terminal or the work ends within DELAY
seconds. Otherwise a thread draws ``| halvex render: rendering 3 s`` and redraws it every
INTERVAL; at the end the line is erased, so the terminal shows what it would have shown
without it. Lines the work prints on a terminal's standard output while the line is drawn
clear it first (they would otherwise start in its middle); their text is unchanged.
"""

from __future__ import annotations

import sys
import threading
import time

DELAY = 1.0       # shorter work shows nothing
INTERVAL = 0.25   # time between redraws
CLEAR = "\r\x1b[K"  # back to the start of the line, erase to its end
_SPINNER = "|/-\\"


def _is_terminal(stream) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError, OSError):  # closed or not a real file
        return False


class Progress:
    """Context manager showing ``halvex COMMAND: STAGE N s`` on a terminal's stderr."""

    def __init__(self, command: str, stage: str = "", *, stream=None,
                 delay: float = DELAY, interval: float = INTERVAL):
        self._stream = stream
        self._command = command
        self._stage = stage
        self._delay = delay
        self._interval = interval
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._shown = False
        self._midline = False  # standard output's last text did not end its line
        self._ticks = 0
        self._start = 0.0
        self._stdout = None  # the stream our wrapper replaced, while it is in place

    def stage(self, name: str) -> None:
        """The phase the line names from its next redraw on."""
        with self._lock:
            self._stage = name

    @property
    def active(self) -> bool:
        return self._thread is not None

    def __enter__(self) -> "Progress":
        if self._stream is None:
            self._stream = sys.stderr
        if not _is_terminal(self._stream):
            return self
        self._start = time.monotonic()
        if _is_terminal(sys.stdout):
            self._stdout = sys.stdout
            sys.stdout = _ClearingWriter(self._stdout, self)
        self._thread = threading.Thread(target=self._run, name="halvex-progress", daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        if self._thread is None:
            return
        self._stop.set()
        self._thread.join()
        self._thread = None
        if self._stdout is not None:
            if isinstance(sys.stdout, _ClearingWriter) and sys.stdout._progress is self:
                sys.stdout = self._stdout
            self._stdout = None
        with self._lock:
            self._clear_locked()

    def _run(self) -> None:
        if self._stop.wait(self._delay):
            return
        while True:
            with self._lock:
                self._draw_locked()
            if self._stop.wait(self._interval):
                return

    def _draw_locked(self) -> None:
        if self._midline:  # erasing now would take half a printed line with it
            return
        elapsed = int(time.monotonic() - self._start)
        spin = _SPINNER[self._ticks % len(_SPINNER)]
        self._ticks += 1
        stage = f" {self._stage}" if self._stage else ""
        try:
            self._stream.write(f"{CLEAR}{spin} halvex {self._command}:{stage} {elapsed} s")
            self._stream.flush()
            self._shown = True
        except (OSError, ValueError):  # the terminal went away: stop drawing, keep working
            self._stop.set()

    def _clear_locked(self) -> None:
        if not self._shown:
            return
        self._shown = False
        try:
            self._stream.write(CLEAR)
            self._stream.flush()
        except (OSError, ValueError):
            pass


class _ClearingWriter:
    """Standard output that erases the progress line before text goes to the terminal."""

    def __init__(self, stream, progress: Progress):
        self._wrapped = stream
        self._progress = progress

    def write(self, text: str) -> int:
        with self._progress._lock:
            if text:
                self._progress._clear_locked()
                self._progress._midline = not text.endswith("\n")
            return self._wrapped.write(text)

    def __getattr__(self, name):
        return getattr(self._wrapped, name)
