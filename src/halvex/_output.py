"""Output files of the command line, written through the renderer's atomic writer.

    with atomic_output("out/features.csv") as fh:      # text, UTF-8
        frame.to_csv(fh, index=False)
    with atomic_output("out/features.parquet", "wb") as fh:
        frame.to_parquet(fh, index=False)

The file object writes to a temporary file beside the target; leaving the block normally
makes it the target (synced, renamed over it), an exception leaves the target as it was and
removes the temporary file. A named pipe or a device (``/dev/stdout``) is written directly.
Existing targets keep their permission bits; see halvex.pipeline.vitrum._AtomicFile.
Whole folders (a model folder) go through write_folder_atomic in the same way.
"""

from __future__ import annotations

import contextlib
import ctypes
import ctypes.util
import errno
import io
import os
import shutil
import stat
import tempfile
from typing import Callable, Iterator, Mapping

from halvex._interrupt import check_pending

_BUFFER = 1 << 20


class _Sink(io.RawIOBase):
    """The raw stream over one native writer: bytes in, nothing committed on close."""

    def __init__(self, native) -> None:
        super().__init__()
        self._native = native
        self._pos = 0

    def writable(self) -> bool:
        return True

    def write(self, b) -> int:
        if self.closed:
            raise ValueError("write to closed file")
        data = bytes(b)
        self._native.write(data)
        self._pos += len(data)
        return len(data)

    def tell(self) -> int:
        return self._pos

    def close(self) -> None:
        super().close()
        # A consumer interrupted part-way may keep the stream alive for good (pyarrow's
        # writer does after a KeyboardInterrupt): it must not keep the native writer too.
        self._native = None


def check_path_text(text, name: str = "") -> None:
    """ValueError for a path with an embedded NUL: the C library would see it cut short there."""
    if ("\0" if isinstance(text, str) else b"\0") in text:
        raise ValueError("embedded null byte" + (f" in {name}" if name else ""))


def check_output_path(path) -> str:
    """The output path as text; ValueError for an embedded NUL, IsADirectoryError for a path
    that ends in a separator (it names a folder, not a file)."""
    text = os.fsdecode(os.fspath(path))
    check_path_text(text)
    if text.endswith(os.sep) or (os.altsep and text.endswith(os.altsep)):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), text)
    return text


def _same_file(output: str, input_path: str) -> bool:
    # As the renderer's check (cpp/common/same_file.h): by device and inode where both exist,
    # a pipe or device named twice being no file to lose; by where the paths lead otherwise.
    try:
        out, inp = os.stat(output), os.stat(input_path)
    except OSError:
        return os.path.realpath(output) == os.path.realpath(input_path)
    return stat.S_ISREG(inp.st_mode) and (out.st_dev, out.st_ino) == (inp.st_dev, inp.st_ino)


def _inside(output: str, folder: str) -> bool:
    try:
        top = os.stat(folder)
    except OSError:
        return False
    if not stat.S_ISDIR(top.st_mode):
        return False
    path = os.path.realpath(output)
    while True:
        with contextlib.suppress(OSError):
            here = os.stat(path)
            if (here.st_dev, here.st_ino) == (top.st_dev, top.st_ino):
                return True
        parent = os.path.dirname(path)
        if parent == path:
            return False
        path = parent


def refuse_input(output, inputs: Mapping[str, object]) -> None:
    """ValueError when writing ``output`` would replace one of ``inputs`` (what each is, such
    as "the database", to its path) or write into an input that is a folder; links, hard
    links and other spellings count as the file they name."""
    out = os.fsdecode(os.fspath(output))
    for what, path in inputs.items():
        text = os.fsdecode(os.fspath(path))
        if _same_file(out, text):
            raise ValueError(f"the output '{out}' is {what} '{text}' (the same file); "
                             "write it elsewhere")
        if _inside(out, text):
            raise ValueError(f"the output '{out}' is inside {what} '{text}' (a folder read as "
                             "input); write it elsewhere")


@contextlib.contextmanager
def atomic_output(path, mode: str = "w", *, encoding: str = "utf-8", newline: str | None = None) -> Iterator:
    """A file object for `path` ("w" text or "wb" bytes) committed when the block ends."""
    if mode not in ("w", "wb"):
        raise ValueError(f"mode must be 'w' or 'wb', not {mode!r}")
    from halvex.pipeline.vitrum import _AtomicFile

    native = _AtomicFile(os.fsencode(check_output_path(path)))
    sink = _Sink(native)
    try:
        stream = io.BufferedWriter(sink, buffer_size=_BUFFER)
        if mode == "w":
            stream = io.TextIOWrapper(stream, encoding=encoding, newline=newline)
        yield stream
        # A consumer may have closed the stream itself (pyarrow does): it flushed on closing.
        if not stream.closed:
            stream.flush()
        check_pending()  # an interrupt that the writer swallowed keeps the old target
        native.commit()
    finally:
        # Closed first, so text still buffered in the wrappers is dropped when they go,
        # not written after the fact.
        sink.close()
        native.discard()  # nothing left to do after a commit; otherwise the target stays


def write_text(path, text: str) -> str:
    """Writes UTF-8 text to `path` atomically; returns the path as text."""
    with atomic_output(path) as fh:
        fh.write(text)
    return check_output_path(path)


# Whole folders (a model): written beside the target and swapped into place.
_RENAME_EXCHANGE = 2  # renameat2 flag (Linux 3.15+)
_AT_FDCWD = -100


def _sync_dir(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _exchange(a: str, b: str) -> bool:
    """Atomically swaps two paths; False where the system cannot."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or None, use_errno=True)
        fn = libc.renameat2
    except (OSError, AttributeError):
        return False
    fn.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
    if fn(_AT_FDCWD, os.fsencode(a), _AT_FDCWD, os.fsencode(b), _RENAME_EXCHANGE) == 0:
        return True
    err = ctypes.get_errno()
    if err in (errno.EINVAL, errno.ENOSYS, errno.ENOTSUP):
        return False
    raise OSError(err, os.strerror(err), b)


def _swap_into_place(tmp: str, target: str) -> None:
    """Renames the folder ``tmp`` to ``target``; an existing folder there is swapped with it
    atomically (left at ``tmp`` for the caller to remove)."""
    if os.path.isdir(target) and not os.path.islink(target):
        if not _exchange(tmp, target):
            aside = tmp + ".old"
            os.rename(target, aside)
            os.rename(tmp, target)
            os.rename(aside, tmp)
    else:
        os.rename(tmp, target)
    _sync_dir(os.path.dirname(target))


def publish_folder(tmp, target) -> None:
    """Puts the finished folder ``tmp`` (written beside ``target``) in place of ``target``:
    its files and folders synced, then renamed, so a reader sees the old folder or the whole
    new one; a replaced folder is removed afterwards."""
    tmp, target = os.path.abspath(os.fspath(tmp)), os.path.abspath(os.fspath(target))
    for root, dirs, files in os.walk(tmp):
        for name in files:
            fd = os.open(os.path.join(root, name), os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
        _sync_dir(root)
    os.chmod(tmp, 0o755 & ~_umask())
    check_pending()
    _swap_into_place(tmp, target)
    shutil.rmtree(tmp, ignore_errors=True)  # the replaced folder, when there was one


def swap_link(link, points_to: str) -> None:
    """Points the symbolic link ``link`` at ``points_to``: a new link beside it renamed over
    it, so a reader finds the old target or the new one, never no link."""
    link = os.path.abspath(os.fspath(link))
    parent = os.path.dirname(link)
    tmp = os.path.join(parent, f".{os.path.basename(link)}.{os.getpid()}.{os.urandom(4).hex()}.tmp")
    os.symlink(points_to, tmp)
    try:
        os.replace(tmp, link)
    except BaseException:
        os.unlink(tmp)
        raise
    _sync_dir(parent)


def write_folder_atomic(folder, files: Mapping[str, bytes], *, replaceable: Callable[[str], bool],
                        what: str = "a folder of other files") -> str:
    """Writes ``files`` (name to content) as the folder ``folder``: every file into a new
    temporary folder beside it, synced, then renamed into place (swapped atomically with an
    existing folder, which is then removed), so a reader sees the old folder or the whole new
    one. An existing folder is replaced only when ``replaceable(path)`` says so; otherwise
    ValueError saying it is ``what``."""
    # A folder may be named with its trailing separator; missing parents are made, as for
    # every other output.
    text = os.fsdecode(os.fspath(folder))
    target = os.path.abspath(check_output_path(text.rstrip(os.sep) or text))
    parent = os.path.dirname(target)
    os.makedirs(parent, exist_ok=True)
    if os.path.lexists(target):
        if not os.path.isdir(target) or os.path.islink(target):
            raise ValueError(f"{folder}: exists and is not a folder; not replaced")
        if not replaceable(target):
            raise ValueError(f"{folder}: is {what}; not replaced")
    tmp = tempfile.mkdtemp(prefix=f".{os.path.basename(target)}.", suffix=".tmp", dir=parent)
    try:
        for name, data in files.items():
            fd = os.open(os.path.join(tmp, name), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            with os.fdopen(fd, "wb") as fh:
                fh.write(data)
                fh.flush()
                os.fsync(fh.fileno())
        os.chmod(tmp, 0o755 & ~_umask())
        _sync_dir(tmp)
        check_pending()
        _swap_into_place(tmp, target)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)  # the new files on failure, the old after a swap
    return target


def _umask() -> int:
    # Read, not set and reset: os.umask would change it for every thread meanwhile.
    try:
        with open("/proc/self/status") as fh:
            for line in fh:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except OSError:
        pass
    return 0o022
