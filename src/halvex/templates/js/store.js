// ---------------------------------------------------------------- column store
var Store = (function () {
  var ALARM_THR = Page.ALARM_THR, arr = Page.arr, bolgeList = Page.bolgeList, diagIndex = Page.diagIndex,
      diagVocab = Page.diagVocab, donemler = Page.donemler, fmtMio = Page.fmtMio,
      groupByLetter = Page.groupByLetter, HXS = Page.HXS, isObj = Page.isObj,
      kriterAciklama = Page.kriterAciklama, listName = Page.listName, MISSING = Page.MISSING,
      NULL_SCORE = Page.NULL_SCORE, P = Page.P, R = Page.R, ROUNDED_NOTE = Page.ROUNDED_NOTE,
      SEGMENTS = Page.SEGMENTS, subeList = Page.subeList, TOTAL_ROWS = Page.TOTAL_ROWS, V316 = Page.V316;

  var S = { n: 0, cap: 0 };
  function grow(cap) {
    function g(name, Ctor, width) {
      var old = S[name], a = new Ctor(cap * width);
      if (old) a.set(old.subarray(0, S.n * width));
      S[name] = a;
    }
    g("uid", Int32Array, 1); g("seg", Int8Array, 1); g("risk", Float64Array, 1); g("score", Int32Array, P); g("r", Float64Array, R);
    g("lastBand", Uint8Array, 1);
    if (V316) {
      g("bolge", Int32Array, 1); g("sube", Int32Array, 1); g("rd", Float64Array, R); g("df", Float64Array, R);
      g("marks", Uint8Array, 1); g("ml", Float64Array, 1);
    }
    S.cap = cap;
  }
  // names (unvan): S.names holds each chunk's distinct texts (a text found in several chunks is
  // there once per chunk: looking every name up in one map costs more than a second on the
  // page's thread at a million rows), S.uid the index of each row's
  // page's thread at a million rows), S.uid the index of each row's. Once every chunk is in,
  // mergeNames makes the texts distinct in the background, so that sorting and searching by
  // name see each text once. S.namesGen counts the merges (name indices change with them).
  S.muta = []; S.mutaTexts = 0; S.neden = []; S.names = []; S.namesGen = 0;
  grow(Math.max(TOTAL_ROWS, 1));
  function unvanAt(i) { return S.names[S.uid[i]]; }

  var MERGE_SLICE_MS = 12;
  function mergeNames(then) {
    var names = S.names, n = S.n, ids = new Int32Array(names.length), seen = new Map(), uniq = [], k = 0;
    function step() {
      if (S.names !== names || S.n !== n) return;
      var end = performance.now() + MERGE_SLICE_MS;
      do {
        for (var stop = Math.min(names.length, k + 2000); k < stop; k++) {
          var t = names[k], id = seen.get(t);
          if (id === undefined) { id = uniq.length; seen.set(t, id); uniq.push(t); }
          ids[k] = id;
        }
      } while (k < names.length && performance.now() < end);
      if (k < names.length) { setTimeout(step, 0); return; }
      if (uniq.length < names.length) {
        var uid = S.uid;
        for (var i = 0; i < n; i++) uid[i] = ids[uid[i]];
        S.names = uniq;
        S.namesGen++;
        Sort.forgetTexts("unvan");
      }
      HXS.distinctNames = uniq.length;
      if (then) then();
    }
    setTimeout(step, 0);
  }

  function appendColumns(c) {
    var n = c.n, off = S.n;
    if (off + n > S.cap) grow(Math.max(off + n, S.cap * 2));
    S.seg.set(c.seg, off); S.risk.set(c.risk, off); S.score.set(c.score, off * P); S.r.set(c.r, off * R);
    if (V316) {
      S.bolge.set(c.bolge, off); S.sube.set(c.sube, off); S.rd.set(c.rd, off * R); S.df.set(c.df, off * R);
      S.marks.set(c.marks, off); S.ml.set(c.ml, off);
    }
    var names = c.names, first = S.names.length, k;
    for (k = 0; k < names.length; k++) S.names.push(names[k]);
    var uid = c.uid, muta = c.muta, suid = S.uid, smuta = S.muta;
    S.lastBand.set(c.lastBand, off);
    for (var i = 0; i < n; i++) {
      suid[off + i] = first + uid[i];
      smuta.push(muta[i]);
    }
    // customer numbers that came as text (the chunk's numbers come as one typed array)
    if (!(muta instanceof Float64Array)) for (i = 0; i < n; i++) if (typeof muta[i] !== "number") S.mutaTexts++;
    if (V316) { var nid = c.nedenId, nt = c.nedenTexts; for (i = 0; i < n; i++) S.neden.push(nt[nid[i]]); }
    S.n = off + n;
    HXS.loadedRows = S.n;
  }

  // diagnostic letters of a row, per period, alike on both pages (Findings); the administrator
  // page has the findings as well
  var diagCache = new Map();
  function diagOf(i) {
    var key = String(S.muta[i]);
    if (diagCache.has(key)) return diagCache.get(key);
    var entry = diagIndex[key], out = null;
    if (isObj(entry)) {
      out = {};
      Object.keys(entry).forEach(function (d) {
        var v = entry[d];
        out[d] = { letters: Findings.periodLetters(v, diagVocab),
                   findings: typeof v === "string" ? null : Array.isArray(v) ? v : isObj(v) ? arr(v.bulgular) : [] };
      });
    }
    if (diagCache.size > 5000) diagCache.clear();
    diagCache.set(key, out);
    return out;
  }
  function diagTitle(d, info) {
    var lines = [d];
    for (var k = 0; k < info.letters.length; k++) {
      var g = groupByLetter[info.letters.charAt(k)];
      lines.push(g ? g.harf + " – " + g.baslik + (g.aciklama ? ": " + g.aciklama : "") : info.letters.charAt(k));
    }
    if (info.findings) info.findings.forEach(function (f) {
      if (!isObj(f)) return;
      var code = f.kriter != null ? String(f.kriter) : "";
      var desc = kriterAciklama[code];
      lines.push("• " + (f.katman ? f.katman + " " : "") + code + (desc ? ": " + desc : ""));
    });
    return lines.join("\n");
  }

  // ---------------------------------------------------------------- columns of the grid
  // Sort keys: "num" gives a number (NaN = missing, always last), "str" a text ("" = blank,
  // always last). Every column the page can show is defined here; which are shown, in which
  // order, how wide and which are pinned is the column layout (grid.js).
  var COL_DEFS = [], COLS_BY_ID = {};
  function col(def) { COL_DEFS.push(def); COLS_BY_ID[def.id] = def; def.w0 = def.w; return def; }
  // a column's heading: its title, with the unit of its numbers when they carry none themselves
  function colHeading(c) { return c.unit ? c.title + " (" + c.unit + ")" : c.title; }
  function scoreKey(k) {
    // "YI" ranks above every score
    return function (i) { var s = S.score[i * P + k]; return s === NULL_SCORE ? NaN : s === -1 ? 1e9 : s; };
  }
  // change of the latest score from the period before; none when either is missing or "YI"
  function scoreDelta(i) {
    if (P < 2) return NaN;
    var a = S.score[i * P + P - 2], b = S.score[i * P + P - 1];
    return a === NULL_SCORE || b === NULL_SCORE || a === -1 || b === -1 ? NaN : b - a;
  }
  function deltaText(i) {
    var d = scoreDelta(i);
    return d !== d ? MISSING : d > 0 ? "+" + d : d < 0 ? "−" + (-d) : "0";
  }
  // Customer numbers beyond 2^53 are kept as their digits (the decoder reads them so); as
  // numbers they may tie, and such ties are settled by the digits.
  function intParts(m) {
    var s = typeof m === "number" ? (Number.isSafeInteger(m) ? String(m) : "") : typeof m === "string" ? m.trim() : "";
    if (!/^-?\d+$/.test(s)) return null;
    var d = s.replace(/^-?0*/, "");
    return { neg: s.charAt(0) === "-" && d !== "", d: d };
  }
  function compareMuta(i, j) {
    var a = intParts(S.muta[i]), b = intParts(S.muta[j]);
    if (!a || !b) return 0;
    if (a.neg !== b.neg) return a.neg ? -1 : 1;
    var c = a.d.length !== b.d.length ? a.d.length - b.d.length : a.d < b.d ? -1 : a.d > b.d ? 1 : 0;
    return a.neg ? -c : c;
  }
  // tip: a number longer than the column shows whole when pointed at
  col({ id: "muta", title: "MUTA", w: 92, type: "num", tip: true,
        key: function (i) { var m = S.muta[i]; return typeof m === "number" ? m : m === "" ? NaN : Number(m); },
        ties: function () { return S.mutaTexts ? compareMuta : null; },
        text: function (i) { return String(S.muta[i]); } });
  col({ id: "unvan", title: "Unvan", w: 250, type: "str",
        key: unvanAt, text: unvanAt, tip: true, code: function (i) { return S.uid[i]; },
        // every row's text by index into a list of distinct texts (for sorting)
        dict: function () { return { ids: S.uid, texts: S.names }; } });
  donemler.forEach(function (d, k) {
    col({ id: "s" + k, title: d, w: V316 ? 80 : 68, cls: "sc", type: "num", firstDesc: true, period: k, key: scoreKey(k),
          long: "QVR skoru " + d });
  });
  if (P >= 2) {
    col({ id: "delta", title: "Değişim", w: 76, cls: "num", type: "num", firstDesc: true, key: scoreDelta, text: deltaText,
          long: "Son skorun önceki döneme göre değişimi (" + donemler[P - 2] + " → " + donemler[P - 1] + ")" });
  }
  col({ id: "risk", title: "Risk (mio TL)", w: 88, cls: "num", type: "num", firstDesc: true, amount: true,
        key: function (i) { return S.risk[i]; }, text: function (i) { return fmtMio(S.risk[i]); },
        long: "Son risk, milyon TL (" + ROUNDED_NOTE + ")" });
  if (V316) {
    col({ id: "ml", title: "ML YI olasılığı", unit: "%", w: 82, cls: "num", type: "num", firstDesc: true,
          key: function (i) { return S.ml[i]; }, text: function (i) { return ModelText.pctNumber(S.ml[i]); },
          tipText: function (i) { return ModelView.mlTip(S.ml[i]); },
          long: "Modelin kalibre YI olasılığı" + (ALARM_THR === ALARM_THR ? "; ▲ alarm eşiği " + ModelText.pct(ALARM_THR) + " ve üstü" : "") });
    col({ id: "marks", title: "İşaretler", w: 128, type: "num", firstDesc: true, marks: true,
          key: function (i) { var m = S.marks[i], c = 0; while (m) { c += m & 1; m >>= 1; } return c ? c * 64 + S.marks[i] : NaN; } });
  }
  col({ id: "segment", title: "Segment", w: 74, type: "str",
        dict: function () { return { ids: S.seg, texts: [""].concat(SEGMENTS), base: 1 }; },
        key: function (i) { return S.seg[i] >= 0 ? SEGMENTS[S.seg[i]] : ""; }, code: function (i) { return S.seg[i] + 1; },
        text: function (i) { return S.seg[i] >= 0 ? SEGMENTS[S.seg[i]] : ""; } });
  if (V316) {
    col({ id: "bolge", title: "Bölge", w: 118, type: "str", tip: true,
          key: function (i) { return listName(bolgeList, S.bolge[i]); }, text: function (i) { return listName(bolgeList, S.bolge[i]); },
          code: function (i) { return S.bolge[i] + 1; } });
    col({ id: "sube", title: "Şube", w: 150, type: "str", tip: true,
          key: function (i) { return listName(subeList, S.sube[i]); }, text: function (i) { return listName(subeList, S.sube[i]); },
          code: function (i) { return S.sube[i] + 1; } });
  }
  col({ id: "seri", title: "Risk seyri", w: 30 + 12 * R, type: "num", firstDesc: true, spark: true,
        key: function (i) { return R ? S.r[i * R + R - 1] : NaN; } });
  if (V316) {
    col({ id: "neden", title: "Neden", w: 230, cls: "neden", type: "str", tip: true,
          key: function (i) { return S.neden[i]; }, text: function (i) { return S.neden[i]; } });
  }
  // Watch list (WatchList): kept in the browser's storage when there is one, else for this visit.
  var watchStorage = null;
  try { watchStorage = window.localStorage; watchStorage.getItem(WatchList.STORAGE_KEY); } catch (err) { watchStorage = null; }
  var watched = WatchList.load(watchStorage);
  function isWatched(i) { return watched.has(WatchList.key(S.muta[i])); }
  function watchedChanged(now) {
    watched = now;
    HXS.watched = Array.from(watched);
    if (View.F.watch || View.sorts.some(function (s) { return s.id === "watch"; })) View.sortAgain(); else Grid.schedule();
  }
  function toggleWatch(i) { watchedChanged(WatchList.toggle(watchStorage, watched, S.muta[i])); }
  // a star set on another page of this origin shows here too
  window.addEventListener("storage", function (ev) {
    if (ev.key === WatchList.STORAGE_KEY || ev.key === null) watchedChanged(WatchList.load(watchStorage));
  });
  HXS.watched = Array.from(watched);
  col({ id: "watch", title: "İzleme", w: 72, type: "num", firstDesc: true, watch: true,
        key: function (i) { return isWatched(i) ? 1 : NaN; }, long: "İzleme listesi (yıldız)" });
  // Columns in view order at first: who the borrower is and where (segment, region, branch),
  // the decision columns, then older periods newest first.
  function defaultOrder(newestFirst) {
    var ids = ["muta", "unvan"];
    ["segment", "bolge", "sube"].forEach(function (id) { if (COLS_BY_ID[id]) ids.push(id); });
    if (P) ids.push("s" + (P - 1));
    ["delta", "risk", "ml", "marks", "watch"].forEach(function (id) { if (COLS_BY_ID[id]) ids.push(id); });
    var older = [];
    for (var k = P - 2; k >= 0; k--) older.push("s" + k);
    if (!newestFirst) older.reverse();
    ids = ids.concat(older);
    COL_DEFS.forEach(function (c) { if (ids.indexOf(c.id) < 0) ids.push(c.id); });
    return ids;
  }

  return {
    appendColumns: appendColumns, COL_DEFS: COL_DEFS, colHeading: colHeading, COLS_BY_ID: COLS_BY_ID,
    defaultOrder: defaultOrder, deltaText: deltaText, diagOf: diagOf, diagTitle: diagTitle,
    isWatched: isWatched, mergeNames: mergeNames, S: S, scoreDelta: scoreDelta, toggleWatch: toggleWatch,
    unvanAt: unvanAt, get watched() { return watched; }, watchedChanged: watchedChanged,
    get watchStorage() { return watchStorage; }
  };
})();
