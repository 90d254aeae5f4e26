// The model's figures as the page words them (model.js, loaded as the page loads it).
import { test } from "node:test";
import assert from "node:assert/strict";
import { loadScripts } from "./page_scripts.mjs";

const { ModelText: M } = loadScripts(["model"], ["ModelText"]);
// values made in the page's context compared as plain data
const plain = (x) => JSON.parse(JSON.stringify(x));

test("probability: percent with one decimal, the same digits for grid and CSV", () => {
  const cases = [[0.198, "%19,8", "19,8"], [0, "%0,0", "0,0"], [1, "%100,0", "100,0"], [0.35, "%35,0", "35,0"],
                 [0.0004, "%0,0", "0,0"], [0.0006, "%0,1", "0,1"], [0.12345, "%12,3", "12,3"], [0.9999, "%100,0", "100,0"],
                 [12.5, "%1.250,0", "1250,0"], [-0.05, "\u2212%5,0", "-5,0"]];
  for (const [v, shown, csv] of cases) {
    assert.equal(M.pct(v), shown, String(v));
    assert.equal(M.pctCsv(v), csv, String(v));
    assert.equal(M.pctNumber(v), csv, String(v));      // grid and detail: the CSV's text
  }
  for (const v of [null, undefined, NaN, Infinity, "0.5"]) {
    assert.equal(M.pct(v), "–");
    assert.equal(M.pctCsv(v), "");
    assert.equal(M.pctNumber(v), "–");
  }
});

test("alert threshold: a probability from meta, marked at or above it", () => {
  assert.equal(M.threshold({ alarm_esigi: 0.35 }), 0.35);
  for (const meta of [{}, null, { alarm_esigi: "0.35" }, { alarm_esigi: 35 }, { alarm_esigi: -0.1 }, { alarm_esigi: null }]) {
    assert.ok(Number.isNaN(M.threshold(meta)), JSON.stringify(meta));
  }
  assert.equal(M.atOrAbove(0.35, 0.35), true);
  assert.equal(M.atOrAbove(0.3499, 0.35), false);
  assert.equal(M.atOrAbove(0.9, NaN), false);
  assert.equal(M.atOrAbove(null, 0.1), false);
});

test("a reason in words with its direction and log-odds", () => {
  const up = M.reason({ feature: "qvr_score", label: "QVR skoru", logodds: 0.4251 });
  assert.deepEqual([up.label, up.dir, up.arrow, up.effect, up.value], ["QVR skoru", 1, "↑", "riski artırır", "+0,43"]);
  const down = M.reason({ feature: "risk_mio", label: "", logodds: -0.126 });
  assert.deepEqual([down.label, down.dir, down.arrow, down.effect, down.value], ["risk_mio", -1, "↓", "riski azaltır", "\u22120,13"]);
  const none = M.reason({ feature: "x", label: "X", logodds: null });
  assert.deepEqual([none.dir, none.arrow, none.value], [0, "·", "–"]);
  assert.equal(M.logOdds(-0.001), "0,00");                 // no sign on what rounds to nothing
});

test("predictions looked up by customer number, whatever its JSON type", () => {
  const preds = [{ entity_id: "1001", reasons: [{ label: "a", logodds: 1 }, { label: "b", logodds: -1 }, { label: "c", logodds: 0.5 }, { label: "d", logodds: 2 }] },
                 { entity_id: "1001", reasons: [] }, { muta: 2002, olasilik: 0.5 }, { entity_id: "9007199254740993" }, "junk", null];
  const idx = M.predictionIndex(preds);
  assert.equal(idx.get(M.idKey(1001)), preds[0]);           // a row's number meets the text id; first wins
  assert.equal(idx.get(M.idKey("2002")), preds[2]);
  assert.equal(idx.get(M.idKey("9007199254740993")), preds[3]);   // kept as digits by the page's reader
  assert.equal(idx.size, 3);
  assert.deepEqual(plain(M.reasonsOf(preds[0]).map((r) => r.label)), ["a", "b", "c"]);   // three at most
  assert.equal(M.reasonsOf(preds[2]).length, 0);
  assert.equal(M.predictionIndex({ not: "a list" }).size, 0);
});

test("a borrower's back-test history: caught, missed and false alarms per origin", () => {
  const h = M.history({
    "202403": { prob: 0.61, score: 0.4, alerted: true, outcome: 1, caught: true, missed: false },
    "202404": { prob: 0.12, alerted: false, outcome: 1, caught: false, missed: true },
    "202405": { prob: 0.55, alerted: 1, outcome: 0, caught: 0, missed: 0 },
    "202406": { prob: 0.02, alerted: false, outcome: 0, caught: false, missed: false },
    "junk": 3,
  });
  assert.deepEqual(plain(h.map((e) => [e.origin, e.status])),
    [["202403", "Yakalandı"], ["202404", "Kaçırıldı"], ["202405", "Yanlış alarm"], ["202406", "Alarm yok, YI yok"]]);
  assert.deepEqual([h[0].prob, h[0].alerted, h[0].outcome], [0.61, true, true]);
  assert.equal(M.history([1, 2]).length, 0);
});

test("back-test summary: the model's shape is drawn, any other shape is not", () => {
  const block = { rows: 1000, positives: 40, auc: 0.81, score_alone_auc: 0.7, caught: 20, missed: 20, false_alarms: 70,
                  capture: [{ share: 0.1, capture: 0.6, lift: 6 }, { share: 0.01, capture: 0.2, lift: 20 }, { share: "x" }],
                  calibration: [{ mean_prob: 0.01, observed_rate: 0.0, rows: 100 }, { mean_prob: 0.3, observed_rate: "?" }] };
  const s = M.backtest({ format: 1, horizon: 3, origins: [{ origin: "202401", ...block }, { origin: 202402, ...block }], overall: block });
  assert.equal(s.horizon, 3);
  assert.equal(s.latestOrigin, "202402");
  assert.equal(s.origins.length, 2);
  assert.deepEqual(plain(M.capturePoints(block).map((p) => [p.share, p.capture])), [[0, 0], [0.01, 0.2], [0.1, 0.6]]);
  assert.deepEqual(plain(M.calibrationPoints(block)), [{ prob: 0.01, rate: 0, rows: 100 }]);
  const m = M.metrics(block);
  assert.deepEqual([m.auc, m.scoreAuc, m.caught, m.missed, m.falseAlarms, m.lead], [0.81, 0.7, 20, 20, 70, null]);
  assert.equal(M.ratio(0.8123), "0,812");
  assert.equal(M.backtest({ "2025-09": { yakalanan: 41 } }), null);
  assert.equal(M.backtest({ origins: [] }), null);
  assert.equal(M.backtest([]), null);
  assert.equal(M.capturePoints({}).length, 0);
});
