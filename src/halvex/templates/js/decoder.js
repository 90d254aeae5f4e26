// ---------------------------------------------------------------- decoding (worker)
// Runs as the source of a Web Worker and, as a fall-back, on the page. A chunk is the JSON
// text of an array of row arrays, or (gz) base64 text of one gzip member holding it. The
// rows are turned into columns here, so the page receives transferable typed arrays; the
// names (unvan) come as the chunk's distinct texts plus one index per row.
function hxDecoder(scope) {
  var NULL_SCORE = -2147483648;
  var NON_FINITE = /"(?:[^"\\]|\\.)*"|-?Infinity|NaN/g;
  // Integer tokens beyond 2^53 - 1 lose digits in JSON.parse (9007199254740993 reads as
  // ...992, two borrowers become one); the exact reader takes them as the strings of their
  // digits. A token is found with the character before it (no look-behind), so digits of a
  // fraction or an exponent are never taken for one.
  var TOKENS = /"(?:[^"\\]|\\.)*"|(^|[^\d.eE+\-"])(-?\d{16,})(?![\d.eE])|-?Infinity|NaN/g;
  // 16 digits in a row; spelt out, the engine scans for it ten times faster than \d{16}
  var LONG_RUN = /\d\d\d\d\d\d\d\d\d\d\d\d\d\d\d\d/;
  var MAX_SAFE = "9007199254740991", MAX_SAFE_NUM = 9007199254740991;
  var cfg = null;
  var utf8 = typeof TextDecoder === "function" ? new TextDecoder() : null;

  // Bare NaN / Infinity tokens (outside strings) are read as null. The replacement only
  // runs when the text holds such a token somewhere (possibly inside a string).
  function nonFinite(m) { return m.charAt(0) === '"' ? m : "null"; }
  function token(m, before, digits) {
    if (digits === undefined) return nonFinite(m);
    var d = digits.charAt(0) === "-" ? digits.slice(1) : digits;
    return d.length > 16 || d > MAX_SAFE ? before + '"' + digits + '"' : m;
  }
  function parseFast(src) {
    if (src.indexOf("NaN") < 0 && src.indexOf("Infinity") < 0) return JSON.parse(src);
    return JSON.parse(src.replace(NON_FINITE, nonFinite));
  }
  function parseExact(src) { return JSON.parse(src.replace(TOKENS, token)); }
  // The page's own JSON texts: read exactly when a long digit run is in them.
  function parseJSON(src) { return LONG_RUN.test(src) ? parseExact(src) : parseFast(src); }
  // A chunk: JSON.parse first (long runs are common in fractions, and the exact reader costs
  // over twice the parse); read again exactly when a customer number came out unsafe. Once a
  // chunk needed that, the page has such numbers, and chunks with a long run go to the exact
  // reader straight away.
  var exactChunks = false;
  function parseRows(src) {
    if (exactChunks && LONG_RUN.test(src)) return parseExact(src);
    var rows = parseFast(src), p = cfg.slots.muta;
    if (!Array.isArray(rows)) return rows;
    for (var i = 0; i < rows.length; i++) {
      var m = Array.isArray(rows[i]) ? rows[i][p] : null;
      if (typeof m === "number" && (m > MAX_SAFE_NUM || m < -MAX_SAFE_NUM)) {
        exactChunks = true;
        return parseExact(src);
      }
    }
    return rows;
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

  // rows -> columns; amounts in million TL. Every position comes from the page's row slots
  // (cfg.slots); a slot the layout lacks is absent there.
  var MARK_SLOTS = ["hizli_yukselen", "rejim_degisimi", "potansiyel_yi", "erken_sinyal", "yakalanan", "kacirilan"];
  function columns(rows) {
    var L = cfg.slots, P = L.P, R = L.R, v316 = L.layout !== "v300";
    var n = Array.isArray(rows) ? rows.length : 0;
    var c = {
      n: n, muta: new Array(n), names: [], uid: new Int32Array(n),
      seg: new Int8Array(n), risk: new Float64Array(n), score: new Int32Array(n * P),
      r: new Float64Array(n * R), lastBand: new Uint8Array(n)
    };
    var muta = c.muta, names = c.names, uid = c.uid, seg = c.seg, risk = c.risk, sc = c.score, rr = c.r, lastBand = c.lastBand;
    var EMPTY = [];
    var mutaPos = L.muta, unvanPos = L.unvan, segPos = L.segment, riskPos = L.risk, sPos = L.scores, rPos = L.r;
    // the compressed page carries amounts in TL, the standard page in million TL
    var div = cfg.amountsInTL ? 1e6 : 1;
    if (v316) {
      c.bolge = new Int32Array(n); c.sube = new Int32Array(n);
      c.rd = new Float64Array(n * R); c.df = new Float64Array(n * R);
      c.marks = new Uint8Array(n); c.nedenId = new Int32Array(n); c.nedenTexts = []; c.ml = new Float64Array(n);
    }
    var nedenSeen = new Map(), allNum = true;
    var markPos = MARK_SLOTS.map(function (k) { return L[k]; });
    for (var i = 0; i < n; i++) {
      var a = rows[i];
      if (!Array.isArray(a)) a = EMPTY;
      var m = a[mutaPos];
      muta[i] = m == null ? "" : m;
      if (typeof m !== "number") allNum = false;
      var u = a[unvanPos];
      u = u == null ? "" : typeof u === "string" ? u : String(u);
      // one name per row: most names differ within a chunk, and the page makes the texts
      // distinct once every chunk is in anyway (a look-up here cost as much as building the
      // rest of the row's columns)
      uid[i] = names.length;
      names.push(u);
      var sg = a[segPos];
      seg[i] = typeof sg === "number" && sg >= 0 && sg <= 3 ? sg : -1;
      var v = a[riskPos];
      v = typeof v === "number" ? v : num(v);
      risk[i] = v / div;
      for (var k = 0, o = i * P, p = sPos; k < P; k++, p++) {
        v = a[p];
        // the Int32Array store truncates toward zero (Math.trunc here made this loop three times slower)
        sc[o + k] = typeof v === "number" && v - v === 0 ? v : NULL_SCORE;
      }
      for (var j = 0, q = i * R, s = rPos; j < R; j++, s++) {
        v = a[s];
        v = typeof v === "number" ? v : num(v);
        rr[q + j] = v / div;
      }
      lastBand[i] = P ? band(sc[i * P + P - 1]) : 4;
      if (v316) {
        c.bolge[i] = typeof a[L.bolge] === "number" ? a[L.bolge] : -1;
        c.sube[i] = typeof a[L.sube] === "number" ? a[L.sube] : -1;
        for (j = 0; j < R; j++) {
          c.rd[i * R + j] = num(a[L.rd + j]);
          c.df[i * R + j] = num(a[L.df + j]);
        }
        var mk = 0;
        for (k = 0; k < 6; k++) if (mark(a[markPos[k]])) mk |= 1 << k;
        c.marks[i] = mk;
        var t = a[L.qvr_neden];
        t = t == null ? "" : typeof t === "string" ? t : String(t);
        // a handful of reasons: a short search costs less than a look-up in a map
        var nt = c.nedenTexts, tid = -1;
        if (nt.length <= 16) { for (var x = 0; x < nt.length; x++) if (nt[x] === t) { tid = x; break; } }
        else { var got = nedenSeen.get(t); if (got !== undefined) tid = got; }
        if (tid < 0) {
          tid = nt.length; nt.push(t);
          if (tid === 16) for (x = 0; x <= 16; x++) nedenSeen.set(nt[x], x);
          else if (tid > 16) nedenSeen.set(t, tid);
        }
        c.nedenId[i] = tid;
        c.ml[i] = num(a[L.ml_yi_prob]);
      }
    }
    // numbers travel to the page as one transferable array rather than one value each
    if (allNum) c.muta = Float64Array.from(muta);
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
      var t1 = Date.now(), rows = parseRows(txt), t2 = Date.now(), c = columns(rows);
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
