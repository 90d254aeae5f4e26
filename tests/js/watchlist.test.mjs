// The watch list's keys, storage and file (watchlist.js, loaded as the page loads it).
import { test } from "node:test";
import assert from "node:assert/strict";
import { loadScripts } from "./page_scripts.mjs";

const { WatchList } = loadScripts(["watchlist"], ["WatchList"]);
const sorted = (set) => Array.from(set).sort();

// localStorage as one origin's pages share it
function storage(init = {}) {
  const m = new Map(Object.entries(init));
  return {
    get length() { return m.size; },
    key: (j) => Array.from(m.keys())[j] ?? null,
    getItem: (k) => (m.has(k) ? m.get(k) : null),
    setItem: (k, v) => { m.set(k, String(v)); },
    removeItem: (k) => { m.delete(k); },
    dump: () => Object.fromEntries(m),
  };
}

test("a borrower's key is its customer number, whichever page or render shows it", () => {
  assert.equal(WatchList.key(1234), "1234");
  assert.equal(WatchList.key("1234"), "1234");
  assert.equal(WatchList.key(" 1234 "), "1234");
  assert.equal(WatchList.key("9007199254740993"), "9007199254740993");
  assert.equal(WatchList.key("00123"), "00123");
});

test("stars are shared by the pages of an origin and outlive the render", () => {
  const st = storage();
  // the standard page of one night stars two borrowers
  let standard = WatchList.load(st);
  standard = WatchList.toggle(st, standard, 1234);
  standard = WatchList.toggle(st, standard, "9007199254740993");
  // the compressed page, open at the same time, stars one more without losing those
  let v300 = WatchList.load(st);
  assert.deepEqual(sorted(v300), ["1234", "9007199254740993"]);
  v300 = WatchList.toggle(st, v300, 77);
  // the standard page unstars one: the star set on the other page stays
  standard = WatchList.toggle(st, standard, 1234);
  assert.deepEqual(sorted(standard), ["77", "9007199254740993"]);
  // next night's page (other title, time, row count) reads the same list
  assert.deepEqual(sorted(WatchList.load(st)), ["77", "9007199254740993"]);
});

test("the lists kept per render before are merged once, then dropped", () => {
  const st = storage({
    "halvex-izleme:QVR|2025-01-01T00:00|800|2025-01": JSON.stringify(["1", 2]),
    "halvex-izleme:QVR|2025-01-02T00:00|801|2025-01": JSON.stringify(["2", "3"]),
    "halvex-izleme:bozuk": "{not json",
    "other": "x",
  });
  assert.deepEqual(sorted(WatchList.load(st)), ["1", "2", "3"]);
  assert.deepEqual(Object.keys(st.dump()).sort(), ["halvex-izleme", "other"]);
  // unstarring one does not bring it back from an old list
  WatchList.toggle(st, WatchList.load(st), "2");
  assert.deepEqual(sorted(WatchList.load(st)), ["1", "3"]);
});

test("the list moves to another machine as a file; a bad file changes nothing", () => {
  const text = WatchList.exportText(new Set(["9007199254740993", "12", "00123"]));
  assert.deepEqual(JSON.parse(text), { izleme_listesi: ["00123", "12", "9007199254740993"] });
  const st = storage();
  const r = WatchList.parseFile("\ufeff" + text);
  assert.deepEqual(Array.from(r.keys), ["00123", "12", "9007199254740993"]);
  const got = WatchList.addAll(st, WatchList.load(st), r.keys);
  assert.equal(got.added, 3);
  assert.deepEqual(sorted(WatchList.load(st)), ["00123", "12", "9007199254740993"]);
  // other forms: a JSON array, one number a line
  assert.deepEqual(Array.from(WatchList.parseFile("[1, \"2\"]").keys), ["1", "2"]);
  assert.deepEqual(Array.from(WatchList.parseFile("# liste\r\n10\n\n 20 \n").keys), ["10", "20"]);
  for (const bad of ["{", "{\"x\": [1]}", "[{\"a\": 1}]", "[null]", "", "# yalnız yorum\n", "1\n" + "9".repeat(65) + "\n",
                     "1\u0000\n", "x".repeat(5 << 20)]) {
    assert.ok(typeof WatchList.parseFile(bad).error === "string", JSON.stringify(bad.slice(0, 30)));
  }
});

test("without storage the list lives for the visit", () => {
  let set = WatchList.load(null);
  set = WatchList.toggle(null, set, 5);
  assert.deepEqual(sorted(set), ["5"]);
  assert.equal(WatchList.addAll(null, set, ["5", "6"]).added, 1);
});
