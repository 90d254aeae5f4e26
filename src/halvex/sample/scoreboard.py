"""A realistic scoreboard document, built in memory, for the demo, tests and benchmarks.

The rows look like the upstream pipeline's output, warts included: most customer numbers
are integers but some are text, a few segments are missing or misspelt, some scores are
floats or "YI", some members are missing, some risk amounts are null or zero, region and
branch codes are mostly zero-padded text with a few integers. Everything is drawn from a
seeded generator, so the same arguments always give the same document.

The bulk is generated column-wise with numpy and turned into row dicts in one pass; the
irregularities are then sprinkled over a small random subset of rows. A million rows take
a few seconds.
"""

from __future__ import annotations

import csv
import json
import os
import random
from pathlib import Path

import numpy as np

from halvex import diag_groups
from halvex.feature_info import FI
from halvex.pipeline.vitrum import SEGMENTS_LIST
from halvex.scoreboard.document import BANDS, HIGH_THRESHOLD, YIS_THRESHOLD

SEGMENTS = tuple(SEGMENTS_LIST)
_SEGMENT_WEIGHTS = (0.12, 0.45, 0.35, 0.08)
# Values the upstream data has been seen to carry instead of a segment code.
_ODD_SEGMENTS = ("kobi", "KUR_TIC", "TICARI", "", None)

# Positions in BANDS.
_BAND_EUS, _BAND_YIS, _BAND_HIGH, _BAND_YI, _BAND_NONE = range(5)

FIRST_YEAR = 2025

# Share of rows touched by each kind of irregularity.
_P_STRING_MUTA = 0.005
_P_ODD_SEGMENT = 0.004
_P_SON_RISK_NULL = 0.01
_P_SON_RISK_MISSING = 0.01
_P_SON_RISK_ZERO = 0.02
_P_NEW_CUSTOMER = 0.04  # scores start in a later period (earlier members missing)
_P_YI = 0.03  # put under close monitoring in some period, "YI" from then on
_P_FLOAT_SCORE = 0.01  # per score cell
_P_MISSING_SCORE = 0.005  # per score cell
_P_MISSING_RISK = 0.005  # per risk cell
_P_INT_CODE = 0.002
_P_MISSING_CODE = 0.003
_DIAG_SHARE = 0.05
_DIAG_MAX_CUSTOMERS = 20000

_FAMILY_NAMES = (
    "Yıldız", "Öztürk", "Şahin", "Çelik", "Doğan", "Aydın", "Kılıç", "Arslan", "Koç",
    "Güneş", "Akdoğan", "Erdoğan", "Karadeniz", "Ege", "Akdeniz", "Boğaziçi", "Anadolu",
    "Marmara", "Uğur", "Işık", "İpek", "Özkan", "Gökçe", "Çağlar", "Başak", "Türkmen",
    "Bilgiç", "Sönmez", "Ünal", "Kaya", "Demir", "Polat", "Aksoy", "Ağaoğlu", "Şimşek",
    "Yücel", "Gündoğdu", "Köroğlu", "Çınar", "Ilgaz",
)
_SECTORS = (
    "Gıda", "Tekstil", "İnşaat", "Otomotiv", "Lojistik", "Makine", "Kimya", "Plastik",
    "Mobilya", "Enerji", "Turizm", "Tarım Ürünleri", "Elektrik Elektronik", "Ambalaj",
    "Madencilik", "Yapı Malzemeleri", "Çelik Konstrüksiyon", "Hazır Giyim", "Medikal",
    "Bilişim", "Su Ürünleri", "Deri", "Cam", "Kağıt", "Petrol Ürünleri",
)
_ACTIVITIES = (
    "", "Sanayi", "Ticaret", "Sanayi ve Ticaret", "İthalat İhracat", "Taahhüt",
    "Pazarlama", "Nakliyat", "Üretim ve Dağıtım",
)
_LEGAL_FORMS = ("A.Ş.", "Ltd. Şti.", "A.Ş.", "Ltd. Şti.", "Koll. Şti.", "San. Tic. A.Ş.")

_REASONS = (
    "Skor son 3 dönemde hızla yükseldi",
    "EUS bandından YIS bandına geçiş",
    "Diğer bankalarda limit düşüşü",
    "Gecikme gün sayısında artış",
    "Karşılıksız çek kaydı",
    "Memzuç riskinde ani artış",
    "Ortak firmada takip kaydı",
    "İcra takibi başlatıldı",
    "Nakit akışında bozulma; ciro düşüşü",
)

# (region name, districts that name its branches)
_REGIONS = (
    ("İstanbul Avrupa", ("Şişli", "Beşiktaş", "Bakırköy", "Güneşli", "Merter", "İkitelli", "Esenyurt")),
    ("İstanbul Anadolu", ("Kadıköy", "Üsküdar", "Ümraniye", "Kartal", "Tuzla", "Gebze")),
    ("Ankara", ("Kızılay", "Çankaya", "Ostim", "Sincan", "Yenimahalle", "Gölbaşı")),
    ("İzmir", ("Konak", "Karşıyaka", "Bornova", "Çiğli", "Torbalı", "Alsancak")),
    ("Bursa", ("Osmangazi", "Nilüfer", "İnegöl", "Demirtaş", "Gemlik")),
    ("Antalya", ("Muratpaşa", "Alanya", "Manavgat", "Kepez")),
    ("Adana", ("Seyhan", "Çukurova", "Ceyhan", "Kozan")),
    ("Konya", ("Selçuklu", "Meram", "Ereğli", "Karatay")),
    ("Kayseri", ("Melikgazi", "Kocasinan", "Organize Sanayi")),
    ("Gaziantep", ("Şahinbey", "Şehitkamil", "Nizip")),
    ("Karadeniz", ("Trabzon", "Samsun", "Ordu", "Rize", "Giresun")),
    ("Doğu Anadolu", ("Erzurum", "Malatya", "Van", "Elazığ")),
    ("Güneydoğu", ("Diyarbakır", "Şanlıurfa", "Mardin", "Batman")),
    ("Ege", ("Denizli", "Manisa", "Aydın", "Muğla", "Uşak")),
    ("Marmara", ("Kocaeli", "Sakarya", "Tekirdağ", "Çorlu", "Balıkesir")),
    ("Akdeniz", ("Mersin", "Hatay", "İskenderun", "Osmaniye")),
    ("İç Anadolu", ("Eskişehir", "Kırıkkale", "Sivas", "Yozgat")),
    ("Batı Karadeniz", ("Zonguldak", "Bolu", "Düzce", "Karabük")),
)
# The reference file leaves out the last region and every 17th branch: real reference
# files lag behind newly opened branches.
_UNLISTED_REGIONS = 1
_UNLISTED_BRANCH_EVERY = 17

_DIAG_LAYERS = ("KIK", "RKD", "MEMZUC", "SQL", "SQL_DELTA")
_DIAG_CODES = {
    "KIK": tuple(diag_groups.KIK_COL_ACIKLAMA),
    "RKD": tuple(diag_groups.KRITER_ACIKLAMA),
    "MEMZUC": tuple(diag_groups.MEMZUC_COL_ACIKLAMA),
}
_DIAG_CODES["SQL"] = _DIAG_CODES["RKD"] + _DIAG_CODES["KIK"]
_DIAG_CODES["SQL_DELTA"] = _DIAG_CODES["MEMZUC"] + _DIAG_CODES["RKD"]
_CODE_TEXT = {**diag_groups.KRITER_ACIKLAMA, **diag_groups.KIK_COL_ACIKLAMA,
              **diag_groups.MEMZUC_COL_ACIKLAMA}


def periods(n_periods: int, first_year: int = FIRST_YEAR) -> list[str]:
    """Monthly period identifiers "2025-01", "2025-02", ... (n_periods of them)."""
    return [f"{first_year + k // 12}-{k % 12 + 1:02d}" for k in range(n_periods)]


def _catalogue() -> list[tuple[str, str, list[tuple[str, str]]]]:
    """Regions with their branches: [(bolge_kodu, bolge_adi, [(sube_kodu, sube_adi)])]."""
    out = []
    branch_no = 1000
    for r, (region, districts) in enumerate(_REGIONS, start=1):
        branches = []
        for district in districts:
            branch_no += 7
            branches.append((str(branch_no), f"{district} Şubesi"))
            if len(district) % 2 == 0:  # larger districts also have a corporate branch
                branch_no += 7
                branches.append((str(branch_no), f"{district} Ticari Şubesi"))
        out.append((f"{r:02d}", region, branches))
    return out


def _firm_names() -> list[str]:
    names = []
    for family in _FAMILY_NAMES:
        for sector in _SECTORS:
            for activity in _ACTIVITIES:
                words = [family, sector]
                if activity:
                    words.append(activity)
                names.append(" ".join(words))
    return names


def _score_band(scores: np.ndarray, yi: np.ndarray, missing: np.ndarray) -> np.ndarray:
    band = np.where(scores >= HIGH_THRESHOLD, _BAND_HIGH,
                    np.where(scores >= YIS_THRESHOLD, _BAND_YIS, _BAND_EUS))
    band[yi] = _BAND_YI
    band[missing] = _BAND_NONE
    return band


def _flow_and_snapshot(donemler, band):
    """Band transitions between consecutive periods and the band counts per period."""
    k = len(BANDS)
    flow = []
    for p in range(1, len(donemler)):
        counts = np.bincount(band[:, p - 1] * k + band[:, p], minlength=k * k)
        for idx in np.flatnonzero(counts):
            flow.append({
                "from_donem": donemler[p - 1], "to_donem": donemler[p],
                "from_band": BANDS[idx // k], "to_band": BANDS[idx % k],
                "count": int(counts[idx]),
            })
    snapshot = {}
    for p, donem in enumerate(donemler):
        counts = np.bincount(band[:, p], minlength=k)
        snapshot[donem] = {BANDS[b]: int(counts[b]) for b in range(k) if BANDS[b] != "YOK"}
    return flow, snapshot


def _finding_group(kriter: str):
    return FI.grup_for_kik(kriter) or FI.grup_for_memzuc(kriter) or FI.grup_for_rkd(kriter)


def _make_diag_index(rng: random.Random, mutas: list, donemler: list[str]) -> dict:
    """Findings for a share of the customers, in some of the recent periods."""
    n = min(int(len(mutas) * _DIAG_SHARE) + (1 if mutas else 0), _DIAG_MAX_CUSTOMERS, len(mutas))
    recent = donemler[-6:]
    index = {}
    for muta in rng.sample(mutas, n):
        per_period = {}
        seen_groups: set[str] = set()
        for donem in sorted(rng.sample(recent, rng.randint(1, min(3, len(recent)))),
                            key=recent.index):
            bulgular = []
            for _ in range(rng.randint(1, 4)):
                katman = rng.choice(_DIAG_LAYERS)
                kriter = rng.choice(_DIAG_CODES[katman])
                finding = {"katman": katman, "kriter": kriter}
                grup = _finding_group(kriter)
                if rng.random() < 0.7:  # older layers do not fill in the group
                    finding["grup"] = grup
                finding["aciklama"] = _CODE_TEXT[kriter]
                if rng.random() < 0.5:
                    finding["deger"] = rng.randint(1, 180)
                bulgular.append(finding)
            groups = []
            for b in bulgular:
                g = _finding_group(b["kriter"])
                if g and g not in seen_groups and g not in groups:
                    groups.append(g)
            seen_groups.update(groups)
            # Some producers leave yeni_gruplar empty; the page derives it from the findings.
            yeni = groups if rng.random() < 0.8 else []
            if rng.random() < 0.1:
                per_period[donem] = bulgular  # the older layout: the findings alone
            else:
                per_period[donem] = {"bulgular": bulgular, "yeni_gruplar": yeni}
        index[str(muta)] = per_period
    return index


def make_scoreboard(n_rows: int, n_periods: int = 12, n_risk_periods: int = 3,
                    seed: int = 0, with_diag: bool = True) -> dict:
    """Build a scoreboard document with ``n_rows`` borrower rows.

    ``meta`` carries the periods (``donemler``), the last ``n_risk_periods`` of them as
    ``risk_donemler``, a title and a generation time; ``flow_matrix``, ``band_snapshot``
    and (with ``with_diag``) ``diag_index`` are derived from the rows.
    """
    if n_rows < 0 or n_periods < 1 or not 0 <= n_risk_periods <= n_periods:
        raise ValueError("n_rows >= 0, n_periods >= 1 and 0 <= n_risk_periods <= n_periods")
    rnd = random.Random(seed)
    rng = np.random.default_rng(seed)
    n, P, R = n_rows, n_periods, n_risk_periods
    donemler = periods(P)
    risk_donemler = donemler[P - R:]

    # --- scores: a level, a trend and a random walk per customer
    base = rng.normal(470.0, 150.0, n)
    trend = rng.normal(0.0, 10.0, n)
    risers = rng.random(n) < 0.05
    trend[risers] += rng.uniform(20.0, 60.0, int(risers.sum()))
    walk = np.cumsum(rng.normal(0.0, 22.0, (n, P)), axis=1)
    raw = base[:, None] + trend[:, None] * np.arange(P) + walk
    # Squash into the score range so that extreme customers do not pile up at the bounds.
    scores = np.rint(500.0 + 499.0 * np.tanh((raw - 500.0) / 650.0)).astype(np.int64)

    yi = np.zeros((n, P), dtype=bool)
    yi_rows = np.flatnonzero(rng.random(n) < _P_YI)
    yi_start = rng.integers(0, P, yi_rows.size)
    yi[yi_rows] = np.arange(P)[None, :] >= yi_start[:, None]

    missing = np.zeros((n, P), dtype=bool)
    new_rows = np.flatnonzero(rng.random(n) < _P_NEW_CUSTOMER)
    first_seen = rng.integers(1, P, new_rows.size) if P > 1 else np.zeros(new_rows.size, int)
    missing[new_rows] = np.arange(P)[None, :] < first_seen[:, None]
    missing |= rng.random((n, P)) < _P_MISSING_SCORE
    missing &= ~yi
    float_cells = (rng.random((n, P)) < _P_FLOAT_SCORE) & ~yi & ~missing

    band = _score_band(scores, yi, missing)

    # --- marks, computed on the numeric scores
    num = np.where(yi | missing, np.nan, scores.astype(float))
    last = num[:, -1]
    back3 = num[:, -4] if P >= 4 else num[:, 0]
    prev = num[:, -2] if P >= 2 else num[:, 0]
    with np.errstate(invalid="ignore"):
        rise3 = last - back3
        hizli = np.nan_to_num(rise3) >= 120
        rejim = (prev < YIS_THRESHOLD) & (last >= YIS_THRESHOLD)
        potansiyel = (last >= HIGH_THRESHOLD) | (hizli & (last >= 700))
    yi_last = yi[:, -1]
    ml_prob = 1.0 / (1.0 + np.exp(-(np.nan_to_num(last, nan=900.0) - 720.0) / 70.0
                                  + rng.normal(0.0, 0.4, n)))
    ml_prob = np.round(ml_prob, 4)
    erken = (ml_prob > 0.6) | (hizli & (rng.random(n) < 0.5))
    became_yi = yi_last & ~yi[:, max(P - 4, 0)]
    yakalanan = became_yi & ((ml_prob > 0.4) | (rng.random(n) < 0.5))
    kacirilan = became_yi & ~yakalanan
    flagged = hizli | rejim | potansiyel | erken
    reason_idx = rng.integers(0, len(_REASONS), n)

    # --- risk amounts in TL
    level = np.exp(rng.normal(14.6, 1.7, n))
    growth = np.exp(np.cumsum(rng.normal(0.0, 0.08, (n, R + 1)), axis=1))
    risk = np.rint(level[:, None] * growth)  # column 0 is the period before the first
    son_risk = risk[:, -1] if R else np.rint(level)
    nakdi_share = rng.uniform(0.3, 0.95, n)

    # --- identity and organisation
    muta = 10_000_000 + np.arange(n, dtype=np.int64) * 37 + rng.integers(0, 37, n)
    muta = rng.permutation(muta)
    names = _firm_names()
    name_idx = rng.integers(0, len(names), n)
    form_idx = rng.integers(0, len(_LEGAL_FORMS), n)
    seg_idx = rng.choice(len(SEGMENTS), n, p=_SEGMENT_WEIGHTS)
    cat = _catalogue()
    branch_region = [(sk, bk) for bk, _, branches in cat for sk, _ in branches]
    # Big-city branches carry more customers.
    weights = np.array([3.0 if int(bk) <= 4 else 1.0 for _, bk in branch_region])
    branch_idx = rng.choice(len(branch_region), n, p=weights / weights.sum())

    keys = ["muta", "unvan", "segment", "son_risk", "bolge_kodu", "sube_kodu"]
    cols: list[list] = [
        muta.tolist(),
        [f"{names[i]} {_LEGAL_FORMS[f]}" for i, f in zip(name_idx.tolist(), form_idx.tolist())],
        [SEGMENTS[s] for s in seg_idx.tolist()],
        son_risk.astype(np.int64).tolist(),
        [branch_region[b][1] for b in branch_idx.tolist()],
        [branch_region[b][0] for b in branch_idx.tolist()],
    ]
    for p, donem in enumerate(donemler):
        col = scores[:, p].tolist()
        for i in np.flatnonzero(yi[:, p]).tolist():
            col[i] = "YI"
        for i in np.flatnonzero(float_cells[:, p]).tolist():
            col[i] = col[i] + 0.5
        keys.append(f"qvr{donem}")
        cols.append(col)
    risk_cols = risk[:, 1:].astype(np.int64)
    for j, donem in enumerate(risk_donemler):
        keys.append(f"r{donem}")
        cols.append(risk_cols[:, j].tolist())
    for j, donem in enumerate(risk_donemler):
        keys.append(f"rd{donem}")
        cols.append(np.rint(risk_cols[:, j] * nakdi_share).astype(np.int64).tolist())
    for j, donem in enumerate(risk_donemler):
        keys.append(f"df{donem}")
        cols.append((risk[:, j + 1] - risk[:, j]).astype(np.int64).tolist())
    for key, mark in (("_hizli_yukselen", hizli), ("_rejim_degisimi", rejim),
                      ("_potansiyel_yi", potansiyel), ("_erken_sinyal", erken),
                      ("_yakalanan", yakalanan), ("_kacirilan", kacirilan)):
        keys.append(key)
        cols.append(mark.astype(np.int8).tolist())
    keys.append("_qvr_neden")
    cols.append([_REASONS[r] if f else "" for r, f in zip(reason_idx.tolist(), flagged.tolist())])
    keys.append("_ml_yi_prob")
    cols.append(ml_prob.tolist())

    rows = [dict(zip(keys, values)) for values in zip(*cols)]

    # --- sprinkle the irregularities
    def some(p: float) -> list[int]:
        return np.flatnonzero(rng.random(n) < p).tolist()

    for i in some(_P_STRING_MUTA):
        m = rows[i]["muta"]
        rows[i]["muta"] = str(m) if i % 2 else f"{m:010d}"
    odd = some(_P_ODD_SEGMENT)
    for i in odd:
        choice = rnd.randrange(len(_ODD_SEGMENTS) + 1)
        if choice == len(_ODD_SEGMENTS):
            del rows[i]["segment"]
        else:
            rows[i]["segment"] = _ODD_SEGMENTS[choice]
    for i in some(_P_SON_RISK_ZERO):
        rows[i]["son_risk"] = 0
        for donem in risk_donemler:
            rows[i][f"r{donem}"] = rows[i][f"rd{donem}"] = rows[i][f"df{donem}"] = 0
    for i in some(_P_SON_RISK_NULL):
        rows[i]["son_risk"] = None
    for i in some(_P_SON_RISK_MISSING):
        rows[i].pop("son_risk", None)
    for i in some(_P_INT_CODE):
        rows[i]["bolge_kodu"] = int(rows[i]["bolge_kodu"])
        if rnd.random() < 0.5:
            rows[i]["sube_kodu"] = int(rows[i]["sube_kodu"])
    for i in some(_P_MISSING_CODE):
        del rows[i][rnd.choice(("bolge_kodu", "sube_kodu"))]
    for p, donem in enumerate(donemler):
        key = f"qvr{donem}"
        for i in np.flatnonzero(missing[:, p]).tolist():
            del rows[i][key]
    if R:
        for i in some(_P_MISSING_RISK * R):
            rows[i].pop(rnd.choice(("r", "rd", "df")) + rnd.choice(risk_donemler), None)

    for i in rnd.sample(range(n), min(n, 3)):  # a few names a real title line can hold
        rows[i]["unvan"] = rnd.choice((
            "Öğütücü Çelik Konstrüksiyon Makine İmalat Sanayi ve Ticaret A.Ş.",
            "Ilıca & Ortakları Gıda İthalat İhracat Ltd. Şti.",
            "<Güneş> \"Işık\" Enerji A.Ş.",
        ))

    flow, snapshot = _flow_and_snapshot(donemler, band)
    last_donem = donemler[-1]
    doc = {
        "meta": {
            "title": "QVR Erken Uyarı Skorkartı",
            "generated_at": f"{last_donem}-28T07:30:00",
            "donemler": donemler,
            "risk_donemler": risk_donemler,
            "n_firma": n,
            "kaynak": "halvex.sample",
        },
        "rows": rows,
        "flow_matrix": flow,
        "band_snapshot": snapshot,
    }
    if with_diag:
        doc["diag_index"] = _make_diag_index(rnd, [r["muta"] for r in rows[:: max(1, n // 200000)]],
                                             donemler)
    return doc


def _code_text(code) -> str:
    return code if isinstance(code, str) else str(code)


def write_reference_csv(path, doc: dict) -> Path:
    """Write the region/branch reference file ``sube_bolge_ref.csv`` for ``doc``'s codes.

    Lists every catalogued branch whose code occurs in the rows (as text or as integer),
    except those of the unlisted region and every few branches, so a render also meets
    codes that only get generated names.
    """
    used = set()
    for row in doc.get("rows", ()):
        for key in ("bolge_kodu", "sube_kodu"):
            code = row.get(key)
            if code is not None:
                used.add(_code_text(code))
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_name(path.name + ".tmp")
    cat = _catalogue()
    with open(tmp, "w", encoding="utf-8", newline="") as fh:
        writer = csv.writer(fh, lineterminator="\n")
        writer.writerow(["bolge_kodu", "bolge_adi", "sube_kodu", "sube_adi"])
        branch_no = 0
        for bk, region, branches in cat[: len(cat) - _UNLISTED_REGIONS]:
            for sk, branch in branches:
                branch_no += 1
                if branch_no % _UNLISTED_BRANCH_EVERY == 0:
                    continue
                if sk in used or bk in used:
                    writer.writerow([bk, region, sk, branch])
    os.replace(tmp, path)
    return path


def _score(value):
    """A score as a number, or None for "YI", missing and unreadable values."""
    if isinstance(value, bool) or value is None or value == "YI":
        return None
    if isinstance(value, (int, float)):
        return value
    try:
        return int(value)
    except (TypeError, ValueError):
        return None


def make_trending_lists(doc: dict, n: int = 10) -> dict:
    """The four trending lists of a scoreboard document, at most ``n`` firms each."""
    donemler = doc["meta"]["donemler"]
    keys = [f"qvr{d}" for d in donemler]
    back = max(len(keys) - 4, 0)
    rising, regime, high, low_rising = [], [], [], []
    for row in doc["rows"]:
        s = [_score(row.get(k)) for k in keys]
        last = s[-1]
        if last is None:
            continue
        first3, prev = s[back], s[-2] if len(s) > 1 else None
        item = (row.get("muta"), row.get("unvan", ""), last, row.get("son_risk"))
        if first3 is not None:
            delta = last - first3
            if delta > 0:
                rising.append((delta, item, f"Son 3 dönemde +{delta:g} puan ({first3:g} → {last:g})"))
            if last < YIS_THRESHOLD and delta >= 80:
                low_rising.append((delta, item, f"EUS bandında, 3 dönemde +{delta:g} puan"))
        if prev is not None and prev < YIS_THRESHOLD <= last:
            regime.append((last - prev, item, f"EUS → YIS ({prev:g} → {last:g})"))
        streak = 0
        for v in reversed(s):
            if v is None or v < HIGH_THRESHOLD:
                break
            streak += 1
        if streak >= 3:
            high.append((streak * 1000 + last, item, f"{streak} dönemdir {HIGH_THRESHOLD} üzeri skor"))

    def top(cands):
        cands.sort(key=lambda c: c[0], reverse=True)
        return [{"muta": m, "unvan": u, "score_last": s, "son_risk": r, "reason": why}
                for _, (m, u, s, r), why in cands[:n]]

    return {
        "generated_at": doc["meta"].get("generated_at", ""),
        "fastest_rising": top(rising),
        "regime_change": top(regime),
        "persistent_high": top(high),
        "low_but_rising": top(low_rising),
    }


def write_scoreboard_json(path, doc: dict) -> Path:
    """Write ``doc`` as UTF-8 JSON (Turkish letters as they are), atomically."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_name(path.name + ".tmp")
    with open(tmp, "w", encoding="utf-8") as fh:
        json.dump(doc, fh, ensure_ascii=False)
    os.replace(tmp, path)
    return path
