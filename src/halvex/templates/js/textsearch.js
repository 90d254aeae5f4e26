// ---------------------------------------------------------------- folding and matching for search
// A row matches when its folded "muta unvan" text holds the folded query. Folding is Turkish
// lower case and, unless an exact match is asked for, Turkish letters read as their plain
// ones (ı/i, ş/s, ğ/g, ü/u, ö/o, ç/c, and â/î/û), so "sirket" finds "Şirket" and "isik"
// finds "IŞIK". Folding keeps every character in its place, so a match found in the folded
// text marks the same characters of the shown text.
var TextSearch = (function () {
  var PLAIN_FROM = "ıçğöşüâîû", PLAIN_TO = "icgosuaiu";
  var NUMBER_TEXT = /^[0-9.e+\-]+$/;

  // lower case with the Turkish dotted and dotless i
  function fold(s) {
    if (s.indexOf("I") >= 0) s = s.replace(/I/g, "ı");
    if (s.indexOf("İ") >= 0) s = s.replace(/İ/g, "i");
    return s.toLowerCase();
  }
  function plainFold(s) {
    s = fold(s);
    var out = "";
    for (var k = 0; k < s.length; k++) {
      var ch = s.charAt(k), p = PLAIN_FROM.indexOf(ch);
      out += p >= 0 ? PLAIN_TO.charAt(p) : ch;
    }
    return out;
  }
  function folder(exact) { return exact ? fold : plainFold; }
  function query(text, exact) { return folder(exact)(String(text).trim()); }

  // Rows (0..n-1) whose text holds the folded query q, as a Uint8Array of 0/1. names: the
  // folded distinct names, uid: each row's index into them; muta: the customer numbers
  // (numbers, or texts); mutaFolds: Map of row -> folded text, for the muta values that are
  // not numbers. Names are matched once per distinct text; only a query with a blank, which
  // may span both, is matched against the joined text.
  function hits(q, n, names, uid, muta, mutaFolds) {
    var out = new Uint8Array(n), i, k;
    if (q.indexOf(" ") >= 0) {
      for (i = 0; i < n; i++) {
        var mt = typeof muta[i] === "number" ? String(muta[i]) : mutaFolds.get(i);
        if ((mt + " " + names[uid[i]]).indexOf(q) >= 0) out[i] = 1;
      }
      return out;
    }
    var nameHit = new Uint8Array(names.length), numeric = NUMBER_TEXT.test(q);
    for (k = 0; k < names.length; k++) if (names[k].indexOf(q) >= 0) nameHit[k] = 1;
    for (i = 0; i < n; i++) {
      if (nameHit[uid[i]]) { out[i] = 1; continue; }
      var m = muta[i];
      if (typeof m === "number" ? numeric && String(m).indexOf(q) >= 0 : mutaFolds.get(i).indexOf(q) >= 0) out[i] = 1;
    }
    return out;
  }

  return { fold: fold, plainFold: plainFold, folder: folder, query: query, hits: hits };
})();
