"""Hostile Python values given to the renderer: cycles, deep nesting, objects whose methods change
the data being read, text that cannot be written as UTF-8. Each case runs in its own process,
so a crash fails the case instead of ending the test run."""

import os
import subprocess
import sys
import textwrap

import pytest

PAGE_TEMPLATE = (
    "{{ donemler }}|{{ risk_donemler }}|{{ meta }}|{{ bolge_list_js }}|{{ sube_list_js }}|{{ page_mode }}|"
    "{{ diag_index_js }}|{{ backtest_summary_js }}|{{ backtest_firma_js }}|{{ ml_predictions_js }}\n"
    "{% for c in data_chunks %}{{ c }}\n{% endfor %}"
)

# Shared by every child process: a small document, a render into a temporary folder that
# returns the page text, and a check that a failed render wrote no page.
PRELUDE = """
import copy, fractions, gc, json, os, sys, tempfile, threading
from halvex.pipeline import vitrum
from halvex.sample.scoreboard import make_scoreboard

OUT = os.environ["HALVEX_TEST_OUT"]
BASE = make_scoreboard(40, n_periods=4, n_risk_periods=2, seed=3)

def fresh():
    return copy.deepcopy(BASE)

def copy_text(s):
    # An equal str that is a different object.
    return "".join(list(s))

def render(doc, name="page.html", **kw):
    import contextlib, io
    path = os.path.join(OUT, name)
    with contextlib.redirect_stdout(io.StringIO()):
        vitrum.render_html(doc, output_html=path, **kw)
    with open(path, encoding="utf-8") as f:
        return f.read()

def expect_error(exc_type, fn, match=None, page=None):
    try:
        fn()
    except exc_type as e:
        assert type(e) is exc_type, (type(e), e)
        assert match is None or match in str(e), str(e)
    else:
        raise AssertionError("no " + exc_type.__name__)
    assert page is None or not os.path.exists(os.path.join(OUT, page)), "a page was written"

def cycle_list():
    x = [1, "a"]
    x.append(x)
    return x

def cycle_dict():
    d = {"a": 1}
    d["self"] = d
    return d

def deep(n=50000):
    x = []
    for _ in range(n):
        x = [x]
    return x

def deep_dict(n=50000):
    x = {}
    for _ in range(n):
        x = {"k": x}
    return x

# Blocks freed by a mutation are taken again by texts of the same size, so a view into freed
# text reads something the document never held.
JUNK = []
def churn(size=64):
    JUNK.append(["#" * size for _ in range(2000)])
    del JUNK[:-8]
"""


SANITIZER_ENV = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "HALVEX_SANITIZE_RUN")


@pytest.fixture
def run_child(tmp_path):
    tdir = tmp_path / "templates"
    tdir.mkdir()
    (tdir / "dashboard.html.j2").write_text(PAGE_TEMPLATE, encoding="utf-8")
    (tmp_path / "js").mkdir()

    def run(body, timeout=120):
        out = tmp_path / "out"
        out.mkdir(exist_ok=True)
        env = {"HALVEX_TEMPLATE_DIR": str(tdir), "HALVEX_JS_DIR": str(tmp_path / "js"), "PATH": "/usr/bin:/bin",
               "HALVEX_TEST_OUT": str(out)}
        # A sanitized run's child needs the same preloaded runtime and options.
        env.update({k: v for k, v in os.environ.items() if k in SANITIZER_ENV})
        code = PRELUDE + textwrap.dedent(body) + "\nprint('CHILD-OK')\n"
        p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=timeout)
        assert p.returncode == 0 and "CHILD-OK" in p.stdout, (
            f"exit {p.returncode}\nstdout: {p.stdout[-2000:]}\nstderr: {p.stderr[-4000:]}")
        return p.stdout

    return run


# Where a value is converted, and how a hostile value gets there.
PLACES = {
    "row value": """
def attempt(v):
    d = fresh(); d["rows"][5]["unvan"] = v
    return render(d, name="bad.html")
""",
    "row period value": """
def attempt(v):
    d = fresh(); d["rows"][5]["qvr" + d["meta"]["donemler"][1]] = v
    return render(d, name="bad.html")
""",
    "meta": """
def attempt(v):
    d = fresh(); d["meta"]["extra"] = v
    return render(d, name="bad.html")
""",
    "extra_data": """
def attempt(v):
    return render(fresh(), name="bad.html", extra_data={"backtest_summary": {"x": v}})
""",
    "diag_index": """
def attempt(v):
    d = fresh(); d["diag_index"] = {"1": {"2025-01": {"bulgular": [{"kriter": "K1", "deger": v}]}}}
    return render(d, name="bad.html")
""",
    "trending": """
def attempt(v):
    return vitrum._build_trending_html({"fastest_rising": [{"muta": 1, "unvan": v, "son_risk": 2.0}]})
""",
    "slim_diag_index": """
def attempt(v):
    return vitrum._slim_diag_index({"1": {"2025-01": v}})
""",
    "mio": """
def attempt(v):
    return vitrum._mio(v)
""",
}


@pytest.mark.parametrize("place", sorted(PLACES))
def test_cycles_and_deep_nesting_raise_like_json_dumps(run_child, place):
    run_child(PLACES[place] + """
for make in (cycle_list, cycle_dict):
    expect_error(ValueError, lambda: attempt(make()), match="Circular reference detected", page="bad.html")
for make in (deep, deep_dict):
    expect_error(RecursionError, lambda: attempt(make()), page="bad.html")
# Shared but acyclic values are fine, as they are for json.dumps.
shared = ["s"]
try:
    attempt([shared, shared])
except TypeError:
    pass  # not a text where one is needed: the row's own error
""")


def test_amount_that_edits_rows_and_row_dicts(run_child):
    run_child("""
expected = render(fresh(), name="expected.html")
d = fresh()
rows = d["rows"]
class Amount:
    def __init__(self, row, value):
        self.row, self.value = row, value
    def __float__(self):
        # The names of this row and the next few replaced by equal, new texts; the old
        # ones are freed and their memory taken by other texts.
        i = rows_snapshot.index(self.row)
        for r in rows_snapshot[i:i + 4]:
            r["unvan"] = copy_text(r["unvan"])
            r["segment"] = copy_text(r["segment"])
        churn(len(self.row["unvan"].encode()) + 49)
        gc.collect()
        return float(self.value)
rows_snapshot = list(rows)
for r in rows:
    r["son_risk"] = Amount(r, r.get("son_risk", 0))
assert render(d) == expected

# An amount that empties the rows list and the row it belongs to: the rows read are the ones
# the list held when the render began, each as it stands when it is read.
d = fresh()
rows = d["rows"]
victim = rows[3]
class Shrinker:
    def __float__(self):
        rows.clear()
        victim.clear()
        churn()
        return 1.0
rows[2]["son_risk"] = Shrinker()
page = render(d)
assert "\\n" in page
""")


def test_amount_that_renames_rows_not_yet_read(run_child):
    # A change a value's own code makes to rows not yet read must reach the page.
    run_child("""
d = fresh()
rows = list(d["rows"])  # document order (the render sorts the caller's list in place)
class Renamer:
    def __init__(self, i, value):
        self.i, self.value = i, value
    def __float__(self):
        for r in rows[self.i + 1:self.i + 4]:
            r["unvan"] = "RENAMED " + r["unvan"]
            r["segment"] = None
        return float(self.value)
for i, r in enumerate(rows):
    r["son_risk"] = Renamer(i, r.get("son_risk", 0))
page = render(d)
final = fresh()
now = {r["muta"]: r for r in rows}
for r in final["rows"]:
    r["unvan"] = now[r["muta"]]["unvan"]
    r["segment"] = now[r["muta"]]["segment"]
assert page == render(final, name="final.html")
""")


def test_key_whose_eq_rewrites_rows_during_look_up(run_child):
    # Looking a member up may run a key's own __eq__ (same hash, different object): the member
    # being looked up and the rows not yet read are read as they stand afterwards.
    run_child("""
d = fresh()
rows = list(d["rows"])
class Key(str):
    def __hash__(self):
        return hash("unvan")
    def __eq__(self, other):
        # Once per key: rows already read keep what the page got from them.
        if not armed or self.i in calls:
            return False
        calls.append(self.i)
        disarm()
        rows[self.i]["unvan"] = copy_text("NEW " + str(self.i))
        for r in rows[self.i + 1:self.i + 4]:
            r["unvan"] = copy_text("NEW " + str(self.i))
            r["segment"] = None
        churn(80)
        gc.collect()
        arm()
        return False
calls = []
armed = False
def arm():
    global armed
    armed = True
def disarm():
    global armed
    armed = False
for i, r in enumerate(rows):
    k = Key("x")
    k.i = i
    # Ahead of "unvan" in the dict, so that looking "unvan" up meets it first.
    members = dict(r)
    r.clear()
    r[k] = 1
    r.update(members)
arm()
page = render(d)
disarm()
final = fresh()
now = {r["muta"]: r for r in rows}
for r in final["rows"]:
    r["unvan"] = now[r["muta"]]["unvan"]
    r["segment"] = now[r["muta"]]["segment"]
assert calls and page == render(final, name="final.html")
""")


def test_str_that_frees_the_text_being_read(run_child):
    run_child("""
section = {"b": "text of section b " * 3, "a": None}
class Named:
    def __str__(self):
        section["b"] = copy_text(section["b"])
        churn(len(section["b"]) + 49)
        gc.collect()
        return "named"
section["a"] = Named()
page = render(fresh(), extra_data={"backtest_summary": section})
assert json.dumps({"b": "text of section b " * 3, "a": "named"}, separators=(",", ":")) in page

items = {"fastest_rising": [{"muta": 1, "unvan": "a name long enough to matter", "son_risk": 2.0, "x": None}]}
class Swap:
    def __str__(self):
        items["fastest_rising"][0]["unvan"] = copy_text(items["fastest_rising"][0]["unvan"])
        churn(len("a name long enough to matter") + 49)
        gc.collect()
        return "s"
items["fastest_rising"][0]["x"] = Swap()
html = vitrum._build_trending_html(items)
assert "a name long enough to matter" in html
""")


def test_row_filter_that_replaces_meta_and_mutates_rows(run_child):
    run_child("""
expected = render(fresh(), name="expected.html")
d = fresh()
def keep(row):
    d["meta"] = copy.deepcopy(BASE["meta"])
    d["meta"]["title"] = copy_text(d["meta"]["title"])
    row["unvan"] = copy_text(row["unvan"])
    churn()
    gc.collect()
    return True
assert render(d, row_filter=keep) == expected

# A filter that replaces the rows list and empties it as it goes.
d = fresh()
def drop(row):
    d["rows"] = []
    churn()
    gc.collect()
    return True
page = render(d, row_filter=drop)
assert page.count("\\n") >= 2
""")


def test_another_thread_rewriting_rows_during_a_render(run_child):
    run_child("""
def rewrite(rows, fill=True):
    for r in rows:
        for k in ("unvan", "segment", "sube_kodu"):
            if isinstance(r.get(k), str):
                r[k] = copy_text(r[k])
    if fill:
        churn()

# In step: each amount's __float__ waits for the other thread to rewrite every row once.
d = fresh()
expected = render(copy.deepcopy(d), name="expected.html")
go, done = threading.Event(), threading.Event()
class Amount(float):
    pass
class Waiting:
    def __init__(self, v):
        self.v = v
    def __float__(self):
        go.set()
        assert done.wait(30)
        done.clear()
        return float(self.v)
stop = False
def writer():
    while True:
        go.wait()
        go.clear()
        if stop:
            return
        rewrite(d["rows"])
        done.set()
t = threading.Thread(target=writer)
t.start()
for r in d["rows"]:
    r["son_risk"] = Waiting(r.get("son_risk", 0))
try:
    page = render(d)
finally:
    stop = True
    go.set()
    t.join()
assert page == expected

# Free running, with fractions whose __float__ lets the other thread in at any point.
sys.setswitchinterval(1e-6)
base = fresh()
for r in base["rows"]:
    for k, v in list(r.items()):
        if k.startswith(("r2", "rd", "df")) or k == "son_risk":
            r[k] = fractions.Fraction(v)
expected = render(copy.deepcopy(base), name="expected.html")
for attempt in range(3):
    d = copy.deepcopy(base)
    stop = False
    def writer():
        while not stop:
            rewrite(d["rows"], fill=False)
    t = threading.Thread(target=writer)
    t.start()
    try:
        page = render(d)
    finally:
        stop = True
        t.join()
    assert page == expected
""", timeout=300)


def test_many_rows_whose_texts_are_freed_right_after_they_are_read(run_child):
    # A document large enough that its rows are encoded on a second thread while the caller's
    # thread reads on. Each row's amount frees the text of the row before and fills its memory
    # with other text: every name on the page must still be the row's own.
    run_child("""
base = make_scoreboard(6000, n_periods=4, n_risk_periods=2, seed=5)
for r in base["rows"]:
    r["son_risk"] = float(r.get("son_risk") or 0)
expected = render(copy.deepcopy(base), name="expected.html")
d = copy.deepcopy(base)
rows = d["rows"]
for r in rows:
    r["unvan"] = copy_text(r["unvan"])  # its own texts, not the ones `base` holds too
junk = []
class Amount:
    def __init__(self, i, v):
        self.i, self.v = i, v
    def __float__(self):
        if self.i:
            before = rows[self.i - 1]
            n = len(before["unvan"])
            before["unvan"] = copy_text(before["unvan"])
            junk.append(["#" * n for _ in range(8)])
            del junk[:-64]
        return self.v
for i, r in enumerate(rows):
    r["son_risk"] = Amount(i, r["son_risk"])
assert render(d) == expected
""", timeout=300)


def test_text_that_cannot_be_utf8_is_a_value_error_of_the_row_source(run_child):
    run_child("""
d = fresh()
d["rows"][7]["unvan"] = "bad \\ud800 name"
expect_error(ValueError, lambda: render(d, name="bad.html"), match="surrogates not allowed", page="bad.html")
""")


@pytest.mark.parametrize("name", ["doc.json\0.html", b"doc.json\0x"])
def test_path_with_nul_is_refused_like_open(tmp_path, name):
    from halvex.pipeline import vitrum

    # The text before the NUL names a real file: it must not be the one read.
    (tmp_path / "doc.json").write_text('{"meta": {"donemler": []}, "rows": []}', encoding="utf-8")
    path = os.path.join(os.fsencode(tmp_path) if isinstance(name, bytes) else str(tmp_path), name)
    for call in (lambda: vitrum.render_html(path), lambda: vitrum.render_html_v300(path),
                 lambda: vitrum.render_html({"meta": {}, "rows": []}, output_html=path)):
        with pytest.raises(ValueError, match="embedded null byte"):
            call()
    with pytest.raises(ValueError, match="embedded null byte"):
        open(path)
