"""The sample scoreboard generator: document shape, determinism and the side files."""

import csv
import json
from collections import Counter

import pytest

from halvex import diag_groups
from halvex.feature_info import FI
from halvex.sample.scoreboard import (SEGMENTS, make_scoreboard, make_trending_lists,
                                      write_reference_csv, write_scoreboard_json)

N = 3000
ROW_KEYS_FIXED = {"muta", "unvan", "segment", "son_risk", "bolge_kodu", "sube_kodu",
                  "_hizli_yukselen", "_rejim_degisimi", "_potansiyel_yi", "_erken_sinyal",
                  "_yakalanan", "_kacirilan", "_qvr_neden", "_ml_yi_prob"}


@pytest.fixture(scope="module")
def doc():
    return make_scoreboard(N, seed=7)


def _scores(doc, donem):
    return [row.get(f"qvr{donem}", "<missing>") for row in doc["rows"]]


class TestDocumentShape:
    def test_meta_periods(self, doc):
        meta = doc["meta"]
        assert meta["donemler"] == [f"2025-{m:02d}" for m in range(1, 13)]
        assert meta["risk_donemler"] == ["2025-10", "2025-11", "2025-12"]
        assert meta["title"] and meta["generated_at"].startswith("2025-12")
        longer = make_scoreboard(5, n_periods=14, n_risk_periods=2)["meta"]
        assert longer["donemler"][-2:] == ["2026-01", "2026-02"]
        assert longer["risk_donemler"] == ["2026-01", "2026-02"]

    def test_rows_hold_only_known_members(self, doc):
        meta = doc["meta"]
        allowed = set(ROW_KEYS_FIXED)
        allowed.update(f"qvr{d}" for d in meta["donemler"])
        allowed.update(f"{p}{d}" for p in ("r", "rd", "df") for d in meta["risk_donemler"])
        assert len(doc["rows"]) == N
        for row in doc["rows"]:
            assert set(row) <= allowed

    def test_muta_unique_mostly_int(self, doc):
        mutas = [row["muta"] for row in doc["rows"]]
        assert len({str(m) for m in mutas}) == N
        kinds = Counter(type(m).__name__ for m in mutas)
        assert kinds["int"] > 0.98 * N and kinds["str"] > 0

    def test_irregular_values_present(self, doc):
        rows = doc["rows"]
        segments = Counter(row.get("segment", "<missing>") for row in rows)
        assert set(SEGMENTS) <= set(segments)
        assert sum(c for s, c in segments.items() if s not in SEGMENTS) > 0
        assert any("son_risk" not in row for row in rows)
        assert any(row.get("son_risk", 1) is None for row in rows)
        assert any(row.get("son_risk") == 0 for row in rows)
        assert any(isinstance(row.get("bolge_kodu"), int) for row in rows)
        assert any("sube_kodu" not in row or "bolge_kodu" not in row for row in rows)
        last = _scores(doc, "2025-12")
        assert "YI" in last and "<missing>" in _scores(doc, "2025-01")
        assert any(isinstance(v, float) for d in doc["meta"]["donemler"] for v in _scores(doc, d))
        names = [row["unvan"] for row in rows]
        assert any(len(n) > 40 for n in names)
        assert any(n.endswith("A.Ş.") for n in names) and any(n.endswith("Ltd. Şti.") for n in names)
        assert set("şğüöçıİ") <= set("".join(names))

    def test_yi_persists_once_reached(self, doc):
        donemler = doc["meta"]["donemler"]
        for row in doc["rows"]:
            seq = [row.get(f"qvr{d}") for d in donemler]
            if "YI" in seq:
                assert all(v == "YI" for v in seq[seq.index("YI"):])

    def test_marks_follow_scores(self, doc):
        for row in doc["rows"]:
            assert {row[k] for k in ("_hizli_yukselen", "_rejim_degisimi", "_potansiyel_yi",
                                     "_erken_sinyal", "_yakalanan", "_kacirilan")} <= {0, 1}
            assert 0.0 <= row["_ml_yi_prob"] <= 1.0
            last = row.get("qvr2025-12")
            if isinstance(last, (int, float)) and not isinstance(last, bool) and last >= 825:
                assert row["_potansiyel_yi"] == 1
            assert not (row["_yakalanan"] and row["_kacirilan"])

    def test_flow_matrix_and_band_snapshot_agree_with_rows(self, doc):
        donemler = doc["meta"]["donemler"]
        out_of = Counter()
        for t in doc["flow_matrix"]:
            assert set(t) == {"from_donem", "to_donem", "from_band", "to_band", "count"}
            assert donemler.index(t["to_donem"]) == donemler.index(t["from_donem"]) + 1
            out_of[t["from_donem"]] += t["count"]
        assert all(out_of[d] == N for d in donemler[:-1])
        for d in donemler:
            scores = _scores(doc, d)
            snap = doc["band_snapshot"][d]
            assert snap["YI"] == scores.count("YI")
            assert sum(snap.values()) == N - scores.count("<missing>")

    def test_diag_index(self, doc):
        index = doc["diag_index"]
        mutas = {str(row["muta"]) for row in doc["rows"]}
        codes = {**diag_groups.KRITER_ACIKLAMA, **diag_groups.KIK_COL_ACIKLAMA,
                 **diag_groups.MEMZUC_COL_ACIKLAMA}
        assert index and set(index) <= mutas
        without_group = 0
        for periods in index.values():
            for donem, entry in periods.items():
                assert donem in doc["meta"]["donemler"]
                findings = entry if isinstance(entry, list) else entry["bulgular"]
                for b in findings:
                    assert b["katman"] in {"KIK", "RKD", "MEMZUC", "SQL", "SQL_DELTA"}
                    assert b["aciklama"] == codes[b["kriter"]]
                    derived = (FI.grup_for_kik(b["kriter"]) or FI.grup_for_memzuc(b["kriter"])
                               or FI.grup_for_rkd(b["kriter"]))
                    assert derived in diag_groups.DIAG_GROUPS
                    # the page finds the same group by the code (findings without one)
                    assert [g for g, v in diag_groups.DIAG_GROUPS.items() if b["kriter"] in v["kodlar"]] == [derived]
                    if "grup" in b:
                        assert b["grup"] == derived
                    else:
                        without_group += 1
        assert without_group > 0
        assert "diag_index" not in make_scoreboard(50, with_diag=False)

    def test_empty_and_invalid(self):
        empty = make_scoreboard(0)
        assert empty["rows"] == [] and empty["diag_index"] == {}
        assert all(sum(s.values()) == 0 for s in empty["band_snapshot"].values())
        with pytest.raises(ValueError):
            make_scoreboard(10, n_periods=3, n_risk_periods=4)


class TestDeterminism:
    def test_same_seed_same_document(self):
        assert make_scoreboard(500, seed=11) == make_scoreboard(500, seed=11)

    def test_other_seed_other_document(self):
        assert make_scoreboard(500, seed=11)["rows"] != make_scoreboard(500, seed=12)["rows"]


class TestFiles:
    def test_reference_csv(self, doc, tmp_path):
        path = write_reference_csv(tmp_path / "sube_bolge_ref.csv", doc)
        with open(path, encoding="utf-8", newline="") as fh:
            reader = csv.DictReader(fh)
            assert reader.fieldnames == ["bolge_kodu", "bolge_adi", "sube_kodu", "sube_adi"]
            lines = list(reader)
        assert any(line["bolge_adi"] == "İstanbul Avrupa" for line in lines)
        listed = {line["sube_kodu"] for line in lines}
        assert len(listed) == len(lines)
        used = {str(row["sube_kodu"]) for row in doc["rows"] if "sube_kodu" in row}
        covered = len(used & listed) / len(used)
        assert 0.8 < covered < 1.0
        assert not list(tmp_path.glob("*.tmp"))

    def test_scoreboard_json_round_trip(self, tmp_path):
        small = make_scoreboard(200, seed=3)
        path = write_scoreboard_json(tmp_path / "json" / "scoreboard.json", small)
        text = path.read_text(encoding="utf-8")
        assert "Ş" in text and "\\u" not in text
        assert json.loads(text) == small


class TestTrendingLists:
    def test_lists_match_rows(self, doc):
        lists = make_trending_lists(doc, n=5)
        by_muta = {row["muta"]: row for row in doc["rows"]}
        for key in ("fastest_rising", "regime_change", "persistent_high", "low_but_rising"):
            assert 0 < len(lists[key]) <= 5
            for item in lists[key]:
                assert list(item) == ["muta", "unvan", "score_last", "son_risk", "reason"]
                assert item["score_last"] == by_muta[item["muta"]]["qvr2025-12"]
        for item in lists["regime_change"]:
            assert by_muta[item["muta"]]["qvr2025-11"] < 500 <= item["score_last"]
        for item in lists["persistent_high"]:
            assert item["score_last"] >= 825
        rises = [int(item["reason"].split("+")[1].split()[0]) for item in lists["fastest_rising"]]
        assert rises == sorted(rises, reverse=True)
