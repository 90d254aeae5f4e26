"""render_html and render_html_v300 never write their page over a file they read: the
document, the reference file, the page template or a chart library, however the output is
spelt (links, hard links, "." and ".."), also where it does not exist yet."""

import os
import shutil

import pytest

from halvex.pipeline import vitrum
from halvex.sample.scoreboard import make_scoreboard, write_reference_csv, write_scoreboard_json


@pytest.fixture
def run(tmp_path):
    doc = make_scoreboard(12, seed=4)
    path = write_scoreboard_json(tmp_path / "json" / "doc.json", doc)
    write_reference_csv(tmp_path / "json" / "sube_bolge_ref.csv", doc)
    return tmp_path, path, doc


def contents(folder):
    def read(path):
        if os.path.islink(path):
            return os.readlink(path)
        with open(path, "rb") as fh:
            return fh.read()

    return {os.path.relpath(os.path.join(d, n), folder): read(os.path.join(d, n))
            for d, _, names in os.walk(folder) for n in names}


def refused(render, *args, **kwargs):
    with pytest.raises(ValueError, match="the same file"):
        render(*args, **kwargs)


def test_document_file_as_output(run):
    root, doc, _ = run
    (root / "link.html").symlink_to(doc)
    os.link(doc, root / "hard.html")
    before = contents(root)
    for out in (doc, root / "link.html", root / "hard.html", root / "json" / ".." / "json" / "." / "doc.json"):
        refused(vitrum.render_html, str(doc), output_html=str(out))
        refused(vitrum.render_html_v300, str(doc), output_html=str(out))
    # The document reached through a link, the page written to the file itself.
    refused(vitrum.render_html, str(root / "link.html"), output_html=str(doc))
    assert contents(root) == before


def test_default_output_that_is_the_document(tmp_path):
    # html/qvr_dashboard.html as the document: its default page is that file.
    doc = write_scoreboard_json(tmp_path / "html" / "qvr_dashboard.html", make_scoreboard(5, seed=1))
    before = doc.read_bytes()
    refused(vitrum.render_html, str(doc))
    refused(vitrum.render_html_v300, str(doc))
    assert doc.read_bytes() == before


def test_reference_file_as_output(run):
    root, doc, scoreboard = run
    ref = root / "json" / "sube_bolge_ref.csv"
    (root / "dangling.html").symlink_to(root / "missing.csv")
    before = contents(root)
    refused(vitrum.render_html, str(doc), output_html=str(ref))  # the default beside the document
    refused(vitrum.render_html, dict(scoreboard), output_html=str(ref))  # beside the output
    refused(vitrum.render_html, str(doc), output_html=str(root / "r.csv"), ref_csv_path=str(root / "." / "r.csv"))
    # A link that leads where the reference file would be, and is not yet.
    refused(vitrum.render_html, str(doc), output_html=str(root / "dangling.html"),
            ref_csv_path=str(root / "missing.csv"))
    assert contents(root) == before and not (root / "missing.csv").exists()


def test_template_and_chart_libraries_as_output(run, monkeypatch):
    root, doc, _ = run
    from halvex import paths

    templates, scripts = root / "templates", root / "js"
    shutil.copytree(paths.get_template_path().parent, templates)
    scripts.mkdir()
    (scripts / "d3.min.js").write_text("/* d3 */")
    monkeypatch.setenv("HALVEX_TEMPLATE_DIR", str(templates))
    monkeypatch.setenv("HALVEX_JS_DIR", str(scripts))
    before = contents(root)
    refused(vitrum.render_html, str(doc), output_html=str(templates / paths.TEMPLATE_NAME))
    refused(vitrum.render_html_v300, str(doc), output_html=str(templates / paths.TEMPLATE_V300_NAME))
    refused(vitrum.render_html, str(doc), output_html=str(scripts / "d3.min.js"))
    refused(vitrum.render_html, str(doc), output_html=str(scripts / "d3-sankey.min.js"))
    assert contents(root) == before
    # Beside them, under another name, is fine.
    assert vitrum.render_html(str(doc), output_html=str(templates / "page.html"))["chunks"] == 1


def test_trending_lists_named_by_the_caller(run):
    root, doc, _ = run
    lists = root / "json" / "sample_trending_lists.json"
    lists.write_text("{}")
    refused(vitrum.render_html, str(doc), output_html=str(lists), trending_path=str(lists))
    assert lists.read_text() == "{}"
    # The page does not read the file, so any value is still taken as before.
    assert vitrum.render_html(str(doc), output_html=str(root / "p.html"), trending_path=42)["chunks"] == 1
    assert vitrum.render_html(str(doc), output_html=str(root / "p.html"), trending_path="a\0b")["chunks"] == 1
