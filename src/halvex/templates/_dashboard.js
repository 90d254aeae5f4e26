{#- The dashboard script shared by both pages. It reads its settings from the JSON script
    element "hx-config" and the page data from the other JSON script elements; the data
    chunks that follow it call HX.chunk(i) as the parser reaches them. -#}
{% raw %}
(function () {
  "use strict";

  // ---------------------------------------------------------------- decoding (worker)
  // Runs as the source of a Web Worker and, as a fall-back, on the page. A chunk is the JSON
  // text of an array of row arrays, or (gz) base64 text of one gzip member holding it. The
  // rows are turned into columns here, so the page receives transferable typed arrays; the
  // names (unvan) come as the chunk's distinct texts plus one index per row.
  function hxDecoder(scope) {
    var NULL_SCORE = -2147483648;
    var NON_FINITE = /"(?:[^"\\]|\\.)*"|-?Infinity|NaN/g;
    var cfg = null;
    var utf8 = typeof TextDecoder === "function" ? new TextDecoder() : null;

    // Bare NaN / Infinity tokens (outside strings) are read as null. The replacement only
    // runs when the text holds such a token somewhere (possibly inside a string).
    function parseJSON(src) {
      if (src.indexOf("NaN") < 0 && src.indexOf("Infinity") < 0) return JSON.parse(src);
      return JSON.parse(src.replace(NON_FINITE, function (m) {
        return m.charAt(0) === '"' ? m : "null";
      }));
    }
    // Lower case with the Turkish dotted and dotless i, for searching.
    function fold(s) {
      if (s.indexOf("I") >= 0) s = s.replace(/I/g, "ı");
      if (s.indexOf("İ") >= 0) s = s.replace(/İ/g, "i");
      return s.toLowerCase();
    }
    function num(v) {
      if (typeof v === "number") return v;
      if (typeof v === "string" && v.trim() !== "") { var x = Number(v); return isFinite(x) ? x : NaN; }
      return NaN;
    }
    function band(s) { return s === NULL_SCORE ? 4 : s === -1 ? 3 : s >= 825 ? 2 : s >= 500 ? 1 : 0; }
    function mark(v) {
      if (v === true) return true;
      if (typeof v === "number") return v !== 0 && v === v;
      if (typeof v === "string") { var t = v.trim().toLowerCase(); return t !== "" && t !== "0" && t !== "false" && t !== "none"; }
      return false;
    }
    function bytesOf(b64) {
      b64 = b64.trim();
      if (typeof Uint8Array.fromBase64 === "function") return Uint8Array.fromBase64(b64);
      var bin = atob(b64), bytes = new Uint8Array(bin.length);
      for (var k = 0; k < bin.length; k++) bytes[k] = bin.charCodeAt(k);
      return bytes;
    }
    // gzip bytes -> inflated bytes, read straight from the stream's reader
    function inflate(bytes) {
      var ds = new DecompressionStream("gzip"), w = ds.writable.getWriter();
      w.write(bytes).catch(function () {});
      w.close().catch(function () {});
      var rd = ds.readable.getReader(), parts = [], total = 0;
      function step(r) {
        if (!r.done) { parts.push(r.value); total += r.value.length; return rd.read().then(step); }
        if (parts.length === 1) return parts[0];
        var out = new Uint8Array(total), o = 0;
        for (var k = 0; k < parts.length; k++) { out.set(parts[k], o); o += parts[k].length; }
        return out;
      }
      return rd.read().then(step);
    }
    function textOf(msg) {
      if (!msg.gz) return Promise.resolve(msg.text);
      var p = inflate(bytesOf(msg.text));
      return utf8 ? p.then(function (b) { return utf8.decode(b); }) : p.then(function (b) { return new Response(b).text(); });
    }

    // rows -> columns; amounts in million TL
    function columns(rows) {
      var P = cfg.P, R = cfg.R, v316 = cfg.layout !== "v300";
      var n = Array.isArray(rows) ? rows.length : 0;
      var c = {
        n: n, muta: new Array(n), names: [], uid: new Int32Array(n),
        seg: new Int8Array(n), risk: new Float64Array(n), score: new Int32Array(n * P),
        r: new Float64Array(n * R), lastBand: new Uint8Array(n)
      };
      var muta = c.muta, names = c.names, uid = c.uid, seg = c.seg, risk = c.risk, sc = c.score, rr = c.r, lastBand = c.lastBand;
      var seen = new Map(), EMPTY = [];
      var sPos = v316 ? 6 : 4, rPos = sPos + P, scale = v316 ? 1 : 1e-6;
      if (v316) {
        c.bolge = new Int32Array(n); c.sube = new Int32Array(n);
        c.rd = new Float64Array(n * R); c.df = new Float64Array(n * R);
        c.marks = new Uint8Array(n); c.neden = new Array(n); c.ml = new Float64Array(n);
      }
      var mPos = 6 + P + 3 * R;
      for (var i = 0; i < n; i++) {
        var a = rows[i];
        if (!Array.isArray(a)) a = EMPTY;
        var m = a[0];
        muta[i] = m == null ? "" : m;
        var u = a[1];
        u = u == null ? "" : typeof u === "string" ? u : String(u);
        var id = seen.get(u);
        if (id === undefined) { id = names.length; seen.set(u, id); names.push(u); }
        uid[i] = id;
        var sg = a[2];
        seg[i] = typeof sg === "number" && sg >= 0 && sg <= 3 ? sg : -1;
        var v = a[3];
        risk[i] = (typeof v === "number" ? v : num(v)) * scale;
        for (var k = 0, o = i * P, p = sPos; k < P; k++, p++) {
          v = a[p];
          sc[o + k] = typeof v === "number" && v - v === 0 ? Math.trunc(v) : NULL_SCORE;
        }
        for (var j = 0, q = i * R, s = rPos; j < R; j++, s++) {
          v = a[s];
          rr[q + j] = (typeof v === "number" ? v : num(v)) * scale;
        }
        lastBand[i] = P ? band(sc[i * P + P - 1]) : 4;
        if (v316) {
          c.bolge[i] = typeof a[4] === "number" ? a[4] : -1;
          c.sube[i] = typeof a[5] === "number" ? a[5] : -1;
          for (j = 0; j < R; j++) {
            c.rd[i * R + j] = num(a[rPos + R + j]);
            c.df[i * R + j] = num(a[rPos + 2 * R + j]);
          }
          var mk = 0;
          for (k = 0; k < 6; k++) if (mark(a[mPos + k])) mk |= 1 << k;
          c.marks[i] = mk;
          c.neden[i] = a[mPos + 6] == null ? "" : String(a[mPos + 6]);
          c.ml[i] = num(a[mPos + 7]);
        }
      }
      return c;
    }
    function transferables(c) {
      var out = [];
      for (var name in c) if (c[name] && c[name].buffer instanceof ArrayBuffer) out.push(c[name].buffer);
      return out;
    }
    // c.ms: time spent on [inflating, parsing, building columns]
    function decode(msg) {
      var t0 = Date.now();
      return textOf(msg).then(function (txt) {
        var t1 = Date.now(), rows = parseJSON(txt), t2 = Date.now(), c = columns(rows);
        c.ms = [t1 - t0, t2 - t1, Date.now() - t2];
        return c;
      });
    }

    // One chunk at a time: interleaved chunks would all finish late, and rows are shown in
    // chunk order.
    var queue = [], busy = false;
    function submit(msg, done) {
      queue.push([msg, done]);
      pump();
    }
    function pump() {
      if (busy || !queue.length) return;
      busy = true;
      var job = queue.shift();
      decode(job[0]).then(function (c) { job[1](job[0].i, c); },
        function (err) { job[1](job[0].i, null, String((err && err.message) || err)); })
        .then(function () { busy = false; pump(); });
    }

    scope.fold = fold;
    scope.band = band;
    scope.parseJSON = parseJSON;
    scope.NULL_SCORE = NULL_SCORE;
    scope.init = function (c) { cfg = c; };
    scope.submit = submit;
    if (typeof WorkerGlobalScope !== "undefined" && scope instanceof WorkerGlobalScope) {
      scope.onmessage = function (ev) {
        var msg = ev.data;
        if (msg.init) { cfg = msg.init; return; }
        submit(msg, function (i, c, error) {
          if (c) scope.postMessage({ i: i, cols: c }, transferables(c));
          else scope.postMessage({ i: i, error: error });
        });
      };
    }
  }

  // ---------------------------------------------------------------- page settings and data
  var local = {};
  hxDecoder(local);
  var fold = local.fold, NULL_SCORE = local.NULL_SCORE;

  function $(id) { return document.getElementById(id); }
  function readJSON(id, fallback) {
    var el = $(id);
    if (!el) return fallback;
    var src = el.textContent.trim();
    if (!src) return fallback;
    try { var v = local.parseJSON(src); return v == null ? fallback : v; } catch (err) { return fallback; }
  }
  function isObj(v) { return v !== null && typeof v === "object" && !Array.isArray(v); }
  function arr(v) { return Array.isArray(v) ? v : []; }
  function obj(v) { return isObj(v) ? v : {}; }

  var cfg = obj(readJSON("hx-config", {}));
  var V316 = cfg.layout !== "v300";
  var meta = obj(readJSON("hx-meta", {}));
  var donemler = arr(readJSON("hx-donemler", [])).map(String);
  var riskDonemler = arr(readJSON("hx-risk-donemler", donemler)).map(String);
  var P = donemler.length, R = riskDonemler.length;
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
  var externalLink = typeof cfg.externalLink === "string" ? cfg.externalLink.trim() : "";

  var HXS = window.__halvex = {
    firstRowsAt: null, allDecodedAt: null, shownRows: 0, matchedRows: 0, loadedRows: 0,
    totalRows: TOTAL_ROWS, totalChunks: TOTAL_CHUNKS, decodedChunks: 0, failedChunks: [], errors: [], decodeMs: [0, 0, 0], appendMs: 0,
    lastQueryMs: 0, layout: V316 ? "v316" : "v300",
    sortBy: function (id, desc) { sortState.id = null; setSort(id); if (sortState.desc !== !!desc) setSort(id); return lastQueryMs; },
    viewMutas: function (k) { var out = []; for (var j = 0; j < Math.min(k, shownCount()); j++) out.push(S.muta[rowAt(j)]); return out; },
    rowOf: function (k) {
      var i = rowAt(k);
      return { muta: S.muta[i], unvan: unvanAt(i), seg: S.seg[i], risk: S.risk[i], lastBand: S.lastBand[i],
               scores: Array.prototype.slice.call(S.score.subarray(i * P, i * P + P)), marks: V316 ? S.marks[i] : 0 };
    }
  };
  var SEGMENTS = ["KUR-TIC", "KOBI", "MIKRO", "ESKK"];
  var BAND_NAMES = ["EUS (<500)", "YIS (500–824)", "Yüksek (≥825)", "YI", "Skor yok"];
  var BAND_COLORS = ["#4caf50", "#f2b01e", "#d9412f", "#4a2a6b", "#b8c2cc"];
  var MARKS = [["HY", "Hızlı yükselen"], ["RD", "Rejim değişimi"], ["PY", "Potansiyel YI"],
               ["ES", "Erken sinyal"], ["YK", "Yakalanan"], ["KÇ", "Kaçırılan"]];
  var ALL = -2;

  var intFmt = new Intl.NumberFormat("tr-TR");
  var mioFmt = new Intl.NumberFormat("tr-TR", { minimumFractionDigits: 1, maximumFractionDigits: 1 });
  var pctFmt = new Intl.NumberFormat("tr-TR", { style: "percent", maximumFractionDigits: 1 });
  function fmtInt(v) { return intFmt.format(v); }
  function fmtMio(v) { return v === v && isFinite(v) ? mioFmt.format(v) : ""; }
  function fmtPct(v) { return v === v && isFinite(v) ? pctFmt.format(v) : ""; }
  function scoreText(s) { return s === NULL_SCORE ? "" : s === -1 ? "YI" : String(s); }
  var band = local.band;
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
  var groupByLetter = {}, groupByName = {};
  Object.keys(diagGroups).forEach(function (name) {
    var g = obj(diagGroups[name]);
    var info = { name: name, baslik: g.baslik != null ? String(g.baslik) : name, renk: safeColor(g.renk),
                 harf: g.harf != null ? String(g.harf) : "", aciklama: g.aciklama != null ? String(g.aciklama) : "" };
    groupByName[name] = info;
    if (info.harf) groupByLetter[info.harf] = info;
  });

  // ---------------------------------------------------------------- column store
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
  // names (unvan): S.names holds every distinct text once, S.uid the index of each row's
  S.muta = []; S.neden = []; S.names = []; S.nameIds = new Map();
  grow(Math.max(TOTAL_ROWS, 1));
  function unvanAt(i) { return S.names[S.uid[i]]; }

  function appendColumns(c) {
    var n = c.n, off = S.n;
    if (off + n > S.cap) grow(Math.max(off + n, S.cap * 2));
    S.seg.set(c.seg, off); S.risk.set(c.risk, off); S.score.set(c.score, off * P); S.r.set(c.r, off * R);
    if (V316) {
      S.bolge.set(c.bolge, off); S.sube.set(c.sube, off); S.rd.set(c.rd, off * R); S.df.set(c.df, off * R);
      S.marks.set(c.marks, off); S.ml.set(c.ml, off);
    }
    var names = c.names, ids = new Int32Array(names.length), k;
    for (k = 0; k < names.length; k++) {
      var id = S.nameIds.get(names[k]);
      if (id === undefined) { id = S.names.length; S.nameIds.set(names[k], id); S.names.push(names[k]); }
      ids[k] = id;
    }
    var uid = c.uid, muta = c.muta, suid = S.uid, smuta = S.muta;
    S.lastBand.set(c.lastBand, off);
    for (var i = 0; i < n; i++) {
      suid[off + i] = ids[uid[i]];
      smuta.push(muta[i]);
    }
    if (V316) for (i = 0; i < n; i++) S.neden.push(c.neden[i]);
    S.n = off + n;
    HXS.loadedRows = S.n;
  }

  // diagnostic letters of a row, per period (admin pages carry findings, others letters)
  var diagCache = new Map();
  function diagOf(i) {
    var key = String(S.muta[i]);
    if (diagCache.has(key)) return diagCache.get(key);
    var entry = diagIndex[key], out = null;
    if (isObj(entry)) {
      out = {};
      Object.keys(entry).forEach(function (d) {
        var v = entry[d], letters = "", findings = null;
        if (typeof v === "string") {
          letters = v;
        } else {
          findings = Array.isArray(v) ? v : isObj(v) ? arr(v.bulgular) : [];
          var names = isObj(v) ? arr(v.yeni_gruplar).slice() : [];
          if (!names.length) findings.forEach(function (f) {
            if (isObj(f) && f.grup && names.indexOf(f.grup) < 0) names.push(f.grup);
          });
          names.forEach(function (nm) { var g = groupByName[nm]; if (g && letters.indexOf(g.harf) < 0) letters += g.harf; });
        }
        out[d] = { letters: letters, findings: findings };
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
  // Sort keys: "num" gives a number (NaN = missing, always last), "str" a text.
  var COLS = [];
  var stickLeft = 0;
  function col(def) { COLS.push(def); return def; }
  col({ id: "muta", title: "MUTA", w: 92, stick: true, type: "num",
        key: function (i) { var m = S.muta[i]; return typeof m === "number" ? m : m === "" ? NaN : Number(m); },
        text: function (i) { return String(S.muta[i]); } });
  col({ id: "unvan", title: "Unvan", w: 250, stick: true, type: "str",
        key: unvanAt, text: unvanAt, tip: true,
        // every row's text by index into a list of distinct texts (for sorting)
        dict: function () { return { ids: S.uid, texts: S.names }; } });
  col({ id: "segment", title: "Segment", w: 74, type: "str",
        dict: function () { return { ids: S.seg, texts: [""].concat(SEGMENTS), base: 1 }; },
        key: function (i) { return S.seg[i] >= 0 ? SEGMENTS[S.seg[i]] : ""; },
        text: function (i) { return S.seg[i] >= 0 ? SEGMENTS[S.seg[i]] : ""; } });
  if (V316) {
    col({ id: "bolge", title: "Bölge", w: 118, type: "str", tip: true,
          key: function (i) { return listName(bolgeList, S.bolge[i]); }, text: function (i) { return listName(bolgeList, S.bolge[i]); } });
    col({ id: "sube", title: "Şube", w: 150, type: "str", tip: true,
          key: function (i) { return listName(subeList, S.sube[i]); }, text: function (i) { return listName(subeList, S.sube[i]); } });
  }
  col({ id: "risk", title: "Risk (mio TL)", w: 86, cls: "num", type: "num", firstDesc: true,
        key: function (i) { return S.risk[i]; }, text: function (i) { return fmtMio(S.risk[i]); } });
  donemler.forEach(function (d, k) {
    col({ id: "s" + k, title: d, w: V316 ? 66 : 58, cls: "sc", type: "num", firstDesc: true, period: k,
          // "YI" ranks above every score
          key: function (i) { var s = S.score[i * P + k]; return s === NULL_SCORE ? NaN : s === -1 ? 1e9 : s; } });
  });
  col({ id: "seri", title: "Risk seyri", w: 30 + 12 * R, type: "num", firstDesc: true, spark: true,
        key: function (i) { return R ? S.r[i * R + R - 1] : NaN; } });
  if (V316) {
    col({ id: "marks", title: "İşaretler", w: 128, type: "num", firstDesc: true, marks: true,
          key: function (i) { var m = S.marks[i], c = 0; while (m) { c += m & 1; m >>= 1; } return c ? c * 64 + S.marks[i] : NaN; } });
    col({ id: "neden", title: "Neden", w: 230, cls: "neden", type: "str", tip: true,
          key: function (i) { return S.neden[i]; }, text: function (i) { return S.neden[i]; } });
    col({ id: "ml", title: "ML YI olasılığı", w: 78, cls: "num", type: "num", firstDesc: true,
          key: function (i) { return S.ml[i]; }, text: function (i) { return fmtPct(S.ml[i]); } });
  }
  var COLS_BY_ID = {};
  var GRID_W = 0;
  COLS.forEach(function (c) {
    COLS_BY_ID[c.id] = c;
    if (c.stick) { c.left = stickLeft; stickLeft += c.w; }
    GRID_W += c.w;
  });

  // ---------------------------------------------------------------- sorting
  // Stable LSD radix sort of row indices by 64-bit keys held as two 32-bit halves: numbers
  // map to order-preserving bit patterns; texts to their first characters, then equal-key
  // runs are ordered by the whole text. Missing numbers go last in either direction.
  // Letter codes for ordering texts: 0 end, 1 blanks and punctuation, 2-11 digits, then the
  // Turkish alphabet (with q, w, x in their Latin places), upper and lower case alike;
  // any other letter comes after z.
  var FOLD_CODE = (function () {
    var t = new Uint8Array(0x180), k;
    var lower = "abcçdefgğhıijklmnoöpqrsştuüvwxyz", upper = "ABCÇDEFGĞHIİJKLMNOÖPQRSŞTUÜVWXYZ";
    for (k = 0; k < 0x180; k++) t[k] = k >= 0xc0 && k !== 0xd7 && k !== 0xf7 ? 45 : 1;
    for (k = 0; k < 10; k++) t[48 + k] = 2 + k;
    for (k = 0; k < lower.length; k++) { t[lower.charCodeAt(k)] = 12 + k; t[upper.charCodeAt(k)] = 12 + k; }
    t[0xe2] = t[0xc2] = t[0x61];                 // â Â as a
    t[0xee] = t[0xce] = t[0x69];                 // î Î as i
    t[0xfb] = t[0xdb] = t[0x75];                 // û Û as u
    return t;
  })();
  function foldCode(ch) { return ch < 0x180 ? FOLD_CODE[ch] : 45; }
  function compareText(a, b) {
    var n = Math.min(a.length, b.length);
    for (var k = 0; k < n; k++) {
      var x = foldCode(a.charCodeAt(k)), y = foldCode(b.charCodeAt(k));
      if (x !== y) return x - y;
    }
    if (a.length !== b.length) return a.length - b.length;
    return a < b ? -1 : a > b ? 1 : 0;
  }

  function radixPass(src, dst, keys, shift, n) {
    var count = new Uint32Array(65537), k;
    for (k = 0; k < n; k++) count[((keys[src[k]] >>> shift) & 0xffff) + 1]++;
    for (k = 0; k < 65536; k++) if (count[k + 1] === n) return false;  // one digit only: nothing to do
    for (k = 0; k < 65536; k++) count[k + 1] += count[k];
    for (k = 0; k < n; k++) { var i = src[k]; dst[count[(keys[i] >>> shift) & 0xffff]++] = i; }
    return true;
  }
  // words: most significant first; each a Uint32Array indexed by row. Returns a new order.
  function radixOrder(rows, words) {
    var n = rows.length, a = rows, b = new Int32Array(n);
    for (var w = words.length - 1; w >= 0; w--) {
      for (var shift = 0; shift <= 16; shift += 16) {
        if (radixPass(a, b, words[w], shift, n)) { var t = a; a = b; b = t; }
      }
    }
    return a === rows ? rows.slice() : a;
  }

  var f64 = new Float64Array(1), u32 = new Uint32Array(f64.buffer);
  var LO = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1 ? 0 : 1, HI = 1 - LO;
  function sortRows(c, desc) {
    if (c.type === "str") return textOrder(c, desc);
    var n = S.n, k, i;
    var key = c.key;
    var present = new Int32Array(n), missing = [], m = 0;
    var hi = new Uint32Array(n), lo = new Uint32Array(n);
    for (i = 0; i < n; i++) {
      var v = key(i);
      if (v !== v) { missing.push(i); continue; }
      f64[0] = v === 0 ? 0 : v;
      var h = u32[HI], l = u32[LO];
      if (h & 0x80000000) { h = ~h >>> 0; l = ~l >>> 0; } else { h = (h | 0x80000000) >>> 0; }
      if (desc) { h = ~h >>> 0; l = ~l >>> 0; }
      hi[i] = h; lo[i] = l;
      present[m++] = i;
    }
    var order = radixOrder(present.subarray(0, m), [hi, lo]);
    var out = new Int32Array(n);
    out.set(order);
    for (k = 0; k < missing.length; k++) out[m + k] = missing[k];
    return out;
  }

  // Text columns: every row gets the rank of its text among the column's distinct texts, and
  // one stable counting pass over the ranks gives the order (equal texts keep row order).
  function textOrder(c, desc) {
    var n = S.n, r = textRanks(c), rank = r.rank, D = r.distinct, i, k;
    var cnt = new Int32Array(D + 1), out = new Int32Array(n), top = D - 1;
    if (desc) {
      for (i = 0; i < n; i++) cnt[top - rank[i] + 1]++;
      for (k = 0; k < D; k++) cnt[k + 1] += cnt[k];
      for (i = 0; i < n; i++) out[cnt[top - rank[i]]++] = i;
    } else {
      for (i = 0; i < n; i++) cnt[rank[i] + 1]++;
      for (k = 0; k < D; k++) cnt[k + 1] += cnt[k];
      for (i = 0; i < n; i++) out[cnt[rank[i]]++] = i;
    }
    return out;
  }
  // Rank of every row's text (kept until more rows arrive). A column with a dictionary (its
  // distinct texts and each row's index into them) is ranked without reading every row's text;
  // the order of the distinct texts is kept until new texts arrive.
  var rankCache = {}, dictOrderCache = {};
  function textRanks(c) {
    var hit = rankCache[c.id], n = S.n, i, k;
    if (hit && hit.n === n) return hit;
    var ids, distinct, base = 0;
    if (c.dict) {
      var d = c.dict();
      ids = d.ids; distinct = d.texts; base = d.base || 0;
    } else {
      ids = new Int32Array(n); distinct = [];
      var map = new Map();
      for (i = 0; i < n; i++) {
        var s = c.key(i);
        s = s == null ? "" : String(s);
        var id = map.get(s);
        if (id === undefined) { id = distinct.length; map.set(s, id); distinct.push(s); }
        ids[i] = id;
      }
    }
    var D = distinct.length, pos = dictOrderCache[c.id];
    if (!pos || pos.length !== D) {
      var order = sortTexts(distinct);
      pos = new Int32Array(D);
      for (k = 0; k < D; k++) pos[order[k]] = k;
      if (c.dict) dictOrderCache[c.id] = pos;
    }
    var rank = new Int32Array(n);
    for (i = 0; i < n; i++) rank[i] = pos[ids[i] + base];
    hit = rankCache[c.id] = { n: n, rank: rank, distinct: D };
    return hit;
  }
  // Order of distinct texts: radix sort on four words of five 6-bit letter codes (the first 20
  // characters), then runs that share those are ordered by the whole text.
  function sortTexts(texts) {
    var n = texts.length, WORDS = 4, words = [], k, i;
    for (k = 0; k < WORDS; k++) words.push(new Uint32Array(n));
    var all = new Int32Array(n);
    for (i = 0; i < n; i++) {
      var s = texts[i], len = s.length, p = 0;
      for (k = 0; k < WORDS; k++) {
        var word = 0;
        for (var q = 0; q < 5; q++, p++) word = word * 64 + (p < len ? foldCode(s.charCodeAt(p)) : 0);
        words[k][i] = word;
      }
      all[i] = i;
    }
    var ord = radixOrder(all, words);
    var start = 0;
    for (k = 1; k <= n; k++) {
      var same = k < n;
      if (same) for (var w = 0; w < WORDS; w++) if (words[w][ord[k]] !== words[w][ord[start]]) { same = false; break; }
      if (!same) {
        if (k - start > 1) {
          var run = Array.prototype.slice.call(ord.subarray(start, k));
          run.sort(function (x, y) { return compareText(texts[x], texts[y]); });
          ord.set(run, start);
        }
        start = k;
      }
    }
    return ord;
  }

  // ---------------------------------------------------------------- view state
  var F = { q: "", seg: ALL, bolge: ALL, sube: ALL, band: ALL, marks: 0 };
  var sortState = { id: null, desc: false };
  var sortPerm = null, sortPermN = 0;   // order of all loaded rows by the sort column
  var view = null;                      // row indices passing the filters, in order (null: all, natural order)
  var matched = 0;
  var limit = TOP_N;
  var selected = -1;
  var lastQueryMs = 0;

  function filtersActive() {
    return F.q !== "" || F.seg !== ALL || F.bolge !== ALL || F.sube !== ALL || F.band !== ALL || F.marks !== 0;
  }
  function refresh() {
    var t0 = performance.now();
    var n = S.n;
    if (sortState.id && (!sortPerm || sortPermN !== n)) {
      sortPerm = sortRows(COLS_BY_ID[sortState.id], sortState.desc);
      sortPermN = n;
    }
    if (!sortState.id) sortPerm = null;
    if (!filtersActive()) {
      view = sortPerm;
      matched = n;
    } else {
      var out = new Int32Array(n), m = 0, base = sortPerm;
      var q = F.q, seg = F.seg, bol = F.bolge, sub = F.sube, bnd = F.band, mk = F.marks;
      var hits = q ? searchHits(q) : null;
      for (var k = 0; k < n; k++) {
        var i = base ? base[k] : k;
        if (seg !== ALL && S.seg[i] !== seg) continue;
        if (bnd !== ALL && S.lastBand[i] !== bnd) continue;
        if (bol !== ALL && S.bolge[i] !== bol) continue;
        if (sub !== ALL && S.sube[i] !== sub) continue;
        if (mk && (S.marks[i] & mk) !== mk) continue;
        if (hits && !hits[i]) continue;
        out[m++] = i;
      }
      view = out.subarray(0, m);
      matched = m;
    }
    lastQueryMs = performance.now() - t0;
    HXS.lastQueryMs = lastQueryMs;
    HXS.query = F.q;
    schedule();
  }
  // Search: a row matches when its folded "muta unvan" text holds the folded query. Names
  // are folded once per distinct text (on the first search) and matched once per distinct
  // text; only a query with a blank, which may span both, is matched against the joined text.
  var namesFolded = [], mutaFolds = new Map(), mutaFoldN = 0, hitCache = null;
  function foldedNames() {
    for (var k = namesFolded.length; k < S.names.length; k++) namesFolded.push(fold(S.names[k]));
    return namesFolded;
  }
  function foldMutas(n) {   // folded texts of the muta values that are not numbers, by row
    for (var k = mutaFoldN; k < n; k++) {
      var m = S.muta[k];
      if (typeof m !== "number") mutaFolds.set(k, fold(String(m)));
    }
    mutaFoldN = n;
  }
  var NUMBER_TEXT = /^[0-9.e+\-]+$/;
  function searchHits(q) {
    var n = S.n, i, k;
    if (hitCache && hitCache.q === q && hitCache.n === n) return hitCache.hits;
    var hits = new Uint8Array(n), names = foldedNames(), uid = S.uid, muta = S.muta;
    foldMutas(n);
    if (q.indexOf(" ") >= 0) {
      for (i = 0; i < n; i++) {
        var mt = typeof muta[i] === "number" ? String(muta[i]) : mutaFolds.get(i);
        if ((mt + " " + names[uid[i]]).indexOf(q) >= 0) hits[i] = 1;
      }
    } else {
      var nameHit = new Uint8Array(names.length), numeric = NUMBER_TEXT.test(q);
      for (k = 0; k < names.length; k++) if (names[k].indexOf(q) >= 0) nameHit[k] = 1;
      for (i = 0; i < n; i++) {
        if (nameHit[uid[i]]) { hits[i] = 1; continue; }
        var m = muta[i];
        if (typeof m === "number" ? numeric && String(m).indexOf(q) >= 0 : mutaFolds.get(i).indexOf(q) >= 0) hits[i] = 1;
      }
    }
    hitCache = { q: q, n: n, hits: hits };
    return hits;
  }
  // During loading a sorted or filtered view is brought up to date at most every 300 ms.
  var refreshTimer = 0;
  function refreshSoon() {
    if (!sortState.id && !filtersActive()) { view = null; matched = S.n; schedule(); return; }
    if (!refreshTimer) refreshTimer = setTimeout(function () { refreshTimer = 0; refresh(); }, 300);
  }
  function shownCount() { return Math.min(matched, limit); }
  function rowAt(k) { return view ? view[k] : k; }

  // ---------------------------------------------------------------- grid
  var grid = $("hx-grid"), head = $("hx-head"), body = $("hx-body"), layer = $("hx-rows");
  var ROW_H = 28, MAX_SCROLL_PX = 8000000, OVERSCAN = 6;
  var pool = [];
  var scheduled = false;

  function place(cell, c) {
    cell.style.width = c.w + "px";
    if (c.stick) { cell.classList.add("stick"); cell.style.left = c.left + "px"; }
  }
  function buildHead() {
    head.style.width = GRID_W + "px";
    body.style.width = GRID_W + "px";
    COLS.forEach(function (c) {
      var h = el("div", "c" + (c.cls ? " " + c.cls : ""), c.title);
      h.setAttribute("role", "columnheader");
      h.title = c.period != null ? "QVR skoru " + c.title + " – sıralamak için tıklayın" : c.title + " – sıralamak için tıklayın";
      place(h, c);
      h.addEventListener("click", function () { setSort(c.id); });
      c.head = h;
      head.appendChild(h);
    });
  }
  function makeRow() {
    var row = el("div", "row");
    row.setAttribute("role", "row");
    row.style.width = GRID_W + "px";
    row.cells = COLS.map(function (c) {
      var cell = el("div", "c" + (c.cls ? " " + c.cls : ""));
      place(cell, c);
      if (c.period != null) {
        cell.v = cell.appendChild(el("span", "v"));
        cell.dg = cell.appendChild(el("span", "dg"));
      } else if (c.spark) {
        var svg = svgEl("svg", { "class": "spark", width: 12 * R + 4, height: 18 });
        cell.bars = [];
        for (var j = 0; j < R; j++) cell.bars.push(svgEl("rect", { x: 2 + 12 * j, width: 9, y: 17, height: 0, "class": j === R - 1 ? "last" : "" }, svg));
        cell.appendChild(svg);
      } else if (c.marks) {
        cell.mk = MARKS.map(function (m, k) {
          var s = el("span", "mk mk" + k, m[0]);
          s.title = m[1];
          return cell.appendChild(s);
        });
      }
      row.appendChild(cell);
      return cell;
    });
    return row;
  }
  function fillRow(row, i) {
    row.idx = i;
    row.classList.toggle("sel", i === selected);
    var diag = null, diagDone = false;
    for (var k = 0; k < COLS.length; k++) {
      var c = COLS[k], cell = row.cells[k];
      if (c.period != null) {
        var s = S.score[i * P + c.period];
        cell.className = "c sc b" + band(s);
        cell.v.textContent = scoreText(s);
        if (!diagDone) { diag = diagOf(i); diagDone = true; }
        var info = diag && diag[donemler[c.period]];
        if (info && info.letters) {
          cell.dg.textContent = "";
          for (var q = 0; q < info.letters.length; q++) {
            var ch = info.letters.charAt(q), g = groupByLetter[ch];
            var sp = cell.dg.appendChild(el("span", null, ch));
            sp.style.color = g ? g.renk : "#667482";
          }
          cell.title = diagTitle(donemler[c.period], info);
        } else {
          cell.dg.textContent = "";
          cell.title = s === NULL_SCORE ? "" : donemler[c.period] + ": " + scoreText(s);
        }
      } else if (c.spark) {
        var max = 0, j, v;
        for (j = 0; j < R; j++) { v = S.r[i * R + j]; if (v > max) max = v; }
        var tip = [];
        for (j = 0; j < R; j++) {
          v = S.r[i * R + j];
          var hgt = max > 0 && v > 0 ? Math.max(1, Math.round(16 * v / max)) : 0;
          cell.bars[j].setAttribute("y", 17 - hgt);
          cell.bars[j].setAttribute("height", hgt);
          tip.push(riskDonemler[j] + ": " + (v === v ? fmtMio(v) + " mio TL" : "–"));
        }
        cell.title = tip.join("\n");
      } else if (c.marks) {
        var m = S.marks[i];
        for (var b = 0; b < 6; b++) cell.mk[b].hidden = !(m & (1 << b));
      } else {
        var t = c.text(i);
        cell.textContent = t;
        if (c.tip) cell.title = t;
        if (c.id === "ml") cell.classList.toggle("ml-high", S.ml[i] >= 0.5);
      }
    }
  }

  var firstRowsAt = null;
  function schedule() {
    if (!scheduled) { scheduled = true; requestAnimationFrame(draw); }
  }
  function draw() {
    scheduled = false;
    var n = shownCount();
    var headH = head.offsetHeight;
    var viewH = Math.max(grid.clientHeight - headH, ROW_H);
    var fullH = n * ROW_H, areaH = Math.min(fullH, MAX_SCROLL_PX);
    body.style.height = areaH + "px";
    var maxTop = Math.max(areaH - viewH, 0);
    var top = Math.min(grid.scrollTop, maxTop);
    var first, last, layerTop, vis = Math.ceil(viewH / ROW_H);
    if (areaH < fullH) {
      // scaled scroll area: the scroll position picks a row by proportion
      var frac = maxTop > 0 ? top / maxTop : 0;
      first = Math.round(frac * Math.max(n - vis + 1, 0));
      last = Math.min(n, first + vis + 1);
      layerTop = top;
    } else {
      first = Math.max(Math.floor(top / ROW_H) - OVERSCAN, 0);
      last = Math.min(n, Math.ceil((top + viewH) / ROW_H) + OVERSCAN);
      layerTop = first * ROW_H;
    }
    var count = Math.max(last - first, 0);
    while (pool.length < count) pool.push(layer.appendChild(makeRow()));
    for (var k = 0; k < pool.length; k++) {
      var row = pool[k];
      if (k < count) { row.hidden = false; fillRow(row, rowAt(first + k)); } else row.hidden = true;
    }
    layer.style.transform = "translateY(" + layerTop + "px)";
    if (count > 0 && firstRowsAt === null) { firstRowsAt = performance.now(); HXS.firstRowsAt = firstRowsAt; }
    updateCounts();
  }
  grid.addEventListener("scroll", schedule, { passive: true });
  window.addEventListener("resize", schedule);

  function updateCounts() {
    var shown = shownCount();
    $("hx-loaded").textContent = fmtInt(S.n);
    $("hx-matched").textContent = fmtInt(matched);
    $("hx-shown").textContent = fmtInt(shown);
    $("hx-show-all").disabled = shown >= matched;
    $("hx-csv").disabled = matched === 0;
    HXS.shownRows = shown;
    HXS.matchedRows = matched;
    HXS.loadedRows = S.n;
  }

  function setSort(id) {
    var c = COLS_BY_ID[id];
    if (!c) return;
    if (sortState.id === id) sortState.desc = !sortState.desc;
    else { sortState.id = id; sortState.desc = !!c.firstDesc; }
    sortPerm = null;
    COLS.forEach(function (x) {
      x.head.classList.toggle("sorted", x.id === sortState.id);
      x.head.classList.toggle("asc", x.id === sortState.id && !sortState.desc);
      x.head.setAttribute("aria-sort", x.id === sortState.id ? (sortState.desc ? "descending" : "ascending") : "none");
    });
    refresh();
    grid.scrollTop = 0;
  }

  // selection, detail panel and the external link
  layer.addEventListener("click", function (ev) {
    var row = ev.target.closest(".row");
    if (!row || row.idx == null) return;
    selected = row.idx;
    showDetail(selected);
    schedule();
  });
  function linkFor(muta) {
    if (!externalLink) return "";
    var url = externalLink + encodeURIComponent(String(muta));
    try {
      var u = new URL(url, document.baseURI);
      if (u.protocol !== "http:" && u.protocol !== "https:") return "";
    } catch (err) { return ""; }
    return url;
  }
  layer.addEventListener("dblclick", function (ev) {
    var row = ev.target.closest(".row");
    if (!row || row.idx == null) return;
    var url = linkFor(S.muta[row.idx]);
    if (url) window.open(url, "_blank", "noopener");
  });

  // ---------------------------------------------------------------- filters
  function fillSelect(sel, options) {
    sel.textContent = "";
    options.forEach(function (o) {
      var op = el("option", null, o[1]);
      op.value = String(o[0]);
      sel.appendChild(op);
    });
  }
  function byName(list) {
    return list.map(function (x, k) { return [k, listName(list, k)]; })
      .sort(function (a, b) { return compareText(a[1], b[1]); });
  }
  function initFilters() {
    fillSelect($("hx-f-seg"), [[ALL, "Tümü"]].concat(SEGMENTS.map(function (s, k) { return [k, s]; }), [[-1, "Tanımsız"]]));
    fillSelect($("hx-f-band"), [[ALL, "Tümü"]].concat(BAND_NAMES.map(function (s, k) { return [k, s]; })));
    if (V316) {
      fillSelect($("hx-f-bolge"), [[ALL, "Tümü"]].concat(byName(bolgeList), [[-1, "Tanımsız"]]));
      fillSubeOptions();
      var marks = $("hx-f-marks");
      MARKS.forEach(function (m, k) {
        var lab = el("label"), box = el("input");
        box.type = "checkbox";
        box.value = String(1 << k);
        box.addEventListener("change", function () {
          F.marks = box.checked ? F.marks | (1 << k) : F.marks & ~(1 << k);
          refresh();
        });
        lab.title = m[1];
        lab.appendChild(box);
        lab.appendChild(document.createTextNode(" " + m[0]));
        marks.appendChild(lab);
      });
    } else {
      Array.prototype.forEach.call(document.querySelectorAll("[data-v316]"), function (x) { x.hidden = true; });
    }
    function onSelect(id, key) {
      $(id).addEventListener("change", function () {
        F[key] = Number($(id).value);
        if (key === "bolge") { fillSubeOptions(); F.sube = ALL; }
        refresh();
        grid.scrollTop = 0;
      });
    }
    onSelect("hx-f-seg", "seg"); onSelect("hx-f-band", "band");
    if (V316) { onSelect("hx-f-bolge", "bolge"); onSelect("hx-f-sube", "sube"); }
    var qTimer = 0;
    $("hx-q").addEventListener("input", function () {
      clearTimeout(qTimer);
      qTimer = setTimeout(function () {
        var q = fold($("hx-q").value.trim());
        if (q !== F.q) { F.q = q; refresh(); grid.scrollTop = 0; }
      }, 150);
    });
    $("hx-clear").addEventListener("click", function () {
      F = { q: "", seg: ALL, bolge: ALL, sube: ALL, band: ALL, marks: 0 };
      $("hx-q").value = "";
      ["hx-f-seg", "hx-f-band", "hx-f-bolge"].forEach(function (id) { $(id).value = String(ALL); });
      if (V316) fillSubeOptions();
      Array.prototype.forEach.call($("hx-f-marks").querySelectorAll("input"), function (b) { b.checked = false; });
      refresh();
    });
    $("hx-show-all").addEventListener("click", function () { limit = Infinity; schedule(); });
    $("hx-csv").addEventListener("click", exportCsv);
    $("hx-print-btn").addEventListener("click", function () { window.print(); });
  }
  function fillSubeOptions() {
    var b = F.bolge;
    var subs = byName(subeList).filter(function (o) {
      var s = subeList[o[0]];
      return b === ALL || (s && s.bolge_idx === b);
    });
    fillSelect($("hx-f-sube"), [[ALL, "Tümü"]].concat(subs, [[-1, "Tanımsız"]]));
  }

  // ---------------------------------------------------------------- CSV export
  function csvCell(v) {
    var s = v == null ? "" : String(v);
    if (/^[=+\-@\t\r]/.test(s) && !/^-?\d/.test(s)) s = "'" + s;  // no formulas in spreadsheets
    return /[";\n\r]/.test(s) ? '"' + s.replace(/"/g, '""') + '"' : s;
  }
  function csvNum(v, digits) {
    return v === v && isFinite(v) ? (digits == null ? String(v) : v.toFixed(digits)).replace(".", ",") : "";
  }
  function exportCsv() {
    var n = matched, k, j;
    var headRow = ["MUTA", "Unvan", "Segment"];
    if (V316) headRow.push("Bölge", "Şube");
    headRow.push("Risk (mio TL)");
    donemler.forEach(function (d) { headRow.push("Skor " + d); });
    riskDonemler.forEach(function (d) { headRow.push("Risk " + d + " (mio TL)"); });
    if (V316) { MARKS.forEach(function (m) { headRow.push(m[1]); }); headRow.push("Neden", "ML YI olasılığı"); }
    var parts = ["\ufeff" + headRow.map(csvCell).join(";") + "\r\n"];
    for (k = 0; k < n; k++) {
      var i = rowAt(k), line = [csvCell(S.muta[i]), csvCell(unvanAt(i)), S.seg[i] >= 0 ? SEGMENTS[S.seg[i]] : ""];
      if (V316) line.push(csvCell(listName(bolgeList, S.bolge[i])), csvCell(listName(subeList, S.sube[i])));
      line.push(csvNum(S.risk[i], 3));
      for (j = 0; j < P; j++) line.push(scoreText(S.score[i * P + j]));
      for (j = 0; j < R; j++) line.push(csvNum(S.r[i * R + j], 3));
      if (V316) {
        for (j = 0; j < 6; j++) line.push(S.marks[i] & (1 << j) ? "1" : "0");
        line.push(csvCell(S.neden[i]), csvNum(S.ml[i]));
      }
      parts.push(line.join(";") + "\r\n");
    }
    var blob = new Blob(parts, { type: "text/csv;charset=utf-8" });
    var a = el("a");
    a.href = URL.createObjectURL(blob);
    a.download = "qvr_firmalar_" + (P ? donemler[P - 1] : "liste").replace(/[^0-9A-Za-z_-]/g, "_") + ".csv";
    document.body.appendChild(a);
    a.click();
    a.remove();
    setTimeout(function () { URL.revokeObjectURL(a.href); }, 60000);
    HXS.lastCsvRows = n;
  }

  // ---------------------------------------------------------------- print: the rows in view order
  var PRINT_MAX = 300;
  window.addEventListener("beforeprint", function () {
    var box = $("hx-print"), n = Math.min(shownCount(), PRINT_MAX), k;
    box.textContent = "";
    var t = el("table"), thead = el("thead"), tr = el("tr");
    COLS.forEach(function (c) { if (!c.spark) tr.appendChild(el("th", null, c.title)); });
    thead.appendChild(tr); t.appendChild(thead);
    var tb = el("tbody");
    for (k = 0; k < n; k++) {
      var i = rowAt(k);
      tr = el("tr");
      COLS.forEach(function (c) {
        if (c.spark) return;
        var txt;
        if (c.period != null) txt = scoreText(S.score[i * P + c.period]);
        else if (c.marks) txt = MARKS.filter(function (m, b) { return S.marks[i] & (1 << b); }).map(function (m) { return m[0]; }).join(" ");
        else txt = c.text(i);
        tr.appendChild(el("td", c.cls === "num" || c.period != null ? "num" : null, txt));
      });
      tb.appendChild(tr);
    }
    t.appendChild(tb);
    box.appendChild(el("p", null, "İlk " + fmtInt(n) + " satır (eşleşen " + fmtInt(matched) + ")."));
    box.appendChild(t);
  });
  window.addEventListener("afterprint", function () { $("hx-print").textContent = ""; });

  // ---------------------------------------------------------------- detail panel
  function kvTable(rows, headRow) {
    var t = el("table", "kv");
    if (headRow) {
      var tr = el("tr");
      headRow.forEach(function (h) { tr.appendChild(el("th", null, h)); });
      t.appendChild(tr);
    }
    rows.forEach(function (r) {
      var tr = el("tr");
      r.forEach(function (v, k) {
        var td = v instanceof Node ? el("td") : el(k === 0 && !headRow ? "th" : "td", typeof v === "number" ? "num" : null, valueText(v));
        if (v instanceof Node) td.appendChild(v);
        tr.appendChild(td);
      });
      t.appendChild(tr);
    });
    return t;
  }
  function valueText(v) {
    if (v == null) return "";
    if (typeof v === "number") return Number.isInteger(v) ? fmtInt(v) : new Intl.NumberFormat("tr-TR", { maximumFractionDigits: 4 }).format(v);
    if (typeof v === "boolean") return v ? "Evet" : "Hayır";
    if (typeof v === "object") return JSON.stringify(v);
    return String(v);
  }
  function showDetail(i) {
    var box = $("hx-detail-body");
    box.textContent = "";
    var muta = S.muta[i];
    box.appendChild(el("h2", null, unvanAt(i) || "(unvansız)"));
    var sub = ["MUTA " + muta];
    if (S.seg[i] >= 0) sub.push(SEGMENTS[S.seg[i]]);
    if (V316) { var b = listName(bolgeList, S.bolge[i]), s = listName(subeList, S.sube[i]); if (b) sub.push(b); if (s) sub.push(s); }
    box.appendChild(el("div", "sub", sub.join(" · ")));
    var facts = [["Son risk", fmtMio(S.risk[i]) + " mio TL"]];
    if (V316) {
      facts.push(["ML YI olasılığı", fmtPct(S.ml[i])]);
      var mk = MARKS.filter(function (m, k) { return S.marks[i] & (1 << k); }).map(function (m) { return m[1]; });
      facts.push(["İşaretler", mk.length ? mk.join(", ") : "–"]);
      if (S.neden[i]) facts.push(["Neden", S.neden[i]]);
    }
    box.appendChild(kvTable(facts));
    var link = linkFor(muta);
    if (link) {
      var a = el("a", null, "Firma kartını aç");
      a.href = link; a.target = "_blank"; a.rel = "noopener";
      box.appendChild(el("p")).appendChild(a);
    }

    box.appendChild(el("h3", null, "Dönem skorları ve teşhis grupları"));
    var diag = diagOf(i), rows = [];
    for (var k = P - 1; k >= 0; k--) {
      var sc = S.score[i * P + k], info = diag && diag[donemler[k]];
      var v = el("span", "v b" + band(sc), scoreText(sc) || "–");
      var letters = el("span");
      if (info && info.letters) for (var q = 0; q < info.letters.length; q++) {
        var g = groupByLetter[info.letters.charAt(q)];
        var chip = letters.appendChild(el("span", "dg", (g ? g.baslik : info.letters.charAt(q)) + " "));
        if (g) { chip.style.color = g.renk; chip.title = g.aciklama; }
      }
      rows.push([donemler[k], v, letters]);
    }
    box.appendChild(kvTable(rows, ["Dönem", "Skor", "Gruplar"]));

    if (R) {
      box.appendChild(el("h3", null, "Risk (mio TL)"));
      var rr = riskDonemler.map(function (d, j) {
        var r = [d, fmtMio(S.r[i * R + j])];
        if (V316) r.push(fmtMio(S.rd[i * R + j]), fmtMio(S.df[i * R + j]));
        return r;
      });
      box.appendChild(kvTable(rr, V316 ? ["Dönem", "r", "rd", "df"] : ["Dönem", "Risk"]));
    }
    if (diag) {
      var any = false;
      var h = el("h3", null, ADMIN ? "Bulgular" : "Teşhis özeti");
      var list = el("ul", "findings");
      Object.keys(diag).forEach(function (d) {
        var info = diag[d];
        if (info.findings && info.findings.length) {
          info.findings.forEach(function (f) {
            if (!isObj(f)) return;
            any = true;
            var li = el("li");
            li.appendChild(el("span", "katman", d + " " + (f.katman != null ? String(f.katman) : "")));
            var code = f.kriter != null ? String(f.kriter) : "";
            var text = code + (kriterAciklama[code] ? " – " + kriterAciklama[code] : "");
            if (f.deger != null) text += " (değer: " + valueText(f.deger) + ")";
            if (f.grup && groupByName[f.grup]) text += " [" + groupByName[f.grup].baslik + "]";
            li.appendChild(document.createTextNode(text));
            list.appendChild(li);
          });
        } else if (info.letters) {
          any = true;
          var names = info.letters.split("").map(function (ch) { return groupByLetter[ch] ? groupByLetter[ch].baslik : ch; });
          list.appendChild(el("li", null, d + ": " + names.join(", ")));
        }
      });
      if (any) { box.appendChild(h); box.appendChild(list); }
    }
    var bt = backtestFirma[String(muta)];
    if (bt != null) {
      box.appendChild(el("h3", null, "Geri test"));
      box.appendChild(genericView(bt));
    }
    $("hx-detail").hidden = false;
  }
  $("hx-detail-close").addEventListener("click", function () { $("hx-detail").hidden = true; selected = -1; schedule(); });
  document.addEventListener("keydown", function (ev) {
    if (ev.key === "Escape" && !$("hx-detail").hidden) { $("hx-detail").hidden = true; selected = -1; schedule(); }
  });

  // ---------------------------------------------------------------- generic views (back-test, predictions)
  // customer numbers and other identifiers are shown as they are, without digit grouping
  function idText(key, v) { return typeof v === "number" && /muta|(^|_)id$|_no$/i.test(key) ? String(v) : v; }
  function genericView(v, maxRows) {
    maxRows = maxRows || 500;
    if (Array.isArray(v)) {
      if (!v.length) return el("p", "muted", "Kayıt yok.");
      if (v.every(isObj)) {
        var keys = [];
        v.slice(0, 50).forEach(function (o) { Object.keys(o).forEach(function (k) { if (keys.indexOf(k) < 0) keys.push(k); }); });
        return kvTable(v.slice(0, maxRows).map(function (o) { return keys.map(function (k) { return idText(k, o[k]); }); }), keys);
      }
      return kvTable(v.slice(0, maxRows).map(function (x, k) { return [String(k + 1), x]; }));
    }
    if (isObj(v)) {
      var ks = Object.keys(v);
      var nested = ks.length && ks.every(function (k) { return isObj(v[k]); });
      if (nested) {
        var cols = [];
        ks.forEach(function (k) { Object.keys(v[k]).forEach(function (c) { if (cols.indexOf(c) < 0) cols.push(c); }); });
        return kvTable(ks.map(function (k) { return [k].concat(cols.map(function (c) { return v[k][c]; })); }), [""].concat(cols));
      }
      return kvTable(ks.map(function (k) { return [k, v[k]]; }));
    }
    return el("p", null, valueText(v));
  }
  function initSections() {
    var hasBt = isObj(backtestSummary) ? Object.keys(backtestSummary).length > 0 : Array.isArray(backtestSummary) ? backtestSummary.length > 0 : backtestSummary != null && backtestSummary !== "";
    if (hasBt) { $("hx-backtest").appendChild(genericView(backtestSummary)); $("hx-p-backtest").hidden = false; }
    var preds = mlPredictions;
    var hasMl = Array.isArray(preds) ? preds.length > 0 : isObj(preds) ? Object.keys(preds).length > 0 : false;
    if (hasMl) {
      $("hx-ml").appendChild(genericView(preds, 500));
      if (Array.isArray(preds)) $("hx-ml-note").textContent = fmtInt(preds.length) + " kayıt" + (preds.length > 500 ? " (ilk 500 gösteriliyor)" : "");
      $("hx-p-ml").hidden = false;
    }
  }

  // ---------------------------------------------------------------- charts
  var BAND_KEYS = ["EUS", "YIS", "YUKSEK", "YI", "YOK"];
  var BAND_LABEL = { EUS: "EUS", YIS: "YIS", YUKSEK: "Yüksek", YI: "YI", YOK: "Skor yok" };
  function bandColor(name) { var k = BAND_KEYS.indexOf(name); return k >= 0 ? BAND_COLORS[k] : "#7d93a8"; }
  function bandRank(name) { var k = BAND_KEYS.indexOf(name); return k < 0 ? 99 : k; }
  function bandOrder(names) {
    return names.sort(function (a, b) {
      var x = BAND_KEYS.indexOf(a), y = BAND_KEYS.indexOf(b);
      return (x < 0 ? 99 : x) - (y < 0 ? 99 : y) || (a < b ? -1 : a > b ? 1 : 0);
    });
  }
  function legend(box, names) {
    box.textContent = "";
    names.forEach(function (nm) {
      var s = el("span"), i = el("i");
      i.style.background = bandColor(nm);
      s.appendChild(i);
      s.appendChild(document.createTextNode(BAND_LABEL[nm] || nm));
      box.appendChild(s);
    });
  }
  // flow and snapshot from the rows themselves, when the page carries none
  function derivedFlow() {
    var flow = [], snap = {}, n = S.n, k, i;
    for (k = 0; k < P; k++) {
      var cnt = [0, 0, 0, 0, 0];
      for (i = 0; i < n; i++) cnt[band(S.score[i * P + k])]++;
      snap[donemler[k]] = { EUS: cnt[0], YIS: cnt[1], YUKSEK: cnt[2], YI: cnt[3] };
    }
    for (k = 1; k < P; k++) {
      var m = new Uint32Array(25);
      for (i = 0; i < n; i++) m[band(S.score[i * P + k - 1]) * 5 + band(S.score[i * P + k])]++;
      for (var x = 0; x < 25; x++) if (m[x]) flow.push({ from_donem: donemler[k - 1], to_donem: donemler[k],
        from_band: BAND_KEYS[(x / 5) | 0], to_band: BAND_KEYS[x % 5], count: m[x] });
    }
    return { flow: flow, snapshot: snap };
  }

  var hasD3 = typeof window.d3 === "object" && window.d3 && typeof window.d3.select === "function";
  var hasSankey = hasD3 && typeof window.d3.sankey === "function" && typeof window.d3.sankeyLinkHorizontal === "function";
  HXS.chartLibrary = hasSankey ? "d3+sankey" : hasD3 ? "d3" : "svg";

  function snapshotChart(box, snap) {
    box.textContent = "";
    var periods = Object.keys(snap), names = [];
    periods.forEach(function (p) { Object.keys(obj(snap[p])).forEach(function (b) { if (names.indexOf(b) < 0) names.push(b); }); });
    bandOrder(names);
    if (!periods.length) { box.appendChild(el("p", "empty-note", "Bant dağılımı verisi yok.")); return; }
    var data = periods.map(function (p) {
      var y = 0, parts = names.map(function (b) {
        var v = Number(obj(snap[p])[b]) || 0, part = { band: b, y0: y, y1: y + v, v: v, p: p };
        y += v;
        return part;
      });
      return { p: p, total: y, parts: parts };
    });
    var W = Math.max(420, 46 * periods.length + 60), H = 240, M = { l: 56, r: 8, t: 10, b: 42 };
    var maxT = Math.max.apply(null, data.map(function (d) { return d.total; }).concat([1]));
    var bw = (W - M.l - M.r) / periods.length;
    if (hasD3) {
      var d3 = window.d3;
      var linear = d3.scaleLinear || d3.scale.linear;
      var y = linear().domain([0, maxT]).range([H - M.b, M.t]).nice();
      var svg = d3.select(box).append("svg").attr("width", W).attr("height", H).attr("role", "img")
        .attr("aria-label", "Dönemlere göre bant dağılımı");
      var axis = d3.axisLeft ? d3.axisLeft(y).ticks(5).tickFormat(fmtInt)
                             : d3.svg.axis().scale(y).orient("left").ticks(5).tickFormat(fmtInt);
      svg.append("g").attr("class", "axis").attr("transform", "translate(" + (M.l - 4) + ",0)").call(axis);
      var cols = svg.selectAll("g.col").data(data).enter().append("g").attr("class", "col")
        .attr("transform", function (d, k) { return "translate(" + (M.l + k * bw) + ",0)"; });
      cols.selectAll("rect").data(function (d) { return d.parts; }).enter().append("rect")
        .attr("x", 3).attr("width", Math.max(bw - 6, 2))
        .attr("y", function (d) { return y(d.y1); })
        .attr("height", function (d) { return Math.max(y(d.y0) - y(d.y1), 0); })
        .attr("fill", function (d) { return bandColor(d.band); })
        .append("title").text(function (d) { return d.p + " · " + (BAND_LABEL[d.band] || d.band) + ": " + fmtInt(d.v); });
      cols.append("text").attr("x", bw / 2).attr("y", H - M.b + 14).attr("text-anchor", "end")
        .attr("transform", "rotate(-35," + (bw / 2) + "," + (H - M.b + 14) + ")")
        .text(function (d) { return d.p; });
    } else {
      var svg2 = svgEl("svg", { width: W, height: H, role: "img", "aria-label": "Dönemlere göre bant dağılımı" }, box);
      var sy = function (v) { return H - M.b - (H - M.b - M.t) * v / maxT; };
      var step = Math.pow(10, Math.floor(Math.log10(maxT / 4) || 0)), rel = maxT / 4 / step;
      step *= rel > 5 ? 10 : rel > 2 ? 5 : rel > 1 ? 2 : 1;
      maxT = Math.ceil(maxT / step) * step;
      for (var tv = 0; tv <= maxT + 1e-9; tv += step) {
        var ty = sy(tv);
        svgEl("line", { x1: M.l - 4, x2: W - M.r, y1: ty, y2: ty, stroke: "#e1e6eb" }, svg2);
        svgEl("text", { x: M.l - 8, y: ty + 4, "text-anchor": "end" }, svg2).textContent = fmtInt(tv);
      }
      data.forEach(function (d, k) {
        var x = M.l + k * bw;
        d.parts.forEach(function (pt) {
          var r = svgEl("rect", { x: x + 3, width: Math.max(bw - 6, 2), y: sy(pt.y1), height: Math.max(sy(pt.y0) - sy(pt.y1), 0), fill: bandColor(pt.band) }, svg2);
          svgEl("title", {}, r).textContent = d.p + " · " + (BAND_LABEL[pt.band] || pt.band) + ": " + fmtInt(pt.v);
        });
        var lx = x + bw / 2, ly = H - M.b + 14;
        svgEl("text", { x: lx, y: ly, "text-anchor": "end", transform: "rotate(-35," + lx + "," + ly + ")" }, svg2).textContent = d.p;
      });
    }
    legend($("hx-snapshot-legend"), names);
  }

  // Sankey of band transitions: one column per period, one node per band.
  function sankeyGraph(flow, periods) {
    var nodes = [], index = {}, links = [];
    function node(p, b) {
      var key = p + "\u0000" + b;
      if (!(key in index)) { index[key] = nodes.length; nodes.push({ name: key, period: p, band: b, col: periods.indexOf(p) }); }
      return index[key];
    }
    flow.forEach(function (f) {
      if (!isObj(f)) return;
      var a = String(f.from_donem), b = String(f.to_donem), v = Number(f.count) || 0;
      if (v <= 0 || periods.indexOf(a) < 0 || periods.indexOf(b) !== periods.indexOf(a) + 1) return;
      links.push({ source: node(a, String(f.from_band)), target: node(b, String(f.to_band)), value: v });
    });
    return { nodes: nodes, links: links };
  }
  function ownSankey(box, graph, periods, W, H) {
    var NW = 14, PAD = 10, M = { l: 4, r: 4, t: 18, b: 4 };
    var cols = periods.map(function () { return []; });
    graph.nodes.forEach(function (n, k) { n.inV = 0; n.outV = 0; n.k = k; cols[n.col].push(n); });
    graph.links.forEach(function (l) { graph.nodes[l.source].outV += l.value; graph.nodes[l.target].inV += l.value; });
    var maxTotal = 1, maxNodes = 1;
    cols.forEach(function (c) {
      c.sort(function (a, b) { return bandRank(a.band) - bandRank(b.band) || (a.band < b.band ? -1 : a.band > b.band ? 1 : 0); });
      var t = 0;
      c.forEach(function (n) { n.v = Math.max(n.inV, n.outV); t += n.v; });
      maxTotal = Math.max(maxTotal, t);
      maxNodes = Math.max(maxNodes, c.length);
    });
    var scale = (H - M.t - M.b - PAD * (maxNodes - 1)) / maxTotal;
    var dx = periods.length > 1 ? (W - M.l - M.r - NW) / (periods.length - 1) : 0;
    var svg = svgEl("svg", { width: W, height: H, role: "img", "aria-label": "Dönemler arası bant geçişleri" }, box);
    cols.forEach(function (c, ci) {
      var y = M.t;
      c.forEach(function (n) { n.x = M.l + ci * dx; n.y = y; n.h = Math.max(n.v * scale, 1); n.outY = y; n.inY = y; y += n.h + PAD; });
      var lbl = svgEl("text", { x: M.l + ci * dx + (ci === periods.length - 1 ? NW : 0), y: 12,
        "text-anchor": ci === 0 ? "start" : ci === periods.length - 1 ? "end" : "middle" }, svg);
      lbl.textContent = periods[ci];
    });
    var linksG = svgEl("g", { fill: "none", "stroke-opacity": "0.35" }, svg);
    graph.links.slice().sort(function (a, b) {
      var A = graph.nodes[a.target], B = graph.nodes[b.target];
      return a.source - b.source || A.y - B.y;
    }).forEach(function (l) {
      var s = graph.nodes[l.source], t = graph.nodes[l.target], w = Math.max(l.value * scale, 0.5);
      var y0 = s.outY + w / 2, y1 = t.inY + w / 2;
      s.outY += w; t.inY += w;
      var x0 = s.x + NW, x1 = t.x, xm = (x0 + x1) / 2;
      var path = svgEl("path", { d: "M" + x0 + "," + y0 + "C" + xm + "," + y0 + " " + xm + "," + y1 + " " + x1 + "," + y1,
        stroke: bandColor(s.band), "stroke-width": w }, linksG);
      svgEl("title", {}, path).textContent = s.period + " " + (BAND_LABEL[s.band] || s.band) + " → " + t.period + " " +
        (BAND_LABEL[t.band] || t.band) + ": " + fmtInt(l.value) + " firma";
    });
    graph.nodes.forEach(function (n) {
      var r = svgEl("rect", { x: n.x, y: n.y, width: NW, height: n.h, fill: bandColor(n.band) }, svg);
      svgEl("title", {}, r).textContent = n.period + " " + (BAND_LABEL[n.band] || n.band) + ": " + fmtInt(n.v) + " firma";
    });
  }
  function d3Sankey(box, graph, W, H) {
    var d3 = window.d3;
    var layout = d3.sankey().nodeWidth(14).nodePadding(10).extent([[4, 18], [W - 4, H - 4]])
      .nodeSort(function (a, b) { return BAND_KEYS.indexOf(a.band) - BAND_KEYS.indexOf(b.band); });
    var g = layout({ nodes: graph.nodes.map(function (n) { return Object.assign({}, n); }),
                     links: graph.links.map(function (l) { return Object.assign({}, l); }) });
    var svg = d3.select(box).append("svg").attr("width", W).attr("height", H).attr("role", "img")
      .attr("aria-label", "Dönemler arası bant geçişleri");
    svg.append("g").attr("fill", "none").attr("stroke-opacity", 0.35).selectAll("path").data(g.links).enter().append("path")
      .attr("d", d3.sankeyLinkHorizontal()).attr("stroke", function (l) { return bandColor(l.source.band); })
      .attr("stroke-width", function (l) { return Math.max(l.width, 0.5); })
      .append("title").text(function (l) { return l.source.period + " " + (BAND_LABEL[l.source.band] || l.source.band) + " → " +
        l.target.period + " " + (BAND_LABEL[l.target.band] || l.target.band) + ": " + fmtInt(l.value) + " firma"; });
    svg.append("g").selectAll("rect").data(g.nodes).enter().append("rect")
      .attr("x", function (n) { return n.x0; }).attr("y", function (n) { return n.y0; })
      .attr("width", function (n) { return n.x1 - n.x0; }).attr("height", function (n) { return Math.max(n.y1 - n.y0, 1); })
      .attr("fill", function (n) { return bandColor(n.band); })
      .append("title").text(function (n) { return n.period + " " + (BAND_LABEL[n.band] || n.band) + ": " + fmtInt(n.value) + " firma"; });
  }
  var chartData = { flow: [], snapshot: {}, derived: false };
  function drawSankey() {
    var box = $("hx-sankey");
    box.textContent = "";
    var flow = chartData.flow, periods = [];
    flow.forEach(function (f) {
      if (!isObj(f)) return;
      [String(f.from_donem), String(f.to_donem)].forEach(function (p) { if (periods.indexOf(p) < 0) periods.push(p); });
    });
    periods.sort(function (a, b) {
      var x = donemler.indexOf(a), y = donemler.indexOf(b);
      return x >= 0 && y >= 0 ? x - y : a < b ? -1 : a > b ? 1 : 0;
    });
    var span = Number($("hx-sankey-span").value) || 4;
    periods = periods.slice(Math.max(periods.length - span, 0));
    if (periods.length < 2) { box.appendChild(el("p", "empty-note", "Bant geçişi verisi yok.")); $("hx-sankey-legend").textContent = ""; return; }
    var graph = sankeyGraph(flow, periods);
    var W = Math.max(box.clientWidth - 4, 160 * (periods.length - 1) + 40, 480), H = 300;
    var used = "svg";
    if (hasSankey) {
      try { d3Sankey(box, graph, W, H); used = "d3-sankey"; } catch (err) { box.textContent = ""; }
    }
    if (used === "svg") ownSankey(box, graph, periods, W, H);
    var names = bandOrder(graph.nodes.map(function (n) { return n.band; }).filter(function (b, k, a) { return a.indexOf(b) === k; }));
    legend($("hx-sankey-legend"), names);
    HXS.sankeyDrawnWith = used;
  }
  function drawCharts() {
    try {
      drawSankey();
      snapshotChart($("hx-snapshot"), chartData.snapshot);
      var note = chartData.derived ? "(satırlardan hesaplandı)" : "";
      $("hx-sankey-note").textContent = note;
      $("hx-snapshot-note").textContent = note;
    } catch (err) {
      HXS.errors.push("chart: " + ((err && err.message) || err));
    }
  }
  function initCharts() {
    var spanSel = $("hx-sankey-span");
    fillSelect(spanSel, [[4, "Son 4 dönem"], [7, "Son 7 dönem"], [1000, "Tüm dönemler"]]);
    spanSel.addEventListener("change", drawSankey);
    chartData.flow = flowMatrix;
    chartData.snapshot = bandSnapshot;
    drawCharts();
  }
  function chartsAfterLoad() {
    var needFlow = !flowMatrix.length, needSnap = !Object.keys(bandSnapshot).length;
    if (!needFlow && !needSnap) return;
    var d = derivedFlow();
    if (needFlow) chartData.flow = d.flow;
    if (needSnap) chartData.snapshot = d.snapshot;
    chartData.derived = true;
    drawCharts();
  }

  // ---------------------------------------------------------------- chunk loading
  var results = new Map(), nextAppend = 0, done = 0, workers = [], sent = 0;
  var GZ = !!cfg.gz;

  function setStatus(msg, isError) {
    var s = $("hx-status");
    s.textContent = msg;
    s.className = isError ? "error" : "";
  }
  function progress() {
    $("hx-progress").value = TOTAL_CHUNKS ? done / TOTAL_CHUNKS : 1;
    HXS.decodedChunks = done;
    if (done < TOTAL_CHUNKS) {
      setStatus((GZ ? "Veri açılıyor… " : "Veri yükleniyor… ") + done + " / " + TOTAL_CHUNKS + " parça");
      return;
    }
    HXS.failedChunks.sort(function (a, b) { return a - b; });
    if (HXS.failedChunks.length) setStatus("Okunamayan veri parçaları: " + HXS.failedChunks.join(", "), true);
    else setStatus("Yükleme tamamlandı: " + fmtInt(S.n) + " firma.");
    $("hx-progress").hidden = true;
    workers.forEach(function (w) { w.terminate(); });
    workers = [];
    if (sortState.id || filtersActive()) refresh(); else { view = null; matched = S.n; schedule(); }
    HXS.allDecodedAt = performance.now();
    chartsAfterLoad();
  }
  function finish(i, cols, error) {
    if (results.has(i) || i < nextAppend) return;
    results.set(i, error != null ? null : cols);
    if (cols && cols.ms) for (var t = 0; t < 3; t++) HXS.decodeMs[t] += cols.ms[t];
    if (error != null) { HXS.failedChunks.push(i); HXS.errors.push("chunk " + i + ": " + error); }
    done++;
    var appended = false;
    while (results.has(nextAppend)) {
      var c = results.get(nextAppend);
      results.delete(nextAppend);
      if (c) { var ta = performance.now(); appendColumns(c); HXS.appendMs += performance.now() - ta; appended = true; }
      nextAppend++;
    }
    if (appended && done < TOTAL_CHUNKS) refreshSoon();
    progress();
  }
  function decodeHere(i, text) {
    local.submit({ i: i, text: text, gz: GZ }, finish);
  }
  var WORKERS_MAX = 4;   // the page's own thread is mostly idle once the HTML is read
  function startWorkers() {
    if (typeof Worker === "undefined" || typeof Blob === "undefined" || !window.URL) return;
    var n = Math.max(1, Math.min(WORKERS_MAX, navigator.hardwareConcurrency || 2));
    if (TOTAL_CHUNKS < 4) n = 1;
    try {
      var src = "(" + hxDecoder.toString() + ")(self);";
      var url = URL.createObjectURL(new Blob([src], { type: "text/javascript" }));
      for (var k = 0; k < n; k++) {
        var w = new Worker(url);
        w.onmessage = function (ev) { this.inflight--; dispatch(); finish(ev.data.i, ev.data.cols, ev.data.error); };
        w.onerror = function (ev) { ev.preventDefault(); HXS.errors.push("worker: " + (ev.message || "error")); };
        w.postMessage({ init: { layout: V316 ? "v316" : "v300", P: P, R: R } });
        w.inflight = 0;
        workers.push(w);
      }
    } catch (err) {
      workers = [];
    }
  }
  local.init({ layout: V316 ? "v316" : "v300", P: P, R: R });

  // Called by the page right after the script element of chunk i has been parsed.
  function chunk(i) {
    var node = $("hx-chunk-" + i);
    var text = node ? node.textContent : "";
    if (node) node.remove();
    sent++;
    if (GZ && typeof DecompressionStream === "undefined") { finish(i, null, "DecompressionStream yok"); return; }
    if (workers.length) { waiting.push({ i: i, text: text, gz: GZ }); dispatch(); }
    else decodeHere(i, text);
  }
  // Chunks go to the least busy worker, at most PER_WORKER at a time each, so that a slow
  // chunk does not hold up the ones queued behind it.
  var waiting = [], PER_WORKER = 2;
  function dispatch() {
    while (waiting.length && workers.length) {
      var best = workers[0];
      for (var k = 1; k < workers.length; k++) if (workers[k].inflight < best.inflight) best = workers[k];
      if (best.inflight >= PER_WORKER) return;
      best.inflight++;
      best.postMessage(waiting.shift());
    }
  }
  function end() {
    HXS.parsedAt = performance.now();
    if (TOTAL_CHUNKS === 0) { setStatus("Gösterilecek veri yok."); $("hx-progress").hidden = true; HXS.allDecodedAt = performance.now(); }
    if (GZ && typeof DecompressionStream === "undefined") {
      setStatus("Bu tarayıcı sıkıştırılmış veriyi açamıyor (DecompressionStream desteklenmiyor). Lütfen güncel bir Chrome, Edge, Firefox veya Safari ile açın.", true);
    }
  }

  // ---------------------------------------------------------------- start
  var title = meta.title != null && String(meta.title).trim() ? String(meta.title) : "QVR Erken Uyarı Paneli";
  $("hx-title").textContent = title;
  document.title = title + (V316 ? "" : " (sıkıştırılmış)");
  $("hx-period").textContent = P ? "Dönem: " + donemler[0] + " – " + donemler[P - 1] : "";
  $("hx-generated").textContent = meta.generated_at ? "Oluşturma: " + String(meta.generated_at).replace("T", " ") : "";
  if (ADMIN) { $("hx-mode").textContent = "Yönetici görünümü"; $("hx-mode").className = "badge admin"; }
  else if (!V316) $("hx-mode").textContent = "sıkıştırılmış veri";
  $("hx-total").textContent = fmtInt(TOTAL_ROWS);
  buildHead();
  initFilters();
  initSections();
  initCharts();
  startWorkers();
  matched = 0;
  updateCounts();
  window.HX = { chunk: chunk, end: end };
})();
{% endraw %}
