"""Seed corpus for the JSON reader's fuzz targets: small scoreboard documents from the sample
generator, the trending lists, and hand-written texts at the edges of the grammar.

Usage: make_corpus.py OUT_DIR  (rewrites the seeds; leaves other files in OUT_DIR alone)
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

from halvex.sample.scoreboard import make_scoreboard, make_trending_lists

EDGE_SEEDS = [
    b'{"meta": {"donemler": ["2025-01"]}, "rows": [{"muta": 1, "muta": 2, "unvan": "\\u00c7"}]}',
    b'{"rows": [1, "x", null, true, [], {}], "rows": [{"son_risk": NaN}]}',
    b'{"rows": [{"muta": -Infinity, "son_risk": 1e999, "r2025-02": 123456789012345678901234567890}]}',
    b'{"rows": [{"unvan": "\\ud800\\udc00 \\ud800 \\udfff x", "": "\\"\\\\\\/\\b\\f\\n\\r\\t"}]}',
    b'[[[[[[[[[[{"a": [[[[1]]]]}]]]]]]]]]]',
    b'{"a": -0, "b": 0.0e-0, "c": 1E+2, "d": -12.5e-3, "e": 9223372036854775808}',
    b'\xef\xbb\xbf{"rows": []}',
    '{"rows": [{"unvan": "Şahin Öztürk 🙂 ǅ"}]}'.encode("utf-8"),
    b' \t\r\n{ "rows" : [ { "muta" : 1 } , { } ] } \n',
]


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
    for i, seed in enumerate(EDGE_SEEDS):
        (out / f"edge_{i}.json").write_bytes(seed)


if __name__ == "__main__":
    main(Path(sys.argv[1]))
