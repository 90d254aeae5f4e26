"""Conversion fuzzer for the renderer's Python entry points.

Hypothesis draws *recipes*: plain JSON data that describe a Python value (nested dicts, lists,
tuples, numbers of every kind, lone surrogates, non-str keys, cycles, very deep nesting and
hostile objects whose __float__ / __str__ / __eq__ / __hash__ / __bool__ / ... mutate the
document or its rows while the renderer is reading them). Each recipe is built into the live
value and handed to one entry point. A Python exception is a fine outcome; a crash (a signal,
or a sanitizer report) is not.

Cases run in batches in child processes. Before each call the child writes the case to a
file, so when a child dies the parent keeps the case that killed it as a reproducer
(OUT/convert-*.json, with the tail of the child's stderr).

    fuzz_convert.py --seconds 600 --out tests/fuzz/crashes   # fuzz for ten minutes
    fuzz_convert.py --replay tests/fuzz/crashes/convert-....json  # one case, in this process
"""

from __future__ import annotations

import argparse
import faulthandler
import gc
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import numpy as np

# ---------------------------------------------------------------------------------------------
# Recipes and how they become values

ROW_KEYS = ("muta", "unvan", "segment", "son_risk", "bolge_kodu", "sube_kodu", "qvr2025-01",
            "qvr2025-02", "r2025-02", "rd2025-02", "df2025-02", "_hizli_yukselen", "_rejim_degisimi",
            "_potansiyel_yi", "_erken_sinyal", "_yakalanan", "_kacirilan", "_qvr_neden", "_ml_yi_prob")
DONEMLER = ["2025-01", "2025-02"]
EXTRA_KEYS = ("page_mode", "trending", "ml_predictions", "backtest_summary", "backtest_firma", "admin")
TRENDING_KEYS = ("generated_at", "fastest_rising", "regime_change", "persistent_high", "low_but_rising")
NP_TYPES = ("int8", "int64", "uint64", "float16", "float32", "float64", "bool_", "str_", "longdouble")
HOOKS = ("__float__", "__index__", "__int__", "__str__", "__repr__", "__eq__", "__hash__", "__bool__",
         "__lt__", "__format__")
BASES = ("object", "str", "int", "float", "dict", "list")
ACTIONS = ("noop", "clear", "append", "grow", "rows_clear", "rows_shrink", "rows_replace", "doc_clear",
           "meta_clear", "gc", "raise")


class Ctx:
    """What hostile hooks reach: every container built for the case, and the document."""

    def __init__(self) -> None:
        self.containers: list = []
        self.doc = None

    def act(self, action) -> None:
        name = action[0]
        if name == "noop":
            return
        if name == "raise":
            raise ValueError("hostile hook")
        if name == "gc":
            gc.collect()
            return
        if name in ("clear", "append", "grow"):
            if not self.containers:
                return
            c = self.containers[action[1] % len(self.containers)]
            if name == "clear":
                c.clear()
            elif isinstance(c, list):
                c.extend([None, "x" * 50] * 60)  # also moves the list's item buffer
            else:
                for k in range(64):  # resizes the dict's table
                    c[f"grown{k}"] = k
            return
        doc = self.doc if isinstance(self.doc, dict) else None
        if doc is None:
            return
        rows = doc.get("rows")
        if name == "rows_clear" and isinstance(rows, list):
            rows.clear()
        elif name == "rows_shrink" and isinstance(rows, list):
            del rows[len(rows) // 2:]
        elif name == "rows_replace":
            doc["rows"] = [{"muta": 1}]
        elif name == "doc_clear":
            doc.clear()
        elif name == "meta_clear" and isinstance(doc.get("meta"), dict):
            doc["meta"].clear()


CTX = Ctx()


def _hostile_class(base: type):
    """A subclass of `base` whose hooks run an action on the document before answering."""

    def hook(name, answer):
        def method(self, *args):
            if self._left > 0:
                self._left -= 1
                CTX.act(self._action)
            return answer(self, *args)
        method.__name__ = name
        return method

    ns = {
        "__float__": hook("__float__", lambda s: 1.5),
        "__index__": hook("__index__", lambda s: 7),
        "__int__": hook("__int__", lambda s: 7),
        "__str__": hook("__str__", lambda s: "hostile"),
        "__repr__": hook("__repr__", lambda s: "hostile"),
        "__format__": hook("__format__", lambda s, spec: "hostile"),
        "__eq__": hook("__eq__", lambda s, o: s is o),
        "__ne__": hook("__ne__", lambda s, o: s is not o),
        "__lt__": hook("__lt__", lambda s, o: False),
        "__gt__": hook("__gt__", lambda s, o: False),
        "__hash__": hook("__hash__", lambda s: 1),
        "__bool__": hook("__bool__", lambda s: True),
    }
    if base is dict:
        for name in ("__getitem__", "get", "items", "keys", "values", "__iter__", "__len__", "__contains__"):
            ns[name] = hook(name, lambda s, *a, _n=name: getattr(dict, _n)(s, *a))
    if base is list:
        for name in ("__getitem__", "__iter__", "__len__"):
            ns[name] = hook(name, lambda s, *a, _n=name: getattr(list, _n)(s, *a))
    return type(f"Hostile_{base.__name__}", (base,), ns)


HOSTILE = {"object": _hostile_class(object), "str": _hostile_class(str), "int": _hostile_class(int),
           "float": _hostile_class(float), "dict": _hostile_class(dict), "list": _hostile_class(list)}
_SEED_VALUE = {"object": (), "str": ("hostile",), "int": (3,), "float": (2.5,), "dict": (), "list": ()}


def _np_scalar(dtype: str, text: str):
    t = getattr(np, dtype)
    if dtype == "str_":
        return np.str_(text)
    if dtype == "bool_":
        return np.bool_(text not in ("", "0", "False"))
    with np.errstate(all="ignore"):
        try:
            return t(float(text)) if dtype.startswith(("float", "longdouble")) else t(int(float(text)) % 2**63)
        except (OverflowError, ValueError):
            return t(0)


def build(recipe, stack=None):
    """The live value a recipe describes. Containers are registered in CTX before they are
    filled, so cycles and hooks can reach them."""
    stack = [] if stack is None else stack
    kind = recipe[0]
    if kind == "none":
        return None
    if kind == "bool":
        return bool(recipe[1])
    if kind == "int":
        return int(recipe[1])
    if kind == "float":
        return float.fromhex(recipe[1])
    if kind == "str":
        return recipe[1]
    if kind == "bytes":
        return bytes.fromhex(recipe[1])
    if kind == "decimal":
        return Decimal(recipe[1])
    if kind == "fraction":
        return Fraction(recipe[1])
    if kind == "np":
        return _np_scalar(recipe[1], recipe[2])
    if kind in ("list", "dict"):
        out = [] if kind == "list" else {}
        CTX.containers.append(out)
        stack.append(out)
        try:
            if kind == "list":
                for item in recipe[1]:
                    out.append(build(item, stack))
            else:
                for k, v in recipe[1]:
                    key = build(k, stack)
                    try:
                        out[key] = build(v, stack)
                    except TypeError:  # an unhashable key drawn for a dict: leave it out
                        pass
        finally:
            stack.pop()
        return out
    if kind == "tuple":
        return tuple(build(item, stack) for item in recipe[1])
    if kind == "cycle":
        if not stack:
            loop: list = []
            loop.append(loop)
            return loop
        return stack[-1 - recipe[1] % len(stack)]
    if kind == "deep":
        _, shape, depth = recipe
        value = build(recipe[3], stack) if len(recipe) > 3 else 1
        for _ in range(depth):
            value = [value] if shape == "list" else ({"k": value} if shape == "dict" else (value,))
        return value
    if kind == "hostile":
        _, base, action, uses = recipe
        obj = HOSTILE[base](*_SEED_VALUE[base])
        obj._action = action
        obj._left = uses
        return obj
    raise ValueError(f"unknown recipe {kind!r}")


# ---------------------------------------------------------------------------------------------
# Hypothesis strategies for recipes and cases

def strategies(exclude=frozenset()):
    """Cases; `exclude` leaves out recipe kinds ("cycle", "deep", "hostile") whose crashes are
    already known, so that the rest get the fuzzing time."""
    from hypothesis import strategies as st

    floats = st.floats(allow_nan=True, allow_infinity=True).map(lambda f: ["float", f.hex()])
    ints = st.one_of(st.integers(-2**70, 2**70), st.sampled_from([0, 1, -1, 2**63 - 1, 2**63, -2**63 - 1, 10**30]))
    texts = st.one_of(
        st.text(st.characters(exclude_categories=()), max_size=12),
        st.sampled_from(["", "YI", "KOBI", "MIKRO", "2025-01", "2025-02", "01", "\ud800", "a\udfffb",
                         "<script>", "\x00", "Şahin", "0012", "nan", "1e5"]),
    ).map(lambda s: ["str", s])
    action = st.one_of(
        st.tuples(st.sampled_from(["clear", "append", "grow"]), st.integers(0, 40)).map(list),
        st.sampled_from(ACTIONS).map(lambda a: [a, 0]),
    )
    hostile = st.tuples(st.just("hostile"), st.sampled_from(BASES), action, st.integers(1, 3)).map(list)
    leaf_kinds = [
        st.just(["none"]),
        st.booleans().map(lambda b: ["bool", b]),
        ints.map(lambda i: ["int", str(i)]),
        floats,
        texts,
        st.binary(max_size=6).map(lambda b: ["bytes", b.hex()]),
        st.decimals(allow_nan=True, allow_infinity=True, places=None).map(lambda d: ["decimal", str(d)]),
        st.fractions().map(lambda q: ["fraction", str(q)]),
        st.tuples(st.just("np"), st.sampled_from(NP_TYPES), st.sampled_from(["0", "1", "-3", "1e300", "nan", "inf", "65504", "x"])).map(list),
    ]
    if "cycle" not in exclude:
        leaf_kinds.append(st.integers(0, 3).map(lambda k: ["cycle", k]))
    if "hostile" not in exclude:
        leaf_kinds.append(hostile)
    else:
        hostile = st.just(["none"])
    leaf = st.one_of(*leaf_kinds)
    deep = st.tuples(st.just("deep"), st.sampled_from(["list", "dict", "tuple"]),
                     st.sampled_from([2, 100, 999, 1001, 5000, 50_000, 200_000, 200_000]), leaf).map(list)
    if "deep" in exclude:
        deep = leaf
    key = st.one_of(texts, ints.map(lambda i: ["int", str(i)]), floats, st.just(["none"]),
                    st.booleans().map(lambda b: ["bool", b]), hostile,
                    st.lists(texts, max_size=2).map(lambda xs: ["tuple", xs]))
    value = st.recursive(
        st.one_of(leaf, deep),
        lambda inner: st.one_of(
            st.lists(inner, max_size=5).map(lambda xs: ["list", xs]),
            st.lists(inner, max_size=3).map(lambda xs: ["tuple", xs]),
            st.lists(st.tuples(key, inner).map(list), max_size=5).map(lambda ms: ["dict", ms]),
        ),
        max_leaves=12,
    )

    def named(names, val):
        return st.lists(st.tuples(st.sampled_from(names).map(lambda k: ["str", k]), val).map(list), max_size=len(names))

    def fixed(mapping):
        return ["dict", [[["str", k], v] for k, v in mapping]]

    realistic_donemler = st.just(["list", [["str", d] for d in DONEMLER]])
    donemler = st.one_of(realistic_donemler, realistic_donemler, value)
    row = st.one_of(
        st.tuples(named(ROW_KEYS, value), st.lists(st.tuples(key, value).map(list), max_size=2))
        .map(lambda t: ["dict", t[0] + t[1]]),
        value, hostile.map(lambda h: ["hostile", "dict", h[2], h[3]] if h[0] == "hostile" else h),
    )
    rows = st.one_of(st.lists(row, max_size=6).map(lambda xs: ["list", xs]), value, hostile)
    finding = named(("katman", "kriter", "grup", "aciklama"), value).map(lambda ms: ["dict", ms])
    diag = st.one_of(
        st.lists(st.tuples(key, st.lists(st.tuples(st.sampled_from(DONEMLER).map(lambda d: ["str", d]),
                 named(("bulgular", "yeni_gruplar"), st.one_of(st.lists(finding, max_size=3).map(lambda f: ["list", f]), value))
                 .map(lambda ms: ["dict", ms])).map(list), max_size=2).map(lambda ms: ["dict", ms])).map(list), max_size=3)
        .map(lambda ms: ["dict", ms]),
        value,
    )
    doc = st.tuples(donemler, donemler, rows, st.one_of(st.none(), diag), st.one_of(st.none(), value)).map(
        lambda t: fixed([("meta", fixed([("donemler", t[0]), ("risk_donemler", t[1])])), ("rows", t[2])]
                        + ([("diag_index", t[3])] if t[3] else []) + ([("flow_matrix", t[4])] if t[4] else [])))
    extra = st.one_of(st.none(), named(EXTRA_KEYS, value).map(lambda ms: ["dict", ms]), value)
    trending = st.one_of(named(TRENDING_KEYS, st.one_of(st.lists(row, max_size=3).map(lambda xs: ["list", xs]), value))
                         .map(lambda ms: ["dict", ms]), value)
    amap = st.lists(st.tuples(key, st.one_of(ints.map(lambda i: ["int", str(i)]), value)).map(list), max_size=4).map(
        lambda ms: ["dict", ms])
    filters = st.sampled_from([None, "true", "false", "alternate", "raise", "rows_clear", "rows_append", "hostile_bool"])

    def case(target, **args):
        return st.fixed_dictionaries({"target": st.just(target), **args})

    return st.one_of(
        case("render_html", doc=doc, row_filter=filters, extra_data=extra, chunk_size=st.sampled_from([1, 2, 10000]),
             top_n=st.sampled_from([0, 1, 100])),
        case("_row_to_array", row=row, donemler=donemler, risk_donemler=donemler, bolge_map=amap, sube_map=amap),
        case("_row_to_array_v300", row=row, donemler=donemler, risk_donemler=donemler),
        case("_mio", v=value),
        case("_slim_diag_index", diag=diag),
        case("_build_trending_html", trending=trending),
        case("_build_bolge_sube_maps", rows=rows),
    )


# ---------------------------------------------------------------------------------------------
# Running one case

def _row_filter(kind):
    if kind is None:
        return None
    calls = [0]

    def keep(row):
        calls[0] += 1
        if kind == "true":
            return True
        if kind == "false":
            return False
        if kind == "alternate":
            return calls[0] % 2 == 0
        if kind == "raise":
            raise RuntimeError("filter")
        if kind == "rows_clear" and calls[0] == 1:
            CTX.act(["rows_clear"])
        if kind == "rows_append" and calls[0] < 4:
            rows = CTX.doc.get("rows") if isinstance(CTX.doc, dict) else None
            if isinstance(rows, list):
                rows.extend([{"muta": calls[0]}] * 100)
        if kind == "hostile_bool":
            obj = HOSTILE["object"]()
            obj._action, obj._left = ["rows_clear"], 1
            return obj
        return True
    return keep


def run_case(case, out_dir: str) -> None:
    from halvex.pipeline import vitrum

    CTX.containers = []
    CTX.doc = None
    t = case["target"]
    if t == "render_html":
        CTX.doc = build(case["doc"])
        extra = build(case["extra_data"]) if case["extra_data"] is not None else None
        vitrum.render_html(CTX.doc, output_html=os.path.join(out_dir, "page.html"),
                           row_filter=_row_filter(case["row_filter"]), extra_data=extra,
                           chunk_size=case["chunk_size"], top_n=case["top_n"])
    elif t == "_row_to_array":
        vitrum._row_to_array(build(case["row"]), build(case["donemler"]), build(case["risk_donemler"]),
                             build(case["bolge_map"]), build(case["sube_map"]))
    elif t == "_row_to_array_v300":
        vitrum._row_to_array_v300(build(case["row"]), build(case["donemler"]), build(case["risk_donemler"]))
    elif t == "_mio":
        vitrum._mio(build(case["v"]))
    elif t == "_slim_diag_index":
        vitrum._slim_diag_index(build(case["diag"]))
    elif t == "_build_trending_html":
        vitrum._build_trending_html(build(case["trending"]))
    elif t == "_build_bolge_sube_maps":
        rows = build(case["rows"])
        CTX.doc = {"rows": rows}
        vitrum._build_bolge_sube_maps(rows, None)
    else:
        raise ValueError(f"unknown target {t!r}")


def child(seed: int, count: int, case_file: str, exclude: frozenset) -> None:
    from hypothesis import HealthCheck, Phase, given, settings
    from hypothesis import seed as hseed

    faulthandler.enable()
    sys.setrecursionlimit(10_000)
    out_dir = tempfile.mkdtemp(prefix="halvex-fuzz-")

    @hseed(seed)
    @settings(max_examples=count, database=None, deadline=None, phases=[Phase.generate],
              suppress_health_check=list(HealthCheck), derandomize=False)
    @given(strategies(exclude))
    def one(case):
        with open(case_file, "w", encoding="ascii") as fh:
            json.dump(case, fh)
        try:
            run_case(case, out_dir)
        except Exception:  # any Python exception is an acceptable outcome
            pass
        finally:
            CTX.containers = []
            CTX.doc = None

    one()


# ---------------------------------------------------------------------------------------------
# The parent: batches in children, crashes kept

def _signature(case, returncode: int, stderr: str) -> str:
    """What tells one crash from another: the target, the sanitizer's verdict (or the fatal
    signal) and the innermost frame in the extension module."""
    kind = re.search(r"SUMMARY: (\w+Sanitizer: [\w-]+)|runtime error: ([^\n]{0,60})|Fatal Python error: (\w+)", stderr)
    verdict = next((g for g in kind.groups() if g), "") if kind else ""
    frames = re.findall(r"#\d+ 0x[0-9a-f]+ in (\S+) ", stderr)
    own = [f for f in frames if "halvex" in f or "vitrum" in f or "features" in f]
    if not own:
        own = re.findall(r"\((\S*(?:vitrum|features)\S*\+0x[0-9a-f]+)\)", stderr)
    return f"{case.get('target')}|{returncode}|{verdict}|{own[0] if own else ''}"


def parent(seconds: float, out: Path, batch: int, timeout: float, first_seed: int, exclude: str) -> int:
    out.mkdir(parents=True, exist_ok=True)
    deadline = time.monotonic() + seconds
    seen: dict[str, int] = {}
    seed, cases, crashes = first_seed, 0, 0
    env = dict(os.environ, PYTHONFAULTHANDLER="1")
    symbolizer = shutil.which("llvm-symbolizer") or shutil.which("llvm-symbolizer-14")
    if symbolizer and "ASAN_SYMBOLIZER_PATH" not in env:  # function names in sanitizer reports
        env["ASAN_SYMBOLIZER_PATH"] = symbolizer
    with tempfile.TemporaryDirectory(prefix="halvex-fuzz-parent-") as tmp:
        case_file = os.path.join(tmp, "case.json")
        while time.monotonic() < deadline:
            if os.path.exists(case_file):
                os.remove(case_file)
            cmd = [sys.executable, os.path.abspath(__file__), "--child", "--seed", str(seed), "--count", str(batch),
                   "--case-file", case_file, "--exclude", exclude]
            left = max(5.0, min(timeout, deadline - time.monotonic() + 30))
            try:
                proc = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env, timeout=left)
                rc, err = proc.returncode, proc.stderr.decode("utf-8", "replace")
            except subprocess.TimeoutExpired as e:
                rc, err = "timeout", (e.stderr or b"").decode("utf-8", "replace")
            seed += 1
            cases += batch
            if rc == 0:
                continue
            if rc == "timeout" and time.monotonic() >= deadline:
                break
            try:
                case = json.loads(Path(case_file).read_text(encoding="ascii"))
            except (OSError, ValueError):
                case = {"target": "?", "note": "no case written"}
            sig = _signature(case, rc if isinstance(rc, int) else -1, err)
            seen[sig] = seen.get(sig, 0) + 1
            crashes += 1
            print(f"crash #{crashes} (seed {seed - 1}, exit {rc}): {sig}", flush=True)
            if seen[sig] <= 2:  # a few reproducers per distinct crash are enough
                blob = json.dumps(case, sort_keys=True)
                name = f"convert-{case.get('target', 'x').strip('_')}-{hashlib.sha1(blob.encode()).hexdigest()[:10]}.json"
                (out / name).write_text(json.dumps({"case": case, "exit": rc, "signature": sig,
                                                    "stderr_head": err[:5000], "stderr_tail": err[-3000:]}, indent=1), encoding="ascii")
    print(f"fuzz_convert: {seed - first_seed} batches (about {cases} cases), {crashes} crashing batches, "
          f"{len(seen)} distinct crash signatures")
    for sig, n in sorted(seen.items(), key=lambda kv: -kv[1]):
        print(f"  {n:4d}  {sig}")
    return 0


def replay(path: Path) -> None:
    data = json.loads(path.read_text(encoding="ascii"))
    case = data.get("case", data)
    faulthandler.enable()
    sys.setrecursionlimit(10_000)
    with tempfile.TemporaryDirectory() as tmp:
        try:
            run_case(case, tmp)
        except Exception as e:
            print(f"raised {type(e).__name__}: {str(e)[:200]}")
        else:
            print("returned")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--out", type=Path, default=Path(__file__).with_name("crashes"))
    ap.add_argument("--batch", type=int, default=200, help="cases per child process")
    ap.add_argument("--timeout", type=float, default=300, help="seconds one child may take")
    ap.add_argument("--seed", type=int, default=int(time.time()) % 100_000)
    ap.add_argument("--replay", type=Path)
    ap.add_argument("--exclude", default="", help="recipe kinds to leave out: cycle,deep,hostile")
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--count", type=int, default=200, help=argparse.SUPPRESS)
    ap.add_argument("--case-file", help=argparse.SUPPRESS)
    a = ap.parse_args(argv)
    if a.replay:
        replay(a.replay)
        return 0
    if a.child:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        child(a.seed, a.count, a.case_file, frozenset(filter(None, a.exclude.split(","))))
        return 0
    return parent(a.seconds, a.out, a.batch, a.timeout, a.seed, a.exclude)


if __name__ == "__main__":
    sys.exit(main())
