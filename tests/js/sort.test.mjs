// The grid's sort orders (sort.js, loaded as the page loads it, over a stand-in column store).
import { test } from "node:test";
import assert from "node:assert/strict";
import { loadScripts } from "./page_scripts.mjs";

const S = { n: 0 };
const { Sort } = loadScripts(["sort"], ["Sort"], { Store: { S } });

function numColumn(values, ties) {
  S.n = values.length;
  return { id: "x", type: "num", key: (i) => values[i], ties: ties && (() => ties) };
}
function textColumn(id, texts) {
  S.n = texts.length;
  return { id, type: "str", key: (i) => texts[i] };
}
const order = (c, desc, base) => Array.from(Sort.sortRows(c, desc, base || null));

test("numbers sort by value either way, missing last, equal keys in their earlier order", () => {
  const v = [3, NaN, -1, 0, -0, 2.5, -Infinity, Infinity, NaN, 1e300, -1e-300, 3];
  const c = numColumn(v);
  assert.deepEqual(order(c, false), [6, 2, 10, 3, 4, 5, 0, 11, 9, 7, 1, 8]);
  assert.deepEqual(order(c, true), [7, 9, 0, 11, 5, 3, 4, 10, 2, 6, 1, 8]);
  // over an earlier order: rows with equal keys (0 and -0, the two 3s) keep it
  const base = Int32Array.from([11, 4, 8, 3, 0, 1, 2, 5, 6, 7, 9, 10]);
  assert.deepEqual(order(c, false, base), [6, 2, 10, 4, 3, 5, 11, 0, 9, 7, 8, 1]);
  // several thousand distinct keys take both radix words
  const many = Array.from({ length: 5000 }, (_, i) => ((i * 7919) % 5003) / 3 - 600);
  const got = order(numColumn(many), false).map((i) => many[i]);
  assert.deepEqual(got, [...many].sort((a, b) => a - b));
});

test("keys equal as numbers are settled by the column's own comparison", () => {
  // customer numbers past 2^53: as doubles they tie, their digits tell them apart
  const digits = ["9007199254740993", "9007199254740992", "5", "9007199254740995"];
  const byDigits = (i, j) => (BigInt(digits[i]) < BigInt(digits[j]) ? -1 : BigInt(digits[i]) > BigInt(digits[j]) ? 1 : 0);
  const c = numColumn(digits.map(Number), byDigits);
  assert.deepEqual(order(c, false), [2, 1, 0, 3]);
  assert.deepEqual(order(c, true), [3, 0, 1, 2]);
});

test("texts sort in Turkish alphabetical order, case and circumflex aside, blanks last either way", () => {
  const names = ["zeki", "çay", "", "cam", "ırmak", "İzmir", "ismail", "oz", "Öz", "12 ltd", "Cam", "", "Âhenk"];
  const c = textColumn("t1", names);
  const asc = order(c, false).map((i) => names[i]);
  assert.deepEqual(asc, ["12 ltd", "Âhenk", "Cam", "cam", "çay", "ırmak", "ismail", "İzmir", "oz", "Öz", "zeki", "", ""]);
  const desc = order(c, true).map((i) => names[i]);
  assert.deepEqual(desc, ["zeki", "Öz", "oz", "İzmir", "ismail", "ırmak", "çay", "cam", "Cam", "Âhenk", "12 ltd", "", ""]);
  assert.ok(Sort.compareText("Çorum", "Cizre") > 0 && Sort.compareText("Ilgaz", "İnegöl") < 0);
});

test("a text listed once per chunk ranks as one, and renumbered texts are ranked again", () => {
  // rows 0, 1 and 3 read "b" through two entries of the list: equal, so they keep row order
  const dict = { ids: Int32Array.from([2, 0, 1, 0]), texts: ["b", "a", "b"] };
  const c = { id: "names", type: "str", dict: () => dict, key: (i) => dict.texts[dict.ids[i]] };
  S.n = 4;
  assert.deepEqual(order(c, false), [2, 0, 1, 3]);
  // the texts merged to distinct ones (same rows): the old ranks would put "a" first still
  dict.texts = ["c", "b"];
  dict.ids = Int32Array.from([1, 0, 0, 0]);
  Sort.forgetTexts("names");
  assert.deepEqual(order(c, false), [0, 1, 2, 3]);
});
