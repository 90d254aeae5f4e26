"""A model folder on disk: written whole or not at all, read only after its files check out.

Saving writes every file into a new temporary folder beside the target, syncs it and then
renames it into place (swapping it atomically with an earlier model folder, which is then
removed). Loading checks each file's size and SHA-256 against the card before anything
parses it: LightGBM kills the process on a model text cut short.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import errno
import json
import os
import shutil
import tempfile

from halvex._interrupt import check_pending
from halvex._output import check_output_path
from halvex.ml.model.card import CALIBRATION_FILE, CARD_FILE, MODEL_FILE, check_card, sha256

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


def _replaceable(folder: str) -> bool:
    # Only an empty folder or an earlier model is replaced; anything else is someone's data.
    names = os.listdir(folder)
    return not names or CARD_FILE in names


def write_folder(folder, files: dict[str, bytes]) -> str:
    """Writes ``files`` (name to content) as the folder ``folder``, atomically."""
    # A folder may be named with its trailing separator; missing parents are made, as for
    # every other output.
    text = os.fsdecode(os.fspath(folder))
    target = os.path.abspath(check_output_path(text.rstrip(os.sep) or text))
    parent = os.path.dirname(target)
    os.makedirs(parent, exist_ok=True)
    if os.path.lexists(target):
        if not os.path.isdir(target) or os.path.islink(target):
            raise ValueError(f"{folder}: exists and is not a folder; not replaced")
        if not _replaceable(target):
            raise ValueError(f"{folder}: is a folder with other files than a halvex model; "
                             "not replaced")
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
        if os.path.isdir(target) and not os.path.islink(target):
            if not _exchange(tmp, target):
                aside = tmp + ".old"
                os.rename(target, aside)
                os.rename(tmp, target)
                os.rename(aside, tmp)
        else:
            os.rename(tmp, target)
        _sync_dir(parent)
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


def _read(folder: str, name: str) -> bytes:
    try:
        with open(os.path.join(folder, name), "rb") as fh:
            return fh.read()
    except FileNotFoundError:
        raise ValueError(f"{folder}: not a model folder ({name} is missing)") from None


def read_folder(folder) -> tuple[dict, bytes, bytes]:
    """(card, model text, calibration JSON) of a model folder, each file checked against the
    card; ValueError naming what is wrong."""
    folder = os.fspath(folder)
    if not os.path.isdir(folder):
        raise ValueError(f"{folder}: no such model folder")
    try:
        card = json.loads(_read(folder, CARD_FILE).decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError):
        raise ValueError(f"{folder}: {CARD_FILE} is not valid JSON (damaged?)") from None
    check_card(card, folder)
    out = []
    for name in (MODEL_FILE, CALIBRATION_FILE):
        data = _read(folder, name)
        entry = card["files"][name]
        if len(data) != entry["bytes"] or sha256(data) != entry["sha256"]:
            raise ValueError(f"{folder}: {name} is corrupt or truncated ({len(data)} bytes; the "
                             f"card records {entry['bytes']} bytes with another hash)")
        out.append(data)
    return card, out[0], out[1]
