// The page script is the files the template joins, each one module object: a file declares
// exactly one name at the top (hoisted declarations are bound before a file runs, so the
// DOM-bound files, which cannot be built here, still show what they declare).
import { test } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import vm from "node:vm";
import { scriptText } from "./page_scripts.mjs";

const TEMPLATE = new URL("../../src/halvex/templates/_dashboard_script.html", import.meta.url);
const FILES = JSON.parse(readFileSync(TEMPLATE, "utf8").match(/\{% for part in (\[.*?\]) -%\}/)[1]);

function declared(file) {
  const ctx = vm.createContext({});
  const own = () => vm.runInContext("Object.getOwnPropertyNames(globalThis)", ctx);
  const before = new Set(own());
  try { vm.runInContext(scriptText(file), ctx, { filename: file + ".js" }); } catch (err) { /* needs a page */ }
  return own().filter((n) => !before.has(n));
}

test("every joined file declares one module and nothing else at the top", () => {
  const owner = new Map();
  for (const f of FILES) {
    const names = declared(f);
    assert.equal(names.length, 1, `${f}.js declares ${names.length} names at the top: ${names.slice(0, 8).join(", ")}`);
    assert.ok(!owner.has(names[0]), `${names[0]} is declared by ${owner.get(names[0])}.js and ${f}.js`);
    owner.set(names[0], f);
    // let, const and class at the top would hide from the check above
    assert.doesNotMatch(scriptText(f), /^(let|const|class)\s/m, `${f}.js`);
  }
  assert.ok(owner.size >= 20);
});
