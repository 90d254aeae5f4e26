"""Plants one fault at a time in the C++ core and says which C++ test catches it.

Each site below names a file, a piece of its text that occurs there exactly once, what that
text becomes, and the GoogleTest programs expected to notice. For each site the file is
changed, only those programs are built again (build/mutants, no Python modules), they run,
and the file is put back, byte for byte and with its old modification time, also when the
run is interrupted. A copy of the file waits in build/mutants/restore while it is changed,
so a run that was killed outright is repaired by the next one.

    python3 tools/mutants.py            # every site
    python3 tools/mutants.py history    # the sites whose name or file contains "history"
    python3 tools/mutants.py --list     # the sites, nothing built

Exit status 1 when a fault survives (no test failed), 2 when the sources no longer hold a
site's text or the unchanged tests fail.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "mutants"
RESTORE = BUILD / "restore"
TEST_SECONDS = 300  # a fault that makes a loop endless is caught by this limit


@dataclass(frozen=True)
class Site:
    file: str
    before: str
    after: str
    tests: tuple[str, ...]
    what: str

    @property
    def name(self) -> str:
        return f"{self.file}: {self.what}"


FEATURES = ("feature_job_test",)
PAGE = ("amounts_test",)

SITES = [
    # Stage 2: score history and bands.
    Site("cpp/ml/features_history.cpp", "c825 += q[j] >= kHighThreshold;", "c825 += q[j] > kHighThreshold;", FEATURES,
         "825 count: >= to >"),
    Site("cpp/ml/features_history.cpp", "c500 += q[j] >= kYisThreshold;", "c500 += q[j] > kYisThreshold;", FEATURES,
         "500 count: >= to >"),
    Site("cpp/ml/features_history.cpp", "x >= kYiScore ? 3", "x > kYiScore ? 3", FEATURES, "band 3: >= to >"),
    Site("cpp/ml/features_history.cpp", "x >= kHighThreshold ? 2", "x > kHighThreshold ? 2", FEATURES, "band 2: >= to >"),
    Site("cpp/ml/features_history.cpp", "x >= kYisThreshold ? 1", "x > kYisThreshold ? 1", FEATURES, "band 1: >= to >"),
    Site("cpp/ml/features_history.cpp", "run = x > l1 ?", "run = x >= l1 ?", FEATURES, "rise streak: > to >="),
    Site("cpp/ml/features_history.cpp", "const double l1 = p >= 1 ?", "const double l1 = p > 1 ?", FEATURES,
         "lag 1: >= to >"),
    Site("cpp/ml/features_history.cpp", "lag2.f64[i] = p >= 2 ?", "lag2.f64[i] = p > 2 ?", FEATURES,
         "lag 2: >= to >"),
    Site("cpp/ml/features_history.cpp", "const double l3 = p >= 3 ?", "const double l3 = p > 3 ?", FEATURES,
         "lag 3: >= to >"),
    Site("cpp/ml/features_history.cpp", "(p >= 1 && !std::isnan(prev_raw))", "(p > 1 && !std::isnan(prev_raw))",
         FEATURES, "previous risk: >= to >"),
    Site("cpp/ml/features_history.cpp", "prev != 0.0 ? d / prev : 0.0", "prev == 0.0 ? d / prev : 0.0", FEATURES,
         "risk change share: != to =="),
    # Stage 3: flags, region code, label.
    Site("cpp/ml/features_flags.cpp", "prev.i64[i] = p >= 1 ?", "prev.i64[i] = p > 1 ?", FEATURES,
         "previous flag: >= to >"),
    Site("cpp/ml/features_flags.cpp", "was_yi.i64[i] = p >= 1 ?", "was_yi.i64[i] = p > 1 ?", FEATURES,
         "previous YI: >= to >"),
    Site("cpp/ml/features_flags.cpp", "to_scored <= horizon", "to_scored < horizon", FEATURES,
         "label horizon (scored row): <= to <"),
    Site("cpp/ml/features_flags.cpp", "to_yi <= horizon", "to_yi < horizon", FEATURES,
         "label horizon (YI row): <= to <"),
    Site("cpp/ml/features_flags.cpp", "? static_cast<std::int64_t>(v) : 0", "? std::llround(v) : 0", FEATURES,
         "region code: truncation to rounding"),
    # Stage 1 and the diagnostic columns.
    Site("cpp/ml/features_load.cpp", "num.f64[i] = yi ? kYiScore", "num.f64[i] = yi ? 999.0", FEATURES,
         "\"YI\" score: 1000 to 999"),
    Site("cpp/ml/features_output.cpp", "out[i] = static_cast<std::int64_t>(src.f64[r]);",
         "out[i] = std::llround(src.f64[r]);", FEATURES, "diagnostic value: truncation to rounding"),
    Site("cpp/ml/features_output.cpp", "if (r < 0) out[i] = dflt;", "if (r <= 0) out[i] = dflt;", FEATURES,
         "diagnostic default: < to <="),
    # Amounts in million TL and score codes.
    Site("cpp/pipeline/amounts.cpp", "whole_to_integer(std::nearbyint(m), arena)",
         "whole_to_integer(std::round(m), arena)", PAGE, "amount: halves to even to halves away from zero"),
    Site("cpp/pipeline/amounts.cpp", "if (std::fabs(m) >= 1) {", "if (std::fabs(m) > 1) {", PAGE,
         "amount: whole from one million, >= to >"),
    Site("cpp/pipeline/amounts.cpp", "w >= -kTwo63 && w < kTwo63", "w > -kTwo63 && w < kTwo63", PAGE,
         "amount: lowest 64-bit integer, >= to >"),
    Site("cpp/pipeline/amounts.cpp", "w >= -kTwo63 && w < kTwo63", "w >= -kTwo63 && w <= kTwo63", PAGE,
         "amount: beyond 64 bits, < to <="),
    Site("cpp/pipeline/amounts.cpp", "halvex::round_decimals(m, 1)", "halvex::round_decimals(m, 2)", PAGE,
         "amount below a million: one decimal to two"),
    Site("cpp/pipeline/amounts.cpp", "whole_to_integer(std::trunc(d), arena)",
         "whole_to_integer(std::floor(d), arena)", PAGE, "score: truncation to floor"),
    Site("cpp/pipeline/amounts.cpp", "whole_to_integer(std::trunc(d), arena)",
         "whole_to_integer(std::nearbyint(d), arena)", PAGE, "score: truncation to rounding"),
    Site("cpp/common/number_text.cpp", "if (std::fabs(frac - 0.5) > 1e-6) {", "if (std::fabs(frac - 0.5) >= 0.0) {",
         PAGE, "round_decimals: near halves by the scaled product"),
    # Chunking.
    Site("cpp/pipeline/chunks.cpp", "return static_cast<size_t>((n_rows + cs - 1) / cs);",
         "return static_cast<size_t>(n_rows / cs + 1);", PAGE, "chunk count: ceiling to floor + 1"),
    Site("cpp/pipeline/chunks.cpp", "if (n_rows == 0) return 1;", "if (n_rows == 0) return 0;", PAGE,
         "chunk count without rows: 1 to 0"),
    Site("cpp/pipeline/chunks.cpp", "to = std::min(n, from + cs);", "to = std::min(n, from + cs - 1);", PAGE,
         "chunk end: one row short"),
    Site("cpp/pipeline/chunks.cpp", "if (chunk_size < 0) throw", "if (chunk_size < -1) throw", PAGE,
         "negative chunk size: < 0 to < -1"),
    # The trending section.
    Site("cpp/pipeline/trending_html.cpp", "number_of(*son_risk) / 1000000.0, 2)",
         "number_of(*son_risk) / 1000000.0, 1)", PAGE, "trending risk: two decimals to one"),
    Site("cpp/pipeline/trending_html.cpp", "for (size_t i = 0; i < items->size(); ++i) {",
         "for (size_t i = 0; i + 1 < items->size(); ++i) {", PAGE, "trending items: last one left out"),
    Site("cpp/pipeline/trending_html.cpp", "if (!items || !items->truthy()) continue;", "if (!items) continue;",
         PAGE, "trending: empty list gets a card"),
]


def check_sites(sites) -> list[str]:
    """Sites whose text is not in their file exactly once (the code moved on)."""
    bad = []
    for s in sites:
        path = ROOT / s.file
        n = path.read_text(encoding="utf-8").count(s.before) if path.exists() else 0
        if n != 1:
            bad.append(f"{s.name}: {s.before!r} found {n} times in {s.file}")
    return bad


def restore_left_over() -> None:
    """Puts back any file a killed run left changed."""
    if not RESTORE.is_dir():
        return
    for saved in RESTORE.rglob("*"):
        if saved.is_file():
            target = ROOT / saved.relative_to(RESTORE)
            shutil.copy2(saved, target)
            forget_object(target)
            saved.unlink()
            print(f"restored {target.relative_to(ROOT)} from a run that stopped while it was changed")


def forget_object(source: Path) -> None:
    """The object built from a changed file is newer than the file put back (whose old time
    returns), so the build would keep it: removed, it is compiled again from the original."""
    rel = source.relative_to(ROOT).as_posix()
    for obj in BUILD.glob(f"CMakeFiles/*.dir/{rel}.o"):
        obj.unlink()


class Planted:
    """One site's change, undone on leaving (also by an exception or Ctrl-C)."""

    def __init__(self, site: Site):
        self.path = ROOT / site.file
        self.saved = RESTORE / site.file
        self.site = site

    def __enter__(self):
        self.original = self.path.read_bytes()
        self.saved.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(self.path, self.saved)
        text = self.original.decode("utf-8").replace(self.site.before, self.site.after, 1)
        self.path.write_bytes(text.encode("utf-8"))
        return self

    def __exit__(self, *exc):
        stat = self.saved.stat()
        self.path.write_bytes(self.original)
        os.utime(self.path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
        self.saved.unlink()
        forget_object(self.path)
        return False


def run(cmd, **kw) -> subprocess.CompletedProcess:
    return subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


def build(targets, jobs: int) -> str | None:
    """None when built, else the compiler's last lines."""
    p = run(["cmake", "--build", str(BUILD), "-j", str(jobs), "--target", *targets])
    return None if p.returncode == 0 else "\n".join(p.stdout.splitlines()[-15:])


def failures(targets) -> list[str]:
    """The tests that failed (or 'program: crash / time limit'), in the order they ran."""
    out = []
    for t in targets:
        try:
            p = run([str(BUILD / t), "--gtest_brief=1"], timeout=TEST_SECONDS)
        except subprocess.TimeoutExpired:
            out.append(f"{t}: time limit")
            continue
        failed = re.findall(r"^\[  FAILED  \] (\S+)", p.stdout, re.M)
        failed = list(dict.fromkeys(f for f in failed if "." in f))
        if failed:
            out += failed
        elif p.returncode < 0:
            out.append(f"{t}: {signal.Signals(-p.returncode).name}")
        elif p.returncode:
            out.append(f"{t}: exit {p.returncode}")
    return out


def _unwind(signum, frame):
    """SIGTERM unwinds like Ctrl-C, so the file being changed is put back."""
    raise KeyboardInterrupt


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("only", nargs="*", help="run the sites whose name contains one of these words")
    ap.add_argument("--list", action="store_true", help="list the sites and stop")
    ap.add_argument("-j", "--jobs", type=int, default=2)
    a = ap.parse_args(argv)
    sites = [s for s in SITES if not a.only or any(w in s.name for w in a.only)]
    if a.list:
        for s in sites:
            print(f"{s.name}   [{s.before} -> {s.after}]")
        return 0
    signal.signal(signal.SIGTERM, _unwind)
    restore_left_over()
    bad = check_sites(sites)
    if bad:
        print("sites no longer in the sources (update tools/mutants.py):\n  " + "\n  ".join(bad))
        return 2
    targets = sorted({t for s in sites for t in s.tests})
    p = run(["cmake", "-S", ".", "-B", str(BUILD), "-DHALVEX_BUILD_TESTS=ON", "-DHALVEX_BUILD_PYTHON=OFF",
             "-DCMAKE_BUILD_TYPE=Release"])
    if p.returncode:
        print(p.stdout)
        return 2
    error = build(targets, a.jobs)
    if error or failures(targets):
        print(error or f"the tests fail without any fault: {failures(targets)}")
        return 2
    survived = 0
    start = time.monotonic()
    try:
        for s in sites:
            with Planted(s):
                error = build(s.tests, a.jobs)
                caught = ["(does not compile)"] if error else failures(s.tests)
            survived += not caught
            verdict = ", ".join(caught[:3]) + (f" (+{len(caught) - 3})" if len(caught) > 3 else "") if caught \
                else "SURVIVED"
            print(f"{s.name:72s}  {verdict}", flush=True)
    except KeyboardInterrupt:
        print("interrupted; the sources are as they were")
        return 130
    print(f"{len(sites)} faults, {len(sites) - survived} caught, {survived} survived "
          f"({time.monotonic() - start:.0f} s)")
    return 1 if survived else 0


if __name__ == "__main__":
    sys.exit(main())
