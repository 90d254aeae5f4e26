// Filters and sort keys in the URL fragment (viewurl.js, loaded as the page loads it).
import { test } from "node:test";
import assert from "node:assert/strict";
import { loadScripts } from "./page_scripts.mjs";

const { ViewUrl } = loadScripts(["viewurl"], ["ViewUrl"]);
const COLUMNS = new Set(["muta", "unvan", "risk", "s0", "s1", "s2"]);
const known = (id) => COLUMNS.has(id);
const OFF = { qRaw: "", plain: true, riskMin: NaN, riskMax: NaN, mlMin: NaN, mlMax: NaN, deltaDir: 0, deltaMin: NaN,
              move: 0, marks: 0, watch: false, chart: null };

function fragment(F, lists = {}, sorts = [], all = false) {
  const st = new URLSearchParams();
  ViewUrl.write(st, { ...OFF, ...F }, lists, sorts, all);
  return st.toString();
}
const read = (frag, P = 3, withMarks = true) => ViewUrl.read(new URLSearchParams(frag), P, withMarks, known);
// what read hands back, as data of this context (the script's objects are of its own)
const here = (v) => structuredClone(v);
function plain(u) {
  const { list, ...rest } = u;
  return here({ ...rest, seg: list("seg"), bolge: list("bolge") });
}

test("a view written to the fragment reads back the same", () => {
  const frag = fragment({ qRaw: "Işık & Ortak A.Ş.", plain: false, riskMin: 1000.5, mlMin: 0.07, mlMax: 0.5, deltaDir: -1,
                          deltaMin: 20, move: 1, marks: 5, watch: true, chart: { k: 2, a: -1, b: 3 } },
                        { seg: ["KOBI", "MIKRO"], band: [], bolge: ["Ege Bölge"] },
                        [{ id: "risk", desc: true }, { id: "unvan", desc: false }], true);
  assert.deepEqual(plain(read(frag)), {
    q: "Işık & Ortak A.Ş.", plain: false, riskMin: 1000.5, riskMax: NaN, mlPct: 7, mlMaxPct: 50, deltaDir: -1,
    deltaMin: 20, move: 1, all: true, watch: true, marks: 5, chart: { k: 2, a: -1, b: 3 },
    sorts: [{ id: "risk", desc: true }, { id: "unvan", desc: false }], seg: ["KOBI", "MIKRO"], bolge: ["Ege Bölge"],
  });
  assert.doesNotMatch(frag, /band=/, "a list with nothing ticked is no filter");
  // no filter writes nothing, and nothing reads as no filter
  assert.equal(fragment({}), "");
  assert.deepEqual(plain(read("")), {
    q: "", plain: true, riskMin: NaN, riskMax: NaN, mlPct: NaN, mlMaxPct: NaN, deltaDir: 0, deltaMin: NaN, move: 0,
    all: false, watch: false, marks: 0, chart: null, sorts: [], seg: [], bolge: [],
  });
});

test("what a fragment cannot mean reads as no filter", () => {
  const u = read("risk=abc&riskust=Infinity&ml=12,5&mlust=%20&fark=-15&degisim=2&hareket=-1&isaret=255&tumu=yes" +
                 "&sira=-risk,risk,nope,,-unvan,-");
  assert.deepEqual([u.riskMin, u.riskMax, u.mlPct, u.mlMaxPct], [NaN, NaN, NaN, NaN]);
  assert.equal(u.deltaMin, 15);                       // a minimum change is a size, either way
  assert.deepEqual([u.deltaDir, u.move, u.marks, u.all], [0, -1, 63, false]);
  assert.deepEqual(here(u.sorts), [{ id: "risk", desc: true }, { id: "unvan", desc: true }]);
  assert.equal(read("isaret=3", 3, false).marks, 0, "a page without marks");
  // a chart's band pair: a period of the page, a band before it only from the second period
  const charts = [["1:4:4", { k: 1, a: 4, b: 4 }], ["0:-1:2", { k: 0, a: -1, b: 2 }], ["0:0:1", null], ["3:-1:0", null],
                  ["1:5:0", null], ["1:0:5", null], ["1:-2:0", null], ["1:0", null], ["a:b:c", null], ["1:0:1:2", null]];
  for (const [g, want] of charts) assert.deepEqual(here(read("grafik=" + g).chart), want, g);
});
