// ---------------------------------------------------------------- page settings and data
var Page = (function () {
  // the decoder on the page's own thread: its JSON reader, and chunks when there is no worker
  var decoder = {};
  hxDecoder(decoder);
  var NULL_SCORE = decoder.NULL_SCORE;

  function $(id) { return document.getElementById(id); }
  function readJSON(id, fallback) {
    var el = $(id);
    if (!el) return fallback;
    var src = el.textContent.trim();
    if (!src) return fallback;
    try { var v = decoder.parseJSON(src); return v == null ? fallback : v; } catch (err) { return fallback; }
  }
  function isObj(v) { return v !== null && typeof v === "object" && !Array.isArray(v); }
  function arr(v) { return Array.isArray(v) ? v : []; }
  function obj(v) { return isObj(v) ? v : {}; }

  var cfg = obj(readJSON("hx-config", {}));
  var meta = obj(readJSON("hx-meta", {}));
  var donemler = arr(readJSON("hx-donemler", [])).map(String);
  var riskDonemler = arr(readJSON("hx-risk-donemler", donemler)).map(String);
  var P = donemler.length, R = riskDonemler.length;
  // The row slots must describe these periods; a page without them (or with others) shows no
  // rows rather than wrong columns.
  var SLOTS = isObj(ROW_SLOTS) && ROW_SLOTS.P === P && ROW_SLOTS.R === R ? ROW_SLOTS : null;
  var V316 = SLOTS ? SLOTS.layout !== "v300" : cfg.layout !== "v300";
  var DECODER_CFG = { slots: SLOTS, amountsInTL: !V316 };
  var TOTAL_ROWS = Math.max(0, cfg.totalRows | 0), TOTAL_CHUNKS = Math.max(0, cfg.totalChunks | 0);
  var TOP_N = Math.max(0, cfg.topN | 0);
  var ADMIN = cfg.pageMode === "admin";
  var bolgeList = V316 ? arr(readJSON("hx-bolge-list", [])) : [];
  var subeList = V316 ? arr(readJSON("hx-sube-list", [])) : [];
  var flowMatrix = arr(readJSON("hx-flow-matrix", []));
  var bandSnapshot = obj(readJSON("hx-band-snapshot", {}));
  var diagIndex = obj(readJSON("hx-diag-index", {}));
  var diagGroups = obj(readJSON("hx-diag-groups", {}));
  var kriterAciklama = obj(readJSON("hx-kriter-aciklama", {}));
  var backtestSummary = readJSON("hx-backtest-summary", {});
  var backtestFirma = obj(readJSON("hx-backtest-firma", {}));
  var mlPredictions = readJSON("hx-ml-predictions", []);
  var ALARM_THR = ModelText.threshold(meta);       // NaN: the document names no alert threshold
  var externalLink = typeof cfg.externalLink === "string" ? cfg.externalLink.trim() : "";

  var HXS = window.__halvex = {
    firstRowsAt: null, allDecodedAt: null, shownRows: 0, matchedRows: 0, loadedRows: 0,
    totalRows: TOTAL_ROWS, totalChunks: TOTAL_CHUNKS, decodedChunks: 0, failedChunks: [], errors: [], decodeMs: [0, 0, 0], appendMs: 0, workers: 0, draws: 0, rowsFilled: [],
    namesMergedAt: null, distinctNames: null, lastQueryMs: 0, layout: V316 ? "v316" : "v300",
    // one column, one direction, sorted once
    sortBy: function (id, desc) {
      if (!Store.COLS_BY_ID[id]) return View.lastQueryMs;
      View.sorts = [{ id: id, desc: !!desc }];
      Grid.markSort(); View.refresh(); Grid.grid.scrollTop = 0; Grid.cursor = 0;
      return View.lastQueryMs;
    },
    viewMutas: function (k) { var out = []; for (var j = 0; j < Math.min(k, View.shownCount()); j++) out.push(Store.S.muta[View.rowAt(j)]); return out; },
    rowOf: function (k) {
      var i = View.rowAt(k);
      return { muta: Store.S.muta[i], unvan: Store.unvanAt(i), seg: Store.S.seg[i], risk: Store.S.risk[i], lastBand: Store.S.lastBand[i],
               scores: Array.prototype.slice.call(Store.S.score.subarray(i * P, i * P + P)), marks: V316 ? Store.S.marks[i] : 0,
               neden: V316 ? Store.S.neden[i] : "" };
    }
  };
  var SEGMENTS = ["KUR-TIC", "KOBI", "MIKRO", "ESKK"];
  var BAND_NAMES = ["EUS (<500)", "YIS (500–824)", "Yüksek (≥825)", "YI", "Skor yok"];
  var BAND_COLORS = ["#4caf50", "#f2b01e", "#d9412f", "#4a2a6b", "#b8c2cc"];
  var MARKS = [["HY", "Hızlı yükselen"], ["RD", "Rejim değişimi"], ["PY", "Potansiyel YI"],
               ["ES", "Erken sinyal"], ["YK", "Yakalanan"], ["KÇ", "Kaçırılan"]];
  var ALL = -2;

  // Numbers as the page shows them. Amounts are million TL as the renderer writes them: whole
  // millions from one million up, one decimal below (ties to the even digit), so both pages
  // show an amount alike. A missing value is MISSING, never a 0.
  var MISSING = "–";
  var intFmt = new Intl.NumberFormat("tr-TR", { maximumFractionDigits: 0 });
  var oneDecFmt = new Intl.NumberFormat("tr-TR", { minimumFractionDigits: 1, maximumFractionDigits: 1 });
  var ROUNDED_NOTE = "yuvarlanmış: 1 mio TL ve üstü tam milyon, altı bir ondalık";
  function fmtInt(v) { return intFmt.format(v); }
  function isNum(v) { return typeof v === "number" && v === v && isFinite(v); }
  function roundEven(x) {
    var r = Math.round(x);
    return Math.abs(x % 1) === 0.5 && r % 2 !== 0 ? r - 1 : r;
  }
  // to one decimal, from the exact value of the double, an exact tie going to the even digit
  // (as the renderer rounds: 0.45 is stored a little above 0.45 and gives 0.5; 0.25 gives 0.2)
  function roundTenthEven(m) {
    var a = Math.abs(m), up = Number(a.toFixed(1));        // toFixed: exact value, ties upwards
    var frac = a.toPrecision(21).split(".")[1] || "";
    if (/^\d50*$/.test(frac)) {                           // an exact tie: keep the even tenth
      var lo = Math.floor(a * 10);
      up = (lo % 2 === 0 ? lo : lo + 1) / 10;
    }
    return m < 0 ? -up : up;
  }
  function mioRounded(v) { return Math.abs(v) >= 1 ? roundEven(v) : roundTenthEven(v); }
  // The standard page's amounts arrive rounded already, and its 1.0 (from 999,950 TL up) reads
  // as 1; so the format follows the rounded value, and both pages show such an amount as "1".
  function fmtMio(v) {
    if (!isNum(v)) return MISSING;
    var m = mioRounded(v);
    return Math.abs(m) >= 1 ? intFmt.format(m) : oneDecFmt.format(m);
  }
  function fmtPct(v) { return ModelText.pct(v); }          // one rounding for grid, detail and CSV
  function scoreText(s) { return s === NULL_SCORE ? "" : s === -1 ? "YI" : String(s); }
  function scoreShown(s) { return s === NULL_SCORE ? MISSING : s === -1 ? "YI" : String(s); }
  // tooltip of an amount: the rounding, and the exact amount where the page has it
  function mioTitle(v) {
    if (!isNum(v)) return "Değer yok";
    var exact = V316 ? "" : " (tam tutar: " + intFmt.format(v * 1e6) + " TL)";
    return fmtMio(v) + " mio TL, " + ROUNDED_NOTE + exact;
  }
  var band = decoder.band;
  function safeColor(c) { return typeof c === "string" && /^#[0-9a-fA-F]{3,8}$/.test(c) ? c : "#667482"; }
  function listName(list, idx) {
    var item = idx >= 0 ? list[idx] : null;
    if (!item) return "";
    return item.adi != null ? String(item.adi) : item.kodu != null ? String(item.kodu) : "";
  }
  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text != null) e.textContent = text;
    return e;
  }
  var SVGNS = "http://www.w3.org/2000/svg";
  function svgEl(tag, attrs, parent) {
    var e = document.createElementNS(SVGNS, tag);
    for (var k in attrs) e.setAttribute(k, attrs[k]);
    if (parent) parent.appendChild(e);
    return e;
  }

  // diagnostic groups by letter
  var diagVocab = Findings.vocabulary(diagGroups);
  var groupByLetter = {}, groupByName = {};
  Object.keys(diagGroups).forEach(function (name) {
    var g = obj(diagGroups[name]);
    var info = { name: name, baslik: g.baslik != null ? String(g.baslik) : name, renk: safeColor(g.renk),
                 harf: g.harf != null ? String(g.harf) : "", aciklama: g.aciklama != null ? String(g.aciklama) : "" };
    groupByName[name] = info;
    if (info.harf) groupByLetter[info.harf] = info;
  });

  return {
    $: $, ADMIN: ADMIN, ALARM_THR: ALARM_THR, arr: arr, backtestFirma: backtestFirma,
    backtestSummary: backtestSummary, band: band, BAND_COLORS: BAND_COLORS, BAND_NAMES: BAND_NAMES,
    bandSnapshot: bandSnapshot, bolgeList: bolgeList, cfg: cfg, DECODER_CFG: DECODER_CFG,
    diagIndex: diagIndex, diagVocab: diagVocab, donemler: donemler, el: el, externalLink: externalLink,
    flowMatrix: flowMatrix, fmtInt: fmtInt, fmtMio: fmtMio, fmtPct: fmtPct, groupByLetter: groupByLetter,
    groupByName: groupByName, HXS: HXS, isNum: isNum, isObj: isObj, kriterAciklama: kriterAciklama,
    listName: listName, decoder: decoder, MARKS: MARKS, meta: meta, mioTitle: mioTitle, MISSING: MISSING,
    mlPredictions: mlPredictions, NULL_SCORE: NULL_SCORE, obj: obj, P: P, R: R, riskDonemler: riskDonemler,
    ROUNDED_NOTE: ROUNDED_NOTE, scoreShown: scoreShown, scoreText: scoreText, SEGMENTS: SEGMENTS,
    SLOTS: SLOTS, subeList: subeList, svgEl: svgEl, TOP_N: TOP_N, TOTAL_CHUNKS: TOTAL_CHUNKS,
    TOTAL_ROWS: TOTAL_ROWS, V316: V316
  };
})();
