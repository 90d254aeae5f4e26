"""The diagnostic index reaches the page the same way whether the document is the caller's
dict (read directly) or a parsed file (prepared as a tree), in every page mode."""

from __future__ import annotations

import json

import pytest

from halvex.pipeline import vitrum

INDEX = {
    "1001": {
        "2025-01": {"bulgular": [
            {"katman": "SQL", "kriter": "RKD_IFLAS", "aciklama": "x", "grup": "yasal"},
            {"katman": "KIK", "kriter": "KIK_HACIZ", "aciklama": "y"},
            {"katman": "SQL_DELTA", "kriter": "MZ_LIMIT_DUSUS"},
        ], "yeni_gruplar": [], "not": "kalır"},
        "2025-02": [{"katman": "RKD", "kriter": "RKD_GECIKME_30", "aciklama": "z"}],
        "2025-03": {"yeni_gruplar": ["izleme", "gecikme"]},
        "2025-04": "metin",
        "2025-05": {"bulgular": {}},
    },
    "1002": "müşteri",
    "77": {"2025-01": {"bulgular": [{"katman": "KIK", "grup": "icra", "aciklama": "<b>"}]}},
}


@pytest.fixture
def dump_templates(tmp_path, monkeypatch):
    tdir = tmp_path / "tpl"
    tdir.mkdir()
    (tdir / "dashboard.html.j2").write_text("{{ diag_index_js }}", "utf-8")
    monkeypatch.setenv("HALVEX_TEMPLATE_DIR", str(tdir))


@pytest.mark.parametrize("mode", [None, "admin", "standart"])
@pytest.mark.parametrize("keep", [None, {1001, "77"}])
def test_caller_dict_and_file_give_the_same_index(dump_templates, tmp_path, capsys, mode, keep):
    doc = {"meta": {"donemler": ["2025-01"]},
           "rows": [{"muta": 1001, "son_risk": 3}, {"muta": "77"}, {"muta": 5}],
           "diag_index": INDEX}
    path = tmp_path / "doc.json"
    path.write_text(json.dumps(doc, ensure_ascii=False), "utf-8")
    kwargs = {"extra_data": {"page_mode": mode} if mode else None,
              "row_filter": (lambda r: r.get("muta") in keep) if keep else None}
    if mode != "admin" and keep is None:
        # The standard page slims every customer, and "1002" holds no periods.
        for source in (doc, str(path)):
            with pytest.raises(TypeError):
                vitrum.render_html(source, output_html=str(tmp_path / "x.html"), **kwargs)
        return
    vitrum.render_html(doc, output_html=str(tmp_path / "a.html"), **kwargs)
    vitrum.render_html(str(path), output_html=str(tmp_path / "b.html"), **kwargs)
    a = (tmp_path / "a.html").read_text("utf-8")
    assert a == (tmp_path / "b.html").read_text("utf-8")
    assert "aciklama" not in a
    assert doc["diag_index"] == INDEX  # the caller's index is left as it was
    got = json.loads(a)
    if keep:
        assert set(got) <= {"1001", "77"}
    if mode == "admin":
        kinds = [f["katman"] for f in got["1001"]["2025-01"]["bulgular"]]
        assert kinds == ["SQL", "KIK", "SQL_DELTA"]
    else:
        assert got["77"] == {"2025-01": "i"}


def test_a_finding_that_is_not_an_object_fails_on_both_paths(dump_templates, tmp_path, capsys):
    doc = {"meta": {"donemler": ["p"]}, "rows": [], "diag_index": {"1": {"p": {"bulgular": ["x"]}}}}
    path = tmp_path / "doc.json"
    path.write_text(json.dumps(doc), "utf-8")
    for source in (doc, str(path)):
        with pytest.raises(TypeError):
            vitrum.render_html(source, output_html=str(tmp_path / "p.html"))


def test_what_the_page_drops_needs_no_json_form(dump_templates, tmp_path, capsys):
    # A customer the row filter leaves out is never read, however it is made; a finding's
    # "aciklama" is dropped, whatever it holds.
    cyclic = {}
    cyclic["self"] = cyclic
    doc = {"meta": {"donemler": ["p"]}, "rows": [{"muta": 1}, {"muta": 2}],
           "diag_index": {"1": {"p": {"bulgular": [{"kriter": "K", "aciklama": {1, 2}}]}},
                          "2": {"p": cyclic}}}
    vitrum.render_html(doc, output_html=str(tmp_path / "p.html"), row_filter=lambda r: r["muta"] == 1,
                       extra_data={"page_mode": "admin"})
    assert json.loads((tmp_path / "p.html").read_text("utf-8")) == {"1": {"p": {"bulgular": [{"kriter": "K"}]}}}
    with pytest.raises(ValueError, match="Circular reference"):
        vitrum.render_html(doc, output_html=str(tmp_path / "q.html"), extra_data={"page_mode": "admin"})
