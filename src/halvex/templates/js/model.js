// ---------------------------------------------------------------- the model's figures as words
// What the page says about the close-monitoring model, free of the page itself: the
// probability in one format (grid, detail and CSV alike), the alert threshold, a reason's
// direction, and look-ups into the predictions, the back-test summary and a borrower's
// back-test history.
var ModelText = (function () {
  var MISSING = "–", MINUS = "\u2212";
  function isNum(v) { return typeof v === "number" && v === v && isFinite(v); }
  function isObj(v) { return v !== null && typeof v === "object" && !Array.isArray(v); }

  // "19.8" for 0.198: percent with one decimal, rounded once from the double itself (so the
  // grid, the detail and the CSV never disagree in the last digit)
  function pctDigits(v) {
    if (!isNum(v)) return "";
    var neg = v < 0, s = Math.abs(v).toFixed(3), dot = s.indexOf(".");
    var whole = s.slice(0, dot) + s.slice(dot + 1, dot + 3), tenth = s.slice(dot + 3);
    whole = whole.replace(/^0+(?=\d)/, "");
    var out = whole + "." + tenth;
    return neg && out !== "0.0" ? "-" + out : out;
  }
  // "%19,8" (the Turkish way: sign first, decimal comma); "–" when there is none
  function pct(v) {
    var d = pctDigits(v);
    if (!d) return MISSING;
    var neg = d.charAt(0) === "-";
    var body = (neg ? d.slice(1) : d).split(".");
    body[0] = body[0].replace(/\B(?=(\d{3})+$)/g, ".");
    return (neg ? MINUS : "") + "%" + body.join(",");
  }
  // the CSV's number: "19,8"
  function pctCsv(v) { return pctDigits(v).replace(".", ","); }
  // the grid's and the detail's: the CSV's text under a heading that says "(%)"
  function pctNumber(v) { return pctCsv(v) || MISSING; }

  // alert threshold of the document (a probability), or NaN when it names none
  function threshold(meta) {
    var t = isObj(meta) ? meta.alarm_esigi : null;
    return isNum(t) && t >= 0 && t <= 1 ? t : NaN;
  }
  function atOrAbove(v, thr) { return isNum(v) && thr === thr && v >= thr; }

  // a log-odds contribution: "+0,42", "−0,13"
  function logOdds(x) {
    if (!isNum(x)) return MISSING;
    var s = Math.abs(x).toFixed(2), zero = /^0\.00$/.test(s);
    return (zero ? "" : x > 0 ? "+" : MINUS) + s.replace(".", ",");
  }
  // one of the model's reasons in words: what, which way, how much
  function reason(r) {
    r = isObj(r) ? r : {};
    var x = r.logodds, dir = isNum(x) ? (x > 0 ? 1 : x < 0 ? -1 : 0) : 0;
    var label = r.label != null && String(r.label).trim() ? String(r.label) : r.feature != null ? String(r.feature) : "";
    return { label: label, feature: r.feature != null ? String(r.feature) : "", dir: dir,
             arrow: dir > 0 ? "↑" : dir < 0 ? "↓" : "·",
             effect: dir > 0 ? "riski artırır" : dir < 0 ? "riski azaltır" : "etkisiz",
             value: logOdds(x) };
  }

  // customer number as a key: the digits of a whole number, a text as it is
  function idKey(v) {
    if (v == null) return "";
    if (typeof v === "number") return isFinite(v) ? String(v) : "";
    return String(v);
  }
  // predictions by customer number (entity_id, or muta in older sections); the first of a
  // number counts (they come riskiest first)
  function predictionIndex(preds) {
    var map = new Map();
    if (!Array.isArray(preds)) return map;
    preds.forEach(function (p) {
      if (!isObj(p)) return;
      var k = idKey(p.entity_id != null ? p.entity_id : p.muta);
      if (k !== "" && !map.has(k)) map.set(k, p);
    });
    return map;
  }
  function reasonsOf(pred) {
    return isObj(pred) && Array.isArray(pred.reasons) ? pred.reasons.filter(isObj).slice(0, 3).map(reason) : [];
  }

  function flag(v) { return v === true || v === 1 ? true : v === false || v === 0 ? false : null; }
  // a borrower's back-test history, one entry per origin in stored order
  function history(entry) {
    if (!isObj(entry)) return [];
    return Object.keys(entry).filter(function (o) { return isObj(entry[o]); }).map(function (o) {
      var e = entry[o], alerted = flag(e.alerted), outcome = flag(e.outcome), caught = flag(e.caught), missed = flag(e.missed);
      var status = caught ? "Yakalandı" : missed ? "Kaçırıldı" : alerted && outcome === false ? "Yanlış alarm"
                 : alerted === false && outcome === false ? "Alarm yok, YI yok" : MISSING;
      return { origin: o, prob: isNum(e.prob) ? e.prob : null, alerted: alerted, outcome: outcome, status: status };
    });
  }
  function yesNo(v) { return v === true ? "Evet" : v === false ? "Hayır" : MISSING; }

  // The back-test summary as the model writes it (origins with their metrics), or null for a
  // section of another shape.
  function backtest(s) {
    if (!isObj(s) || !Array.isArray(s.origins)) return null;
    var origins = s.origins.filter(isObj);
    if (!origins.length && !isObj(s.overall)) return null;
    var last = origins.length ? origins[origins.length - 1] : null;
    return { horizon: isNum(s.horizon) ? s.horizon : null, origins: origins, overall: isObj(s.overall) ? s.overall : null,
             latestOrigin: last && last.origin != null ? String(last.origin) : "" };
  }
  // capture curve of a metrics block: (0, 0), then each top share, in order of share
  function capturePoints(block) {
    var pts = (isObj(block) && Array.isArray(block.capture) ? block.capture : []).filter(function (c) {
      return isObj(c) && isNum(c.share) && isNum(c.capture);
    }).map(function (c) { return { share: c.share, capture: c.capture, lift: isNum(c.lift) ? c.lift : null }; });
    pts.sort(function (a, b) { return a.share - b.share; });
    return pts.length ? [{ share: 0, capture: 0, lift: null }].concat(pts) : [];
  }
  // calibration by decile: mean probability against observed rate
  function calibrationPoints(block) {
    return (isObj(block) && Array.isArray(block.calibration) ? block.calibration : []).filter(function (c) {
      return isObj(c) && isNum(c.mean_prob) && isNum(c.observed_rate);
    }).map(function (c) { return { prob: c.mean_prob, rate: c.observed_rate, rows: isNum(c.rows) ? c.rows : null }; });
  }
  // the figures of a metrics block that the page tabulates
  function metrics(block) {
    block = isObj(block) ? block : {};
    function n(k) { return isNum(block[k]) ? block[k] : null; }
    return { rows: n("rows"), positives: n("positives"), auc: n("auc"), scoreAuc: n("score_alone_auc"),
             alerted: n("alerted"), caught: n("caught"), missed: n("missed"), falseAlarms: n("false_alarms"),
             lead: n("mean_lead_time") };
  }
  function ratio(x, digits) {
    return isNum(x) ? x.toFixed(digits == null ? 3 : digits).replace(".", ",") : MISSING;
  }

  return { pct: pct, pctDigits: pctDigits, pctCsv: pctCsv, pctNumber: pctNumber, threshold: threshold, atOrAbove: atOrAbove,
           logOdds: logOdds, reason: reason, idKey: idKey, predictionIndex: predictionIndex, reasonsOf: reasonsOf,
           history: history, yesNo: yesNo, backtest: backtest, capturePoints: capturePoints,
           calibrationPoints: calibrationPoints, metrics: metrics, ratio: ratio };
})();
