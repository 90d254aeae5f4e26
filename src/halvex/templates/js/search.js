// ---------------------------------------------------------------- quick search
// A row matches when its folded "muta unvan" text holds the folded query. Folding is Turkish
// lower case; on request ("plain") also without diacritics, so "insaat" finds "İnşaat" and
// "isik" finds "Işık". Folding keeps every character in its place, so a match found in the
// folded text marks the same characters of the shown text. Names are folded once per
// distinct text and matched once per distinct text; only a query with a blank, which may
// span both, is matched against the joined text.
var PLAIN_FROM = "ıçğöşüâîû", PLAIN_TO = "icgosuaiu";
function plainFold(s) {
  s = fold(s);
  var out = "";
  for (var k = 0; k < s.length; k++) {
    var ch = s.charAt(k), p = PLAIN_FROM.indexOf(ch);
    out += p >= 0 ? PLAIN_TO.charAt(p) : ch;
  }
  return out;
}
function foldQuery(text, plain) { var q = fold(text.trim()); return plain ? plainFold(q) : q; }
var folds = { false: { names: [], gen: 0, mutas: new Map(), mutaN: 0 }, true: { names: [], gen: 0, mutas: new Map(), mutaN: 0 } };
function foldedNames(plain) {
  var f = folds[plain], fn = plain ? plainFold : fold;
  if (f.gen !== S.namesGen) { f.names = []; f.gen = S.namesGen; }   // the names were merged
  for (var k = f.names.length; k < S.names.length; k++) f.names.push(fn(S.names[k]));
  return f.names;
}
function foldMutas(n, plain) {   // folded texts of the muta values that are not numbers, by row
  var f = folds[plain], fn = plain ? plainFold : fold;
  for (var k = f.mutaN; k < n; k++) {
    var m = S.muta[k];
    if (typeof m !== "number") f.mutas.set(k, fn(String(m)));
  }
  f.mutaN = n;
  return f.mutas;
}
var NUMBER_TEXT = /^[0-9.e+\-]+$/, hitCache = null;
function searchHits(q, plain) {
  var n = S.n, i, k;
  plain = !!plain;
  if (hitCache && hitCache.q === q && hitCache.n === n && hitCache.plain === plain) return hitCache.hits;
  var hits = new Uint8Array(n), names = foldedNames(plain), uid = S.uid, muta = S.muta;
  var mutaFolds = foldMutas(n, plain);
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
  hitCache = { q: q, n: n, plain: plain, hits: hits };
  return hits;
}
// Puts text into a cell with the search match marked (text nodes only, never markup).
function putMarked(cell, text, foldedText) {
  cell.textContent = "";
  var q = F.q, at = q && q.indexOf(" ") < 0 ? foldedText.indexOf(q) : -1;
  if (at < 0 || foldedText.length !== text.length) { cell.textContent = text; return; }
  if (at > 0) cell.appendChild(document.createTextNode(text.slice(0, at)));
  cell.appendChild(el("mark", null, text.slice(at, at + q.length)));
  if (at + q.length < text.length) cell.appendChild(document.createTextNode(text.slice(at + q.length)));
}
