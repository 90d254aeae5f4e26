// ---------------------------------------------------------------- sorting
// Stable LSD radix sort of row indices by 64-bit keys held as two 32-bit halves: numbers
// map to order-preserving bit patterns; texts to their first characters, then equal-key
// runs are ordered by the whole text. Missing numbers go last in either direction.
var Sort = (function () {
  var S = Store.S;

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
  // Order of the rows by one column, stable over `base` (an earlier order, or row order when
  // null), so sorting by the last key first and the first key last gives a multi-column sort.
  function sortRows(c, desc, base) {
    if (c.type === "str") return textOrder(c, desc, base);
    var n = S.n, k, i;
    var key = c.key;
    var present = new Int32Array(n), missing = [], m = 0;
    var hi = new Uint32Array(n), lo = new Uint32Array(n);
    for (k = 0; k < n; k++) {
      i = base ? base[k] : k;
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
    var ties = c.ties && c.ties();
    if (ties) settleTies(order, hi, lo, desc ? function (x, y) { return ties(y, x); } : ties);
    var out = new Int32Array(n);
    out.set(order);
    for (k = 0; k < missing.length; k++) out[m + k] = missing[k];
    return out;
  }

  // Runs of rows whose keys are equal as doubles, ordered by the column's own comparison
  // (stable: rows it finds equal keep their order).
  function settleTies(order, hi, lo, cmp) {
    for (var s = 0, k = 1; k <= order.length; k++) {
      if (k < order.length && hi[order[k]] === hi[order[s]] && lo[order[k]] === lo[order[s]]) continue;
      if (k - s > 1) {
        var run = Array.prototype.slice.call(order.subarray(s, k));
        run.sort(cmp);
        order.set(run, s);
      }
      s = k;
    }
  }

  // Text columns: every row gets the rank of its text among the column's distinct texts, and
  // one stable counting pass over the ranks gives the order (equal texts keep their order).
  // Blank texts go last in either direction.
  function textOrder(c, desc, base) {
    var n = S.n, r = textRanks(c), rank = r.rank, D = r.distinct, blank = r.blank, i, k, j;
    var cnt = new Int32Array(D + 2), out = new Int32Array(n), top = D - 1;
    // slot of a rank in the output: blanks after everything else
    var slot = new Int32Array(D);
    for (k = 0; k < D; k++) slot[k] = k === blank ? D : desc ? top - k : k;
    for (i = 0; i < n; i++) cnt[slot[rank[i]] + 1]++;
    for (k = 0; k <= D; k++) cnt[k + 1] += cnt[k];
    for (j = 0; j < n; j++) { i = base ? base[j] : j; out[cnt[slot[rank[i]]]++] = i; }
    return out;
  }
  // Rank of every row's text (kept until more rows arrive). A column with a dictionary (its
  // distinct texts and each row's index into them) is ranked without reading every row's text;
  // the order of the distinct texts is kept until new texts arrive.
  var rankCache = {}, dictOrderCache = {};
  // a column's texts were renumbered (names merged): its ranks must be made again
  function forgetTexts(id) {
    delete rankCache[id];
    delete dictOrderCache[id];
  }
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
      // a text listed more than once (names come once per chunk) ranks as its first place
      for (k = 0; k < D; k++) pos[order[k]] = k && distinct[order[k]] === distinct[order[k - 1]] ? pos[order[k - 1]] : k;
      if (c.dict) dictOrderCache[c.id] = pos;
    }
    var rank = new Int32Array(n);
    for (i = 0; i < n; i++) rank[i] = pos[ids[i] + base];
    var blankAt = distinct.indexOf("");
    hit = rankCache[c.id] = { n: n, rank: rank, distinct: D, blank: blankAt >= 0 ? pos[blankAt] : -1 };
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

  return {
    compareText: compareText, forgetTexts: forgetTexts, sortRows: sortRows
  };
})();
