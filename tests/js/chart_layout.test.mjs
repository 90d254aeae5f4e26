// Geometry of the page's charts (chart_layout.js, loaded as the page loads it).
import { test } from "node:test";
import assert from "node:assert/strict";
import { loadScripts } from "./page_scripts.mjs";

const { ChartLayout: C } = loadScripts(["chart_layout"], ["ChartLayout"]);
const BANDS = ["EUS", "YIS", "YUKSEK", "YI", "YOK"];
const rank = (b) => (BANDS.indexOf(b) < 0 ? 99 : BANDS.indexOf(b));
const near = (a, b) => Math.abs(a - b) < 1e-6;

const FLOW = [
  { from_donem: "A", to_donem: "B", from_band: "EUS", to_band: "EUS", count: 50 },
  { from_donem: "A", to_donem: "B", from_band: "EUS", to_band: "YIS", count: 10 },
  { from_donem: "A", to_donem: "B", from_band: "YI", to_band: "YI", count: 5 },
  { from_donem: "B", to_donem: "C", from_band: "YIS", to_band: "YUKSEK", count: 8 },
  { from_donem: "B", to_donem: "C", from_band: "EUS", to_band: "EUS", count: 50 },
  // left out: a period skipped, an unknown period, nothing moved, not a number, not an object
  { from_donem: "A", to_donem: "C", from_band: "EUS", to_band: "EUS", count: 9 },
  { from_donem: "X", to_donem: "A", from_band: "EUS", to_band: "EUS", count: 9 },
  { from_donem: "A", to_donem: "B", from_band: "YIS", to_band: "YIS", count: 0 },
  { from_donem: "A", to_donem: "B", from_band: "YIS", to_band: "YI", count: "x" },
  null, 7,
];

test("Sankey: links fill their nodes, nodes of a column stack in band order inside the box", () => {
  const W = 600, H = 300;
  const graph = C.sankeyGraph(FLOW, ["A", "B", "C"]);
  assert.equal(graph.links.length, 5);
  const g = C.sankey(graph, 3, W, H, rank);
  for (const n of g.nodes) {
    const out = g.links.filter((l) => l.source === n), inn = g.links.filter((l) => l.target === n);
    const sum = (ls) => ls.reduce((s, l) => s + l.w, 0);
    // the fuller side of a node is exactly as tall as the node; links stay within it
    assert.ok(near(Math.max(sum(out), sum(inn)), n.h), `${n.period} ${n.band}`);
    for (const l of out) assert.ok(l.y0 - l.w / 2 >= n.y - 1e-9 && l.y0 + l.w / 2 <= n.y + n.h + 1e-9);
    for (const l of inn) assert.ok(l.y1 - l.w / 2 >= n.y - 1e-9 && l.y1 + l.w / 2 <= n.y + n.h + 1e-9);
    assert.ok(n.x >= 0 && n.x + g.nodeWidth <= W && n.y >= 0 && n.y + n.h <= H, JSON.stringify(n));
  }
  g.columns.forEach((col, ci) => {
    assert.deepEqual(col.map((n) => rank(n.band)), col.map((n) => rank(n.band)).sort((a, b) => a - b));
    for (let k = 1; k < col.length; k++) assert.ok(col[k].y >= col[k - 1].y + col[k - 1].h, `column ${ci}`);
  });
  // links go from one column to the next, left to right
  for (const l of g.links) assert.ok(l.x0 < l.x1 && l.target.col === l.source.col + 1);
  // B's EUS node: 50 in, 50 out; one scale for every node
  const eusB = g.nodes.find((n) => n.period === "B" && n.band === "EUS");
  const yiA = g.nodes.find((n) => n.period === "A" && n.band === "YI");
  assert.ok(near(eusB.h / yiA.h, 10));
});

test("Sankey: many bands in a small box still fit", () => {
  const flow = [];
  for (const a of BANDS) for (const b of BANDS) flow.push({ from_donem: "A", to_donem: "B", from_band: a, to_band: b, count: 1 });
  const g = C.sankey(C.sankeyGraph(flow, ["A", "B"]), 2, 240, 60, rank);
  for (const n of g.nodes) assert.ok(n.y + n.h <= 60 + 1e-9 && n.h >= 1, JSON.stringify(n));
});

test("stacked bars: each period's bands from 0 in the order given, bad counts as none", () => {
  const snap = { A: { EUS: 5, YIS: 3, YI: -2 }, B: { EUS: "7", YOK: Infinity }, C: null };
  const s = C.stacks(snap, ["A", "B", "C"], ["EUS", "YIS", "YI", "YOK"]);
  assert.deepEqual(s.map((d) => d.total), [8, 7, 0]);
  assert.deepEqual(s[0].parts.map((q) => [q.band, q.y0, q.y1]), [["EUS", 0, 5], ["YIS", 5, 8], ["YI", 8, 8], ["YOK", 8, 8]]);
});

test("scale: at most four whole steps of 1, 2 or 5 times a power of ten, up to at least the largest bar", () => {
  const cases = [[0, 1, [0, 1]], [3, 3, [0, 1, 2, 3]], [8, 8, [0, 2, 4, 6, 8]], [95, 100, [0, 50, 100]],
                 [1234, 1500, [0, 500, 1000, 1500]], [0.3, 1, [0, 1]], [NaN, 1, [0, 1]]];
  for (const [max, top, ticks] of cases) {
    const s = C.niceScale(max);
    assert.equal(s.top, top, String(max));
    assert.deepEqual([...s.ticks], ticks, String(max));
  }
});
