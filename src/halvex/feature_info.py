"""Which diagnostic group a criterion code belongs to.

``FI.grup_for_kik``, ``FI.grup_for_memzuc`` and ``FI.grup_for_rkd`` each answer for the codes
of their own family (prefixes ``KIK_``, ``MZ_`` and ``RKD_``) and return ``None`` for any
other code, so a caller can ask them in turn. Within a family the group follows from the
keyword in the code, the first matching rule winning.
"""

from __future__ import annotations

# (keyword in the code, group), checked in order.
_KEYWORD_RULES = (
    ("GECIKME", "gecikme"),
    ("TAKSIT", "gecikme"),
    ("ORTAK", "ortak"),
    ("GRUP", "ortak"),
    ("CEK", "cek_senet"),
    ("SENET", "cek_senet"),
    ("DIGER_BANKA", "diger_banka"),
    ("BANKA", "diger_banka"),
    ("LIMIT", "diger_banka"),
    ("ICRA", "icra"),
    ("HACIZ", "icra"),
    ("TAKIP_HESABI", "icra"),
    ("KONKORDATO", "yasal"),
    ("IFLAS", "yasal"),
    ("DAVA", "yasal"),
    ("IZLEME", "izleme"),
    ("IDARI_TAKIP", "izleme"),
    ("TAKIP", "icra"),
)


def _group_by_keyword(code: str) -> str | None:
    for keyword, group in _KEYWORD_RULES:
        if keyword in code:
            return group
    return None


class _FeatureInfo:
    """Criterion code to finding group, one method per code family."""

    @staticmethod
    def _family(code, prefix: str) -> str | None:
        if not isinstance(code, str) or not code.upper().startswith(prefix):
            return None
        return _group_by_keyword(code.upper()[len(prefix):])

    def grup_for_kik(self, code):
        return self._family(code, "KIK_")

    def grup_for_memzuc(self, code):
        return self._family(code, "MZ_")

    def grup_for_rkd(self, code):
        return self._family(code, "RKD_")


FI = _FeatureInfo()
