"""Seed corpus for the JSON reader's fuzz targets: small scoreboard documents from the sample
generator, the trending lists, and hand-written texts at the edges of the grammar.

Usage: make_corpus.py OUT_DIR  (rewrites the seeds; leaves other files in OUT_DIR alone)
"""

from __future__ import annotations

import json
import shutil
import sys
from pathlib import Path

from halvex.sample.scoreboard import make_scoreboard, make_trending_lists

# Hand-written texts at the edges of the grammar; the C++ tests replay them as well.
SEEDS = Path(__file__).with_name("seeds")


def main(out: Path) -> None:
    out.mkdir(parents=True, exist_ok=True)
    docs = []
    for n_rows, seed in ((0, 1), (1, 2), (3, 3), (6, 4)):
        doc = make_scoreboard(n_rows, n_periods=2, n_risk_periods=1, seed=seed)
        docs.append(doc)
        (out / f"scoreboard_{n_rows}.json").write_text(json.dumps(doc, ensure_ascii=False), encoding="utf-8")
    # The same rows with an escaped, spaced and indented form, and the trending lists.
    (out / "scoreboard_ascii.json").write_text(json.dumps(docs[2], indent=1), encoding="ascii")
    (out / "trending.json").write_text(json.dumps(make_trending_lists(docs[3], n=3), ensure_ascii=False),
                                       encoding="utf-8")
    for seed in SEEDS.iterdir():
        shutil.copyfile(seed, out / seed.name)


if __name__ == "__main__":
    main(Path(sys.argv[1]))
