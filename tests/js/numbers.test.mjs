// Numbers typed into the page's filters (numbers.js, loaded as the page loads it).
import { test } from "node:test";
import assert from "node:assert/strict";
import { loadScripts } from "./page_scripts.mjs";

const { NumberText } = loadScripts(["numbers"], ["NumberText"]);

// text, percent field?, value (null: refused)
const CASES = [
  ["", false, NaN], ["   ", false, NaN],
  ["1000", false, 1000], ["1.000", false, 1000], ["1.000.000", false, 1e6], ["12.345.678", false, 12345678],
  ["1,5", false, 1.5], ["1.5", false, 1.5], ["1.50", false, 1.5], ["1.2345", false, 1.2345], ["0.5", false, 0.5],
  ["1.000,25", false, 1000.25], ["1.000.5", false, 1000.5], [",5", false, 0.5], [" 2,5 ", false, 2.5],
  ["-3", false, -3], ["\u22123,5", false, -3.5], ["0", false, 0],
  ["%20", true, 20], ["20%", true, 20], ["% 19,8", true, 19.8], ["19,8", true, 19.8], ["%0.5", true, 0.5],
  // refused: never read as another number
  ["%20", false, null], ["20%", false, null], ["%20%", true, null], ["%", true, null],
  ["1,000.5", false, null], ["1,2,3", false, null], ["1.5.000", false, null], ["1234.567", false, null],
  ["0.125", false, null], ["1.00.000", false, null], ["1.", false, null], ["1,", false, null], [".", false, null],
  ["1 000", false, null], ["1e3", false, null], ["+5", false, null], ["--5", false, null], ["abc", false, null],
  ["5 mio", false, null], ["1.000,5.5", false, null], ["1.000.000,5,5", false, null],
];

test("the Turkish way of typing numbers, and what is refused", () => {
  for (const [text, percent, want] of CASES) {
    const got = NumberText.parse(text, percent);
    if (want === null) {
      assert.ok(Number.isNaN(got.value) && typeof got.error === "string" && got.error !== "", `${JSON.stringify(text)} must be refused`);
    } else {
      assert.equal(got.error, undefined, `${JSON.stringify(text)}: ${got.error}`);
      assert.ok(Object.is(got.value, want) || got.value === want, `${JSON.stringify(text)} -> ${got.value}, want ${want}`);
    }
  }
});

test("a number shown in a field reads back as itself", () => {
  for (const x of [0, 1, 1000, 1.5, 0.125, 19.8, 1234567.25, -2.5, 1e-7, 1e21, 0.1 + 0.2]) {
    const text = NumberText.format(x);
    assert.equal(NumberText.parse(text, false).value, x, `${x} -> ${text}`);
  }
  assert.equal(NumberText.format(NaN), "");
});
