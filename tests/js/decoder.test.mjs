// The page's JSON reader (decoder.js), loaded in Node as the page loads it: integer tokens
// beyond 2^53 - 1 must come back as their exact digits, everything else as JSON.parse gives it.
import { test } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import vm from "node:vm";

const src = readFileSync(new URL("../../src/halvex/templates/js/decoder.js", import.meta.url), "utf8");
const ctx = vm.createContext({});
vm.runInContext(src + "\nvar scope = {}; hxDecoder(scope);", ctx);
const parse = (text) => ctx.scope.parseJSON(text);
const plain = (v) => JSON.parse(JSON.stringify(v));   // out of the vm's realm, for deepEqual

test("integers beyond the safe range keep their digits", () => {
  const cases = [
    ["[9007199254740992,9007199254740993]", ["9007199254740992", "9007199254740993"]],
    ["[18446744073709551617]", ["18446744073709551617"]],
    ["[12345678901234567890123]", ["12345678901234567890123"]],
    ["[-9007199254740993]", ["-9007199254740993"]],
    ['{"a":[ 9007199254740993 ],"b":\n9007199254740994}', { a: ["9007199254740993"], b: "9007199254740994" }],
  ];
  for (const [text, want] of cases) assert.deepEqual(plain(parse(text)), want, text);
});

test("numbers JSON.parse reads exactly stay numbers", () => {
  const cases = [
    "[9007199254740991,-9007199254740991,1234567890123456,1000000000000000]",
    "[0.12345678901234568,0.30000000000000004,1.2345678901234567e+25,1e-1234567890123456]",
    "[12345678901234567.5,12345678901234567e2,12345678901234567E-2,-0.00000000000000001234]",
    "[1,2.5,-3,0]",
  ];
  for (const text of cases) assert.deepEqual(plain(parse(text)), JSON.parse(text), text);
});

test("digits inside strings are left alone", () => {
  const cases = [
    '["9007199254740993 x",":9007199254740993","\\"9007199254740993\\\\",9007199254740993]',
    '{"12345678901234567890":"a,12345678901234567890"}',
    '["\\\\",12345678901234567890]',
  ];
  const want = [
    ["9007199254740993 x", ":9007199254740993", '"9007199254740993\\', "9007199254740993"],
    { "12345678901234567890": "a,12345678901234567890" },
    ["\\", "12345678901234567890"],
  ];
  cases.forEach((text, k) => assert.deepEqual(plain(parse(text)), want[k], text));
});

test("bare NaN and Infinity are read as null, also beside long integers", () => {
  assert.deepEqual(plain(parse('[NaN,-Infinity,"NaN",9007199254740993]')), [null, null, "NaN", "9007199254740993"]);
  assert.deepEqual(plain(parse("[Infinity,1]")), [null, 1]);
});

test("rows decoded to columns keep each row's customer number, chunk after chunk", async () => {
  vm.runInContext(`var got = [];
    scope.init({ slots: { layout: "v300", P: 1, R: 1, muta: 0, unvan: 1, segment: 2, risk: 3, scores: 4, r: 5 },
                 amountsInTL: true });
    [ '[[9007199254740992,"a",1,5,700,1],[9007199254740993,"b",1,5,700,2],[17,"c",0,1,1,3]]',
      '[[18,"1234567890123456789",0,1,1,0.12345678901234567],[-12345678901234567890,"e",0,1,1,4]]',
      '[[19,"f",0,1,1,0.12345678901234567]]' ].forEach(function (text, i) {
      scope.submit({ i: i, gz: false, text: text },
                   function (i, c, err) { got[i] = err || [Array.from(c.muta), Array.from(c.r), c.names]; });
    });`, ctx);
  await new Promise((r) => setTimeout(r, 20));
  assert.deepEqual(plain(ctx.got), [
    [["9007199254740992", "9007199254740993", 17], [1e-6, 2e-6, 3e-6], ["a", "b", "c"]],
    [[18, "-12345678901234567890"], [0.12345678901234567 / 1e6, 4e-6], ["1234567890123456789", "e"]],
    [[19], [0.12345678901234567 / 1e6], ["f"]],
  ]);
});
