"""Diagnostic finding groups and the descriptions of their criterion codes.

A finding belongs to one of seven groups. Its criterion code comes from one of three
families, each with its own code prefix:

- ``RKD_``: rule-based early-warning criteria (``KRITER_ACIKLAMA``);
- ``KIK_``: columns of the credit-monitoring file (``KIK_COL_ACIKLAMA``);
- ``MZ_``: columns of the sector-wide credit register, memzuç (``MEMZUC_COL_ACIKLAMA``).

``halvex.feature_info`` maps every code below to its group.
"""

from halvex.pipeline.vitrum import _GRUP_SHORT as _LETTER

# Findings of the "SQL" and "SQL_DELTA" layers are shown on the administrator page only.
SQL_ADMIN_ONLY = True

# key, heading, colour, description; in the pages' order
_GROUPS = (
    ("gecikme", "Gecikme", "#e74c3c", "Anapara veya faiz ödemelerinde gecikme"),
    ("ortak", "Ortak / Grup Riski", "#8e44ad", "Ortaklar ve grup firmalarından gelen risk"),
    ("cek_senet", "Çek / Senet", "#d35400", "Karşılıksız çek ve protestolu senet"),
    ("diger_banka", "Diğer Bankalar", "#2980b9", "Diğer bankalardaki limit ve risk hareketleri"),
    ("icra", "İcra / Takip", "#c0392b", "İcra ve kanuni takip işlemleri"),
    ("yasal", "Yasal Süreçler", "#7f8c8d", "Konkordato, iflas ve benzeri yasal süreçler"),
    ("izleme", "İzleme", "#16a085", "İdari takip ve yakın izleme kararları"),
)
DIAG_GROUPS = {key: {"baslik": heading, "renk": colour, "harf": _LETTER[key], "aciklama": text}
               for key, heading, colour, text in _GROUPS}


KRITER_ACIKLAMA = {
    "RKD_GECIKME_30": "30 günü aşan gecikme",
    "RKD_GECIKME_60": "60 günü aşan gecikme",
    "RKD_GECIKME_90": "90 günü aşan gecikme",
    "RKD_ORTAK_TAKIP": "Ortaklardan birinin takipte olması",
    "RKD_GRUP_RISK": "Grup firmalarında sorunlu kredi",
    "RKD_KARSILIKSIZ_CEK": "Karşılıksız çek kaydı",
    "RKD_PROTESTOLU_SENET": "Protestolu senet kaydı",
    "RKD_DIGER_BANKA_KAPAMA": "Diğer bankada limit kapatma",
    "RKD_ICRA_TAKIBI": "Hakkında başlatılmış icra takibi",
    "RKD_KONKORDATO": "Konkordato başvurusu",
    "RKD_IFLAS": "İflas başvurusu",
    "RKD_YAKIN_IZLEME": "Yakın izleme listesine alınma",
}

KIK_COL_ACIKLAMA = {
    "KIK_GECIKME_GUN": "KİK: gecikme gün sayısı",
    "KIK_TAKSIT_ERTELEME": "KİK: taksit erteleme talebi",
    "KIK_CEK_IADE": "KİK: iade edilen çek sayısı",
    "KIK_SENET_PROTESTO": "KİK: protesto edilen senet sayısı",
    "KIK_HACIZ": "KİK: haciz kaydı",
    "KIK_DAVA": "KİK: aleyhe açılmış dava",
    "KIK_IZLEME_NOTU": "KİK: izleme notu düşülmüş",
}

MEMZUC_COL_ACIKLAMA = {
    "MZ_GECIKMELI_RISK": "Memzuç: gecikmedeki risk tutarı",
    "MZ_LIMIT_DUSUS": "Memzuç: diğer bankalarda limit düşüşü",
    "MZ_BANKA_SAYISI_ARTIS": "Memzuç: çalışılan banka sayısında ani artış",
    "MZ_TAKIP_HESABI": "Memzuç: takip hesabına aktarılan kredi",
    "MZ_IDARI_TAKIP": "Memzuç: idari takip kaydı",
    "MZ_ORTAK_RISK": "Memzuç: ortakların sektör riski",
}


def _codes_by_group() -> None:
    """Each group lists the criterion codes above that belong to it (``kodlar``), so that a
    page given findings without a group finds the one ``halvex.feature_info`` gives."""
    from halvex.feature_info import FI

    for group in DIAG_GROUPS.values():
        group["kodlar"] = []
    for code in (*KRITER_ACIKLAMA, *KIK_COL_ACIKLAMA, *MEMZUC_COL_ACIKLAMA):
        name = FI.grup_for_kik(code) or FI.grup_for_memzuc(code) or FI.grup_for_rkd(code)
        if name in DIAG_GROUPS:
            DIAG_GROUPS[name]["kodlar"].append(code)


_codes_by_group()
