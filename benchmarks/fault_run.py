"""Fault run of the file paths: documents changed while they are read, writers killed or
racing, a full file system and special output paths. Bounded in tries and time; prints the
counts that must stay zero (signals, hangs, inconsistent pages, replaced special files, ...).

    .venv/bin/python benchmarks/fault_run.py [--tries 200] [--rows 3000] [--seconds 900]

--tries is per renderer (render_html, render_html_v300) for the changed-document part.
The full-file-system part mounts a 1 MB tmpfs and is skipped where that is not permitted.
"""

from __future__ import annotations

import argparse
import errno
import hashlib
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from pathlib import Path

WORKER = r"""
import hashlib, io, json, os, sys, contextlib
from halvex.pipeline import vitrum
for line in sys.stdin:
    cmd = json.loads(line)
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            render = vitrum.render_html_v300 if cmd["v300"] else vitrum.render_html
            render(cmd["doc"], output_html=cmd["out"])
        with open(cmd["out"], "rb") as fh:
            res = {"ok": True, "sha": hashlib.sha256(fh.read()).hexdigest()}
    except Exception as exc:
        res = {"ok": False, "type": type(exc).__name__, "msg": str(exc)[:200]}
    print(json.dumps(res), flush=True)
"""


class Worker:
    """A renderer process fed one command per line; restarted after a signal or a hang."""

    def __init__(self) -> None:
        self.proc = None
        self.start()

    def start(self) -> None:
        self.proc = subprocess.Popen([sys.executable, "-c", WORKER], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)

    def send(self, cmd: dict) -> None:
        self.proc.stdin.write(json.dumps(cmd) + "\n")
        self.proc.stdin.flush()

    def result(self, timeout: float):
        """The reply, or ("signal", n) / ("hang", None)."""
        box = {}
        t = threading.Thread(target=lambda: box.setdefault("line", self.proc.stdout.readline()), daemon=True)
        t.start()
        t.join(timeout)
        if t.is_alive():
            self.proc.kill()
            self.proc.wait()
            self.start()
            return "hang", None
        line = box.get("line", "")
        if not line:
            rc = self.proc.wait()
            self.start()
            return "signal", -rc if rc < 0 else rc
        return "reply", json.loads(line)

    def close(self) -> None:
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


def sha(path) -> str:
    with open(path, "rb") as fh:
        return hashlib.sha256(fh.read()).hexdigest()


def leftover_temps(folder, target: str | None = None) -> list[str]:
    """Temporary files of the atomic writer in `folder` (of one target's name, if given)."""
    mark = f".{target}.hxtmp." if target else ".hxtmp."
    return [n for n in os.listdir(folder) if mark in n]


# --- 1. documents changed while they are read -------------------------------------------------

def changed_documents(work: Path, rows: int, tries: int, deadline: float, renderers=(False, True)) -> dict:
    from halvex.sample.scoreboard import make_scoreboard, write_scoreboard_json

    src = write_scoreboard_json(work / "src.json", make_scoreboard(rows, seed=11))
    original = src.read_bytes()
    alternate = original.replace(b'"KOBI"', b'"ESKK"')  # same size, another valid document
    assert len(alternate) == len(original) and alternate != original
    doc, out = work / "doc.json", work / "page.html"
    worker = Worker()
    counts = {}
    try:
        for v300 in renderers:
            name = "render_html_v300" if v300 else "render_html"
            expected = {}
            t0 = time.perf_counter()
            for label, text in (("original", original), ("alternate", alternate)):
                doc.write_bytes(text)
                worker.send({"doc": str(doc), "out": str(out), "v300": v300})
                kind, res = worker.result(120)
                assert kind == "reply" and res["ok"], res
                expected[res["sha"]] = label
            duration = (time.perf_counter() - t0) / 2
            # The counts that must stay zero are shown also when they do.
            c = Counter({"signals": 0, "hangs": 0, "rendered (INCONSISTENT)": 0, "existing page lost": 0,
                         "temporary files left": 0})
            for i in range(tries):
                if time.time() > deadline:
                    c["stopped at the time limit"] += 1
                    break
                how = ("truncate", "rewrite in place", "truncate and rewrite")[i % 3]
                doc.write_bytes(original)
                out.write_bytes(b"OLD PAGE")
                worker.send({"doc": str(doc), "out": str(out), "v300": v300})
                time.sleep(random.uniform(0, duration * 1.3))
                if how == "truncate":
                    os.truncate(doc, random.randrange(len(original)))
                elif how == "rewrite in place":
                    with open(doc, "r+b") as fh:
                        fh.write(alternate)
                else:
                    with open(doc, "wb") as fh:
                        fh.write(alternate)
                kind, res = worker.result(60)
                c["tries"] += 1
                if kind == "signal":
                    c["signals"] += 1
                elif kind == "hang":
                    c["hangs"] += 1
                elif res["ok"]:
                    c["rendered (" + expected.get(res["sha"], "INCONSISTENT") + ")"] += 1
                    if res["sha"] not in expected:
                        c[f"INCONSISTENT after: {how}"] += 1
                        shutil.copy(out, work / f"inconsistent_{name}_{i}.html")
                elif "the document changed while it was read" in res["msg"]:
                    c["clear error: document changed"] += 1
                    if out.read_bytes() != b"OLD PAGE":
                        c["existing page lost"] += 1
                else:
                    # A file cut before it was opened is read whole, as the bad JSON it then is.
                    legit = how != "rewrite in place" and res["type"] == "JSONDecodeError"
                    c[("error of the file as cut before it was opened: " if legit else "other error: ")
                      + res["type"]] += 1
                    if out.read_bytes() != b"OLD PAGE":
                        c["existing page lost"] += 1
                if leftover_temps(work):
                    c["temporary files left"] += 1
            counts[name] = dict(c)
    finally:
        worker.close()
    return counts


# --- 2. writers killed, writers racing ---------------------------------------------------------

KILLED_WRITER = r"""
import sys, io, contextlib
from halvex.pipeline import vitrum
with contextlib.redirect_stdout(io.StringIO()):
    while True:
        vitrum.render_html(sys.argv[1], output_html=sys.argv[2])
"""


KILLED_OUTPUT = r"""
import sys
from halvex._output import atomic_output
block = 0
while True:
    block = (block + 1) % 26
    with atomic_output(sys.argv[1], "wb") as fh:
        for _ in range(40):
            fh.write(bytes([65 + block]) * (1 << 20))
"""


def killed_and_racing_writers(work: Path, rows: int, tries: int, deadline: float) -> dict:
    from halvex.sample.scoreboard import make_scoreboard, write_scoreboard_json

    c = Counter({"partial files": 0, "partial or foreign page": 0, "partial or mixed page after a race": 0,
                 "racing writer failed": 0})
    docs = [write_scoreboard_json(work / f"w{k}.json", make_scoreboard(rows * 3, seed=20 + k)) for k in (0, 1)]
    out = work / "page.html"
    pages = set()
    for d in docs:
        subprocess.run([sys.executable, "-c", KILLED_WRITER.replace("while True:", "if True:"), str(d), str(out)],
                       check=True)
        pages.add(sha(out))
    # SIGKILL at a random moment of a loop of atomic_output writes of 40 MB each: the target
    # is always one whole file.
    data_out = work / "data.bin"
    for k in range(max(1, tries // 2)):
        if time.time() > deadline:
            break
        p = subprocess.Popen([sys.executable, "-c", KILLED_OUTPUT, str(data_out)])
        time.sleep(random.uniform(0.5, 3.0))
        p.send_signal(signal.SIGKILL)
        p.wait()
        c["kills of atomic_output writers"] += 1
        if data_out.exists():
            with open(data_out, "rb") as fh:
                data = fh.read()
            if len(data) != 40 << 20 or data.count(data[:1]) != len(data):
                c["partial files"] += 1
    # SIGKILL at a random moment of a render loop: the page is always one whole page.
    for _ in range(tries):
        if time.time() > deadline:
            c["stopped at the time limit"] += 1
            break
        p = subprocess.Popen([sys.executable, "-c", KILLED_WRITER, str(docs[0]), str(out)])
        time.sleep(random.uniform(0.3, 2.0))
        p.send_signal(signal.SIGKILL)
        p.wait()
        c["kills"] += 1
        if sha(out) not in pages:
            c["partial or foreign page"] += 1
    left = leftover_temps(work, "page.html")
    c["temporary files left by killed renders"] = len(left)
    # Once they are old enough, the next successful write of the page removes them.
    past = time.time() - 3600
    for name in left:
        os.utime(work / name, (past, past))
    subprocess.run([sys.executable, "-c", KILLED_WRITER.replace("while True:", "if True:"), str(docs[1]), str(out)],
                   check=True)
    c["of those left after the next render"] = len(leftover_temps(work, "page.html"))
    left = leftover_temps(work, "data.bin")
    c["temporary files left by killed atomic_output writers"] = len(left)
    for name in left:
        os.utime(work / name, (past, past))
    subprocess.run([sys.executable, "-c", KILLED_OUTPUT.replace("while True:", "if True:"), str(data_out)],
                   check=True)
    c["of those left after the next write of data.bin"] = len(leftover_temps(work, "data.bin"))
    # Two writers of different pages to one target at once.
    for _ in range(max(1, tries // 4)):
        if time.time() > deadline:
            break
        ps = [subprocess.Popen([sys.executable, "-c", KILLED_WRITER.replace("while True:", "for _ in range(3):"),
                                str(d), str(out)]) for d in docs]
        for p in ps:
            p.wait()
            if p.returncode != 0:
                c["racing writer failed"] += 1
        c["races"] += 1
        if sha(out) not in pages:
            c["partial or mixed page after a race"] += 1
    c["temporary files left after races"] = len(leftover_temps(work))
    return dict(c)


# --- 3. a full file system ---------------------------------------------------------------------

def full_file_system(work: Path, rows: int) -> dict:
    from halvex._output import atomic_output
    from halvex.pipeline import vitrum
    from halvex.sample.scoreboard import make_scoreboard, write_scoreboard_json

    mnt = work / "small_fs"
    mnt.mkdir()
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mnt)], capture_output=True)
    if r.returncode != 0:
        return {"skipped": "mounting a tmpfs is not permitted here"}
    c = Counter({"existing page lost": 0})
    try:
        doc = write_scoreboard_json(work / "big.json", make_scoreboard(max(rows, 40000), seed=5))
        page = mnt / "page.html"
        for v300 in (False, True):
            page.write_bytes(b"OLD PAGE")
            name = "render_html_v300" if v300 else "render_html"
            try:
                with open(os.devnull, "w") as null, contextlib_redirect(null):
                    (vitrum.render_html_v300 if v300 else vitrum.render_html)(str(doc), output_html=str(page))
                c[f"{name}: page fitted ({page.stat().st_size // 1024} KB)"] += 1
            except OSError as exc:
                c[f"{name}: OSError errno {errno.errorcode.get(exc.errno, exc.errno)}"] += 1
                if page.read_bytes() != b"OLD PAGE":
                    c["existing page lost"] += 1
        page.write_bytes(b"OLD PAGE")
        try:
            with atomic_output(mnt / "page.html") as fh:
                fh.write("x" * (2 << 20))
        except OSError as exc:
            c[f"atomic_output: OSError errno {errno.errorcode.get(exc.errno, exc.errno)}"] += 1
        if page.read_bytes() != b"OLD PAGE":
            c["existing page lost"] += 1
        c["temporary files left"] = len(leftover_temps(mnt))
    finally:
        subprocess.run(["umount", str(mnt)], capture_output=True)
    return dict(c)


def contextlib_redirect(stream):
    import contextlib
    return contextlib.redirect_stdout(stream)


# --- 4. special output paths -------------------------------------------------------------------

def special_outputs(work: Path) -> dict:
    from halvex._output import atomic_output
    from halvex.pipeline import vitrum
    from halvex.sample.scoreboard import make_scoreboard, write_scoreboard_json

    c = Counter()
    doc = write_scoreboard_json(work / "s.json", make_scoreboard(50, seed=4))

    def render(out):
        with open(os.devnull, "w") as null, contextlib_redirect(null):
            return vitrum.render_html(str(doc), output_html=str(out))

    def outcome(label, f):
        try:
            f()
            c[f"{label}: written"] += 1
        except (OSError, ValueError) as exc:
            c[f"{label}: {type(exc).__name__}"] += 1

    fifo = work / "out.fifo"
    os.mkfifo(fifo)
    got = {}
    t = threading.Thread(target=lambda: got.setdefault("n", len(open(fifo, "rb").read())))
    t.start()
    outcome("named pipe", lambda: render(fifo))
    t.join(60)
    if t.is_alive() or not got.get("n"):
        c["named pipe: nothing received"] += 1
    if not fifo.is_fifo():
        c["replaced special files"] += 1
    outcome("/dev/null", lambda: render("/dev/null"))
    if not Path("/dev/null").is_char_device():
        c["replaced special files"] += 1
    link = work / "stdout_link"
    link.symlink_to("/proc/self/fd/1")
    r = subprocess.run([sys.executable, "-m", "halvex.cli", "render", str(doc), "-o", str(link)],
                       capture_output=True)
    c["stdout pipe: " + ("written" if r.returncode == 0 and r.stdout.startswith(b"<!") else "FAILED")] += 1
    if not link.is_symlink():
        c["replaced special files"] += 1
    dangling = work / "dangling.html"
    dangling.symlink_to("target_dir/real.html")
    outcome("dangling link", lambda: render(dangling))
    if not dangling.is_symlink() or not (work / "target_dir/real.html").is_file():
        c["dangling link not written through"] += 1
    (work / "loop_a").symlink_to("loop_b")
    (work / "loop_b").symlink_to("loop_a")
    outcome("link loop", lambda: render(work / "loop_a"))
    outcome("trailing separator", lambda: atomic_output(str(work / "folder") + "/").__enter__())
    outcome("embedded NUL", lambda: render(work / "a\0b.html"))
    outcome("250-character name", lambda: render(work / ("n" * 245 + ".html")))
    for f in (fifo, link):
        if f.exists() and f.is_file() and not f.is_symlink():
            c["replaced special files"] += 1
    c.setdefault("replaced special files", 0)
    return dict(c)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tries", type=int, default=200)
    ap.add_argument("--rows", type=int, default=3000)
    ap.add_argument("--seconds", type=int, default=900)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--renderers", default="standard,v300", help="for part 0: standard, v300 or both")
    ap.add_argument("--keep", action="store_true", help="keep the work folder (inconsistent pages are copied there)")
    ap.add_argument("--parts", default="0123", help="which parts to run, by number (default all)")
    args = ap.parse_args()
    random.seed(args.seed)
    deadline = time.time() + args.seconds
    work = Path(tempfile.mkdtemp(prefix="halvex_fault_run_"))
    try:
        parts = (
            ("document changed while read",
             lambda d: changed_documents(d, args.rows, args.tries, deadline,
                                         [r == "v300" for r in args.renderers.split(",")])),
            ("killed and racing writers",
             lambda d: killed_and_racing_writers(d, args.rows, max(10, args.tries // 4), deadline)),
            ("full file system", lambda d: full_file_system(d, args.rows)),
            ("special outputs", special_outputs),
        )
        for k, (name, f) in enumerate(parts):
            if str(k) not in args.parts:
                continue
            folder = work / f"part{k}"
            folder.mkdir()
            t0 = time.perf_counter()
            counts = f(folder)
            print(f"== {name} ({time.perf_counter() - t0:.0f} s)")
            print(json.dumps(counts, indent=2, ensure_ascii=False), flush=True)
    finally:
        if args.keep:
            print(f"work folder kept: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
