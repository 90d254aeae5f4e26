// Which rows the view holds and in which order (view.js with the real sort and search, over a
// stand-in column store; the modules it tells of a new view are stand-ins too).
import { test } from "node:test";
import assert from "node:assert/strict";
import { loadScripts } from "./page_scripts.mjs";

const { hxDecoder } = loadScripts(["decoder"], ["hxDecoder"]);
const decoder = {};
hxDecoder(decoder);
const NULL = decoder.NULL_SCORE;

// eight borrowers over two periods: segment, [previous score, latest], risk, marks, name
const ROWS = [
  [0, [400, 600], 5, 0b011, "Ali"], [1, [900, 850], NaN, 0b001, "Veli"], [1, [NULL, 700], 2, 0, "Ayşe"],
  [2, [600, 300], 10, 0b111, "Işık"], [-1, [-1, 500], 0, 0, "ismail"], [3, [100, 900], 7.5, 0b010, "Öz"],
  [0, [NULL, NULL], 1, 0, ""], [1, [500, 520], 3, 0b011, "Cam"],
];
const n = ROWS.length, P = 2;
const S = {
  n, seg: Int8Array.from(ROWS.map((r) => r[0])), score: Int32Array.from(ROWS.flatMap((r) => r[1])),
  lastBand: Uint8Array.from(ROWS.map((r) => decoder.band(r[1][1]))), risk: Float64Array.from(ROWS.map((r) => r[2])),
  marks: Uint8Array.from(ROWS.map((r) => r[3])), names: ROWS.map((r) => r[4]), uid: Int32Array.from(ROWS.keys()),
  muta: ROWS.map((r, i) => 1000 + i), namesGen: 0,
};
function scoreDelta(i) {
  const a = S.score[i * P], b = S.score[i * P + 1];
  return a === NULL || b === NULL || a === -1 || b === -1 ? NaN : b - a;
}
const watched = new Set([5, 2]);
const told = [];
const { View } = loadScripts(["textsearch", "sort", "search", "view"], ["View"], {
  performance,
  Page: { band: decoder.band, HXS: {}, P, TOP_N: 100, el: null },
  Store: { S, scoreDelta, watched, isWatched: (i) => watched.has(i),
           COLS_BY_ID: { risk: { id: "risk", type: "num", key: (i) => S.risk[i] },
                         unvan: { id: "unvan", type: "str", key: (i) => S.names[S.uid[i]] },
                         segment: { id: "segment", type: "num", key: (i) => S.seg[i] } } },
  Selection: { forgetPick: () => told.push("pick") }, Grid: { schedule: () => told.push("grid") }, State: { onViewChanged: () => told.push("state") },
  Charts: { chartsFollowView: () => {} }, Announce: { announceView: () => {} }, ColFilter: { markHeadFilters: () => {} },
});

// allowed codes of a list filter (indexed by code + 1, so "undefined" (-1) has a place)
const allow = (...codes) => { const a = new Uint8Array(8); codes.forEach((c) => { a[c + 1] = 1; }); return a; };
function rowsFor(filters, sorts = []) {
  View.F = Object.assign(View.noFilters(), filters);
  View.sorts = sorts;
  View.refresh();
  return Array.from({ length: View.matched }, (_, k) => View.rowAt(k));
}

test("each filter keeps the rows it names, and missing values never pass a range", () => {
  const cases = [
    [{}, [0, 1, 2, 3, 4, 5, 6, 7]],
    [{ seg: allow(1, -1) }, [1, 2, 4, 7]],                       // KOBI and no segment
    [{ band: allow(2, 4) }, [1, 5, 6]],                          // latest band: high or no score
    [{ riskMin: 2, riskMax: 7.5 }, [0, 2, 5, 7]],                // row 1's risk is missing
    [{ riskMin: 0 }, [0, 2, 3, 4, 5, 6, 7]],
    [{ marks: 0b011 }, [0, 3, 7]],                               // every mark asked for
    [{ deltaDir: -1 }, [1, 3]],                                  // fell; no change where a score is missing or YI
    [{ deltaMin: 100 }, [0, 3, 5]],                              // by 100 points either way
    [{ deltaDir: 1, deltaMin: 100 }, [0, 5]],
    [{ move: 1 }, [0, 5]], [{ move: -1 }, [3, 4]],              // band moves; YI to a score counts as down
    [{ chart: { k: 1, a: 0, b: 1 } }, [0]], [{ chart: { k: 1, a: -1, b: 1 } }, [0, 2, 4, 7]],
    [{ q: "is" }, [3, 4]], [{ q: "100" }, [0, 1, 2, 3, 4, 5, 6, 7]], [{ q: "1003" }, [3]],
    [{ watch: true }, [2, 5]],
    [{ seg: allow(1), riskMin: 2.5, marks: 0b001 }, [7]],
  ];
  for (const [f, want] of cases) {
    assert.deepEqual(rowsFor(f), want, JSON.stringify(f));
    assert.equal(!!View.filtersActive(), Object.keys(f).length > 0, JSON.stringify(f));
  }
  // the exact search keeps the Turkish letters apart
  assert.deepEqual(rowsFor({ q: "ış", plain: false }), [3]);
  assert.deepEqual(rowsFor({ q: "is", plain: false }), [4]);
});

test("the view is the sort order filtered, missing risks last, and the page is told of it", () => {
  told.length = 0;
  assert.deepEqual(rowsFor({ seg: allow(1) }, [{ id: "risk", desc: true }]), [7, 2, 1]);
  assert.deepEqual(rowsFor({}, [{ id: "risk", desc: false }]), [4, 6, 2, 7, 0, 5, 3, 1]);
  assert.deepEqual(told, ["pick", "grid", "state", "pick", "grid", "state"]);
  assert.deepEqual(rowsFor({ band: allow(1) }, [{ id: "unvan", desc: false }]), [0, 2, 7, 4]);
  // by segment, then by risk within a segment
  assert.deepEqual(rowsFor({}, [{ id: "segment", desc: false }, { id: "risk", desc: true }]), [4, 0, 6, 7, 2, 1, 3, 5]);
  assert.equal(View.sortKeyText(), "segment+,risk-");
  assert.equal(View.shownCount(), 8);
  View.limit = 2;
  assert.equal(View.shownCount(), 2);
});
