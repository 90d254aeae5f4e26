"""Checks a night's data must pass before its pages are trusted: the score's stability, a
newer period than the last run's, and no sudden loss of borrowers."""

from __future__ import annotations

from dataclasses import dataclass

from halvex.ml.model.metrics import PSI_ACT

DEFAULT_MAX_BORROWER_DROP = 0.10


@dataclass(frozen=True)
class Gate:
    """One check: ``passed`` False is a warning on the pages (a failure under --strict)."""
    name: str
    passed: bool
    message: str  # what was found, in one line (Turkish, as the pages show it)

    def as_json(self) -> dict:
        return {"kapi": self.name, "gecti": self.passed, "mesaj": self.message}


class GateFailure(Exception):
    """Gates that failed under --strict: nothing was published."""

    def __init__(self, gates: list[Gate]):
        self.gates = gates
        super().__init__("; ".join(f"{g.name}: {g.message}" for g in gates))


def _period_order(a, b) -> int:
    """-1, 0 or 1 as period a comes before, with or after b: numbers by value, text (ISO
    dates, "202401") by its characters, as the builds order them."""
    if isinstance(a, (int, float)) and isinstance(b, (int, float)) and not isinstance(a, bool):
        return (a > b) - (a < b)
    a, b = str(a), str(b)
    return (a > b) - (a < b)


def score_psi_gate(psi: dict | None) -> Gate:
    """The score's PSI between the model's training window and the latest period."""
    if psi is None or psi.get("value") is None:
        return Gate("score_psi", True, "skor PSI hesaplanamadı (karşılaştırılacak satır yok)")
    value = float(psi["value"])
    if value >= PSI_ACT:
        return Gate("score_psi", False, f"model skorunun PSI değeri {value:.3f} (>= {PSI_ACT}): "
                                        "skor dağılımı eğitim dönemine göre belirgin değişti")
    return Gate("score_psi", True, f"model skorunun PSI değeri {value:.3f}")


def period_gate(latest, previous) -> Gate:
    """The data's latest period against the last published run's (None: no earlier run)."""
    if previous is None:
        return Gate("period", True, f"son dönem {latest} (önceki çalıştırma yok)")
    if _period_order(latest, previous) <= 0:
        return Gate("period", False, f"son dönem {latest}, önceki çalıştırmanın dönemi {previous}: "
                                     "veri yenilenmemiş")
    return Gate("period", True, f"son dönem {latest}, önceki {previous}")


def borrower_gate(borrowers: int, previous: int | None, max_drop: float) -> Gate:
    """The borrowers of the latest period against the last run's; a fall of more than
    ``max_drop`` (a share) fails."""
    if previous is None or previous <= 0:
        return Gate("borrowers", True, f"{borrowers} firma (önceki çalıştırma yok)")
    drop = (previous - borrowers) / previous
    if drop > max_drop:
        return Gate("borrowers", False, f"firma sayısı {previous} → {borrowers} "
                                        f"(%{100 * drop:.1f} düşüş, sınır %{100 * max_drop:g})")
    return Gate("borrowers", True, f"firma sayısı {previous} → {borrowers}")
