// Value counts of a header filter (valuecounts.js, loaded as the page loads it).
import { test } from "node:test";
import assert from "node:assert/strict";
import { loadScripts } from "./page_scripts.mjs";

const { ValueCounts } = loadScripts(["valuecounts"], ["ValueCounts"]);

test("rows are counted per option, over the rows given, an option holding several codes", () => {
  const codes = Int8Array.from([0, 1, 1, -1, 2, 0, 3, 1]);
  // two codes that share a name are one option; "undefined" (-1) has its own
  const options = [["A", [0]], ["B", [1, 3]], ["C", [2]], ["Tanımsız", [-1]]];
  assert.deepEqual(ValueCounts.count(null, codes.length, codes, options), [2, 4, 1, 1]);
  // only the rows the other filters leave, in view order, the first n of them
  const rows = Int32Array.from([7, 6, 3, 0, 4]);
  assert.deepEqual(ValueCounts.count(rows, 4, codes, options), [1, 2, 0, 1]);
  assert.deepEqual(ValueCounts.count(rows, 0, codes, options), [0, 0, 0, 0]);
  // a code no option names (data newer than the list) is counted nowhere
  assert.deepEqual(ValueCounts.count(null, 3, Int32Array.from([9, 0, -1]), [["A", [0]]]), [1]);
});
