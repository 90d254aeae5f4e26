"""Files under faults: a document that changes while it is read, a named pipe as the
document, bad values that must name their row, and the page writer's special outputs."""

import json
import os
import subprocess
import sys
import textwrap
import threading

import pytest

from halvex.pipeline import vitrum
from halvex.sample.scoreboard import make_scoreboard, write_scoreboard_json


@pytest.fixture(scope="module")
def doc_file(tmp_path_factory):
    """A scoreboard file of a few MB (rows span many pages) and its text."""
    folder = tmp_path_factory.mktemp("doc") / "json"
    folder.mkdir()
    path = write_scoreboard_json(folder / "scoreboard.json", make_scoreboard(6000, seed=3))
    return path, path.read_bytes()


def run_child(code, timeout=120):
    """Runs `code` in a fresh interpreter; returns (returncode, stdout, stderr)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)
    return proc.returncode, proc.stdout, proc.stderr


# --- a document changed while it is read ----------------------------------------------------

CHANGE_DURING_RENDER = """
    import os, sys
    from halvex.pipeline import vitrum
    path, out, how, v300 = sys.argv[1:] if len(sys.argv) > 1 else ({path!r}, {out!r}, {how!r}, {v300!r})
    original = open(path, 'rb').read()
    calls = [0]
    def row_filter(row):
        calls[0] += 1
        if calls[0] == 10:  # the file changes after its rows were checked, before they are encoded
            if {how!r} == 'truncate':
                os.truncate(path, len(original) // 3 // 4096 * 4096)  # reads past it fault
            else:  # the same size, other content, written in place
                with open(path, 'r+b') as fh:
                    fh.write(original.replace(b'"muta": ', b'"muta":0'))
        return True
    try:
        if {v300!r}:
            vitrum.render_html_v300(path, output_html=out, row_filter=row_filter)
        else:
            vitrum.render_html(path, output_html=out, row_filter=row_filter)
        print('RENDERED')
    except (OSError, ValueError) as exc:
        print('ERROR', type(exc).__name__, exc)
"""


@pytest.mark.parametrize("v300", [False, True], ids=["standard", "v300"])
@pytest.mark.parametrize("how", ["truncate", "rewrite"])
def test_document_changed_while_read_is_a_clear_error(doc_file, tmp_path, how, v300):
    src, text = doc_file
    assert text.count(b'"muta": ') > 0
    path = tmp_path / "scoreboard.json"
    path.write_bytes(text)
    out = tmp_path / "page.html"
    out.write_text("old page")
    code = CHANGE_DURING_RENDER.format(path=str(path), out=str(out), how=how, v300=v300)
    rc, stdout, stderr = run_child(code)
    assert rc == 0, f"render ended with {rc} (a signal is negative): {stderr[-2000:]}"
    assert "ERROR ValueError the document changed while it was read" in stdout, stdout + stderr
    assert out.read_text() == "old page"
    assert not [p for p in os.listdir(tmp_path) if p.startswith(".page.html")]


@pytest.mark.parametrize("v300", [False, True], ids=["standard", "v300"])
def test_truncation_after_the_rows_pass_leaves_the_rest_of_the_document(doc_file, tmp_path, monkeypatch, v300):
    # Truncating a file discards even the reader's private copies of its pages; what the
    # parsed document points to (meta, the diagnostic index) must not vanish with them. The
    # template is looked up after the rows were read and before the rest is put in the page.
    src, text = doc_file
    path = tmp_path / "scoreboard.json"
    path.write_bytes(text)
    render = vitrum.render_html_v300 if v300 else vitrum.render_html
    render(str(path), output_html=str(tmp_path / "calm.html"))
    name = "get_template_v300_path" if v300 else "get_template_path"
    find_template = getattr(vitrum, name)

    def truncate_then_find():
        os.truncate(path, 0)
        return find_template()

    monkeypatch.setattr(vitrum, name, truncate_then_find)
    render(str(path), output_html=str(tmp_path / "cut.html"))
    assert path.stat().st_size == 0
    assert (tmp_path / "cut.html").read_bytes() == (tmp_path / "calm.html").read_bytes()


def test_unchanged_document_file_renders_as_before(doc_file, tmp_path):
    # The reading layer's checks change nothing for a file that stays as it is.
    path, text = doc_file
    doc = json.loads(text)
    a = vitrum.render_html(str(path), output_html=str(tmp_path / "file.html"))
    b = vitrum.render_html(doc, output_html=str(tmp_path / "mem.html"))
    assert a["rows"] == b["rows"] == 6000
    assert (tmp_path / "file.html").read_bytes() == (tmp_path / "mem.html").read_bytes()


# --- a named pipe as the document -----------------------------------------------------------

@pytest.mark.parametrize("v300", [False, True], ids=["standard", "v300"])
def test_named_pipe_document_is_read_once_as_a_stream(tmp_path, v300):
    # A writer that delivers a small document and closes at once: a reader that opened the
    # pipe twice lost it (and then waited for a writer forever) in some of the tries.
    path = write_scoreboard_json(tmp_path / "small.json", make_scoreboard(30, seed=3))
    fifo = tmp_path / "doc.fifo"
    os.mkfifo(fifo)
    render = "render_html_v300" if v300 else "render_html"
    code = f"""
        import threading
        from halvex.pipeline import vitrum
        data = open({str(path)!r}, 'rb').read()
        def feed():
            with open({str(fifo)!r}, 'wb') as fh:
                fh.write(data)
        for _ in range(8):
            threading.Thread(target=feed, daemon=True).start()
            r = vitrum.{render}({str(fifo)!r}, output_html={str(tmp_path / 'pipe.html')!r})
            print('ROWS', r['rows'])
    """
    try:
        rc, stdout, stderr = run_child(code, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("reading a named pipe hung")
    assert rc == 0, stderr[-2000:]
    assert stdout.count("ROWS 30") == 8
    getattr(vitrum, render)(str(path), output_html=str(tmp_path / "file.html"))
    assert (tmp_path / "pipe.html").read_bytes() == (tmp_path / "file.html").read_bytes()


# --- a bad value names its row ------------------------------------------------------------------

def _small_doc(bad_row):
    doc = make_scoreboard(50, seed=5)
    doc["rows"][bad_row]["muta"] = 777123
    return doc


@pytest.mark.parametrize("v300", [False, True], ids=["standard", "v300"])
def test_lone_surrogate_in_a_file_document_names_its_row(tmp_path, v300):
    doc = _small_doc(17)
    doc["rows"][17]["unvan"] = "ACME \ud800 AS"
    path = tmp_path / "doc.json"
    path.write_text(json.dumps(doc), encoding="utf-8")  # \ud800 stays an escape in the text
    render = vitrum.render_html_v300 if v300 else vitrum.render_html
    with pytest.raises(ValueError) as info:  # as UnicodeEncodeError is one
        render(str(path), output_html=str(tmp_path / "out.html"))
    assert "row 17" in str(info.value) and "muta 777123" in str(info.value)
    assert not (tmp_path / "out.html").exists()


def test_bad_value_in_a_dict_document_names_its_row(tmp_path):
    doc = _small_doc(23)
    doc["rows"][23]["unvan"] = 5  # a firm name must be text
    with pytest.raises(TypeError) as info:
        vitrum.render_html(doc, output_html=str(tmp_path / "out.html"))
    assert "row 23" in str(info.value) and "muta 777123" in str(info.value)


# --- the command line's outputs -------------------------------------------------------------

def cli(*argv, **kw):
    return subprocess.run([sys.executable, "-m", "halvex.cli", *map(str, argv)], capture_output=True,
                          timeout=120, **kw)


def test_atomic_output_commits_whole_or_leaves_the_target(tmp_path):
    from halvex._output import atomic_output

    target = tmp_path / "out.txt"
    target.write_text("old")
    os.chmod(target, 0o640)
    with pytest.raises(RuntimeError):
        with atomic_output(target) as fh:
            fh.write("x" * (3 << 20))  # past every buffer: bytes reached the temporary file
            raise RuntimeError("boom")
    assert target.read_text() == "old"
    assert os.listdir(tmp_path) == ["out.txt"]
    with atomic_output(target) as fh:
        fh.write("Bölge ş\n")
    assert target.read_text(encoding="utf-8") == "Bölge ş\n"
    assert os.stat(target).st_mode & 0o7777 == 0o640
    with atomic_output(tmp_path / "data.bin", "wb") as fh:
        fh.write(b"\x00\xff")
    assert (tmp_path / "data.bin").read_bytes() == b"\x00\xff"


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_feature_matrix_is_written_atomically_and_reads_back(tmp_path, suffix):
    pd = pytest.importorskip("pandas")
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    from halvex.commands.features import write_matrix

    frame = pd.DataFrame({"entity_id": ["a", "ş"], "donem": [1, 2], "label": [0.5, float("nan")]})
    target = tmp_path / f"m{suffix}"
    target.write_text("previous")
    os.chmod(target, 0o600)
    write_matrix(frame, target)
    back = pd.read_csv(target) if suffix == ".csv" else pd.read_parquet(target)
    pd.testing.assert_frame_equal(back, frame)
    assert os.stat(target).st_mode & 0o7777 == 0o600
    assert sorted(os.listdir(tmp_path)) == [target.name]


def test_cli_output_paths(tmp_path):
    doc = write_scoreboard_json(tmp_path / "doc.json", make_scoreboard(20, seed=2))
    # A path ending in a separator names a folder: an error, not a file named after it.
    r = cli("render", doc, "-o", str(tmp_path / "pages") + "/")
    assert r.returncode == 2 and b"IsADirectoryError" in r.stderr
    assert not (tmp_path / "pages").exists()
    r = cli("trending", doc, "-o", str(tmp_path / "t") + "/")
    assert r.returncode == 2 and b"IsADirectoryError" in r.stderr
    # The longest name a folder takes works.
    name = "p" * 245 + ".html"
    assert cli("render", doc, "-o", tmp_path / name).returncode == 0
    assert (tmp_path / name).stat().st_size > 0
    assert sorted(os.listdir(tmp_path)) == sorted(["doc.json", name])


def test_cli_paths_with_nul_are_refused(tmp_path):
    from halvex.cli import main

    doc = write_scoreboard_json(tmp_path / "doc.json", make_scoreboard(20, seed=2))
    for argv in (["render", str(doc), "-o", str(tmp_path / "a\0b.html")],
                 ["render", str(doc) + "\0x"],
                 ["render", str(doc), "--ref-csv", str(tmp_path / "ref\0.csv")],
                 ["features", str(tmp_path / "db\0.duckdb")]):
        assert main(argv) == 2
    assert sorted(os.listdir(tmp_path)) == ["doc.json"]


@pytest.mark.parametrize("v300", [False, True], ids=["standard", "v300"])
def test_cli_page_to_stdout_through_a_pipe(tmp_path, v300):
    # A link of our own to the process's standard output, like /dev/stdout (which a writer
    # that replaces what it writes to would turn into a regular file, for every user).
    doc = write_scoreboard_json(tmp_path / "doc.json", make_scoreboard(40, seed=2))
    stdout_link = tmp_path / "stdout"
    stdout_link.symlink_to("/proc/self/fd/1")
    flags = ["--v300"] if v300 else []
    streamed = cli("render", doc, "-o", stdout_link, *flags)
    assert streamed.returncode == 0, streamed.stderr
    assert stdout_link.is_symlink()
    assert cli("render", doc, "-o", tmp_path / "page.html", *flags).returncode == 0
    assert streamed.stdout == (tmp_path / "page.html").read_bytes()  # progress lines went to stderr
    assert b"HTML" in streamed.stderr


def test_cli_feature_matrix_through_a_pipe_and_to_a_file(tmp_path):
    pytest.importorskip("duckdb")
    from halvex.sample.facts_db import write_sample_db

    db = write_sample_db(tmp_path / "f.duckdb", n_entities=200)
    link = tmp_path / "out.csv"
    link.symlink_to("/proc/self/fd/1")
    streamed = cli("features", db, "-o", link)
    assert streamed.returncode == 0, streamed.stderr
    assert b"Features:" in streamed.stderr and b"Features:" not in streamed.stdout
    assert cli("features", db, "-o", tmp_path / "m.csv").returncode == 0
    assert streamed.stdout == (tmp_path / "m.csv").read_bytes()
    assert link.is_symlink()


def test_module_output_path_ending_in_a_separator_is_refused(tmp_path):
    doc = make_scoreboard(20, seed=2)
    path = write_scoreboard_json(tmp_path / "doc.json", doc)
    for call in (lambda out: vitrum.render_html(doc, output_html=out),
                 lambda out: vitrum.render_html_v300(path, output_html=out)):
        with pytest.raises(IsADirectoryError):
            call(str(tmp_path / "pages") + os.sep)
        assert not (tmp_path / "pages").exists()
