// Saved views: what the browser's storage and a file may hold (savedviews.js, loaded as the
// page loads it).
import { test } from "node:test";
import assert from "node:assert/strict";
import { loadScripts } from "./page_scripts.mjs";

const { SavedViews } = loadScripts(["savedviews"], ["SavedViews"]);
const plain = (v) => JSON.parse(JSON.stringify(v));

function storage(init = {}) {
  const m = new Map(Object.entries(init));
  return {
    getItem: (k) => (m.has(k) ? m.get(k) : null),
    setItem: (k, v) => { m.set(k, String(v)); },
    raw: (k) => m.get(k),
  };
}
const KEY = SavedViews.STORAGE_KEY;

test("a view is saved by name, replaced by the same name, and kept without the open detail", () => {
  let list = SavedViews.put([], "  KOBI riskli ", "#seg=KOBI&risk=5&firma=123").list;
  list = SavedViews.put(list, "Hepsi", "").list;
  list = SavedViews.put(list, "KOBI riskli", "seg=KOBI&sira=-risk").list;
  assert.deepEqual(plain(list), [{ name: "KOBI riskli", state: "seg=KOBI&sira=-risk" }, { name: "Hepsi", state: "" }]);
  const st = storage();
  assert.ok(SavedViews.save(st, list));
  assert.deepEqual(plain(SavedViews.load(st)), plain(list));
  assert.deepEqual(plain(SavedViews.remove(list, "Hepsi")), [{ name: "KOBI riskli", state: "seg=KOBI&sira=-risk" }]);
  for (const bad of ["", "   ", "\u0000\u0007", "x".repeat(81)]) assert.ok(SavedViews.put(list, bad, "").error, JSON.stringify(bad));
  assert.ok(SavedViews.put([], "uzun", "q=" + "a".repeat(5000)).error);
});

test("bad stored data gives the good views or none, never an error", () => {
  const good = { name: "A", state: "seg=KOBI" };
  const cases = [
    [undefined, []], ["not json", []], ["{}", []], ["null", []], ['"x"', []],
    [JSON.stringify([good, null, 7, "s", { name: 5, state: "" }, { name: "B" }, { name: "C", state: 1 },
                     { name: "", state: "" }, { name: "x".repeat(81), state: "" }, { ...good, state: "other" }]), [good]],
  ];
  for (const [raw, want] of cases) {
    assert.deepEqual(plain(SavedViews.load(storage(raw === undefined ? {} : { [KEY]: raw }))), want, String(raw));
  }
  assert.deepEqual(plain(SavedViews.load(null)), []);
  const refusing = { getItem() { throw new Error("SecurityError"); }, setItem() { throw new Error("QuotaExceededError"); } };
  assert.deepEqual(plain(SavedViews.load(refusing)), []);
  assert.equal(SavedViews.save(refusing, [good]), false);
  const many = Array.from({ length: 80 }, (_, k) => ({ name: "v" + k, state: "" }));
  assert.equal(SavedViews.load(storage({ [KEY]: JSON.stringify(many) })).length, SavedViews.MAX_VIEWS);
});

test("views go to a file and come back; a bad file is refused whole", () => {
  const list = [{ name: "A", state: "seg=KOBI" }, { name: "Ş", state: "sira=-risk" }];
  const r = SavedViews.parseFile("\ufeff" + SavedViews.exportText(list));
  assert.deepEqual(plain(r.views), list);
  assert.deepEqual(plain(SavedViews.parseFile(JSON.stringify(list)).views), list);
  for (const bad of ["", "{", "[]", "{}", '{"gorunumler": 3}', JSON.stringify([{ name: "A", state: 1 }]),
                     JSON.stringify([list[0], list[0]]), JSON.stringify([list[0], null]), "x".repeat((1 << 20) + 1)]) {
    assert.ok(SavedViews.parseFile(bad).error, bad.slice(0, 40));
  }
  const merged = SavedViews.merge([{ name: "A", state: "" }, { name: "B", state: "" }], list);
  assert.deepEqual(plain(merged), { list: [{ name: "A", state: "seg=KOBI" }, { name: "B", state: "" }, list[1]], added: 1 });
});
