// ---------------------------------------------------------------- quick search
// Matching is TextSearch's; here the folded texts are kept for the loaded rows. F.plain: the
// Turkish letters fold to plain ones (the default; off for an exact match).
var Search = (function () {
  var el = Page.el;
  var S = Store.S;

  function foldQuery(text, plain) { return TextSearch.query(text, !plain); }
  var folds = { false: { names: [], gen: 0, mutas: new Map(), mutaN: 0 }, true: { names: [], gen: 0, mutas: new Map(), mutaN: 0 } };
  function foldedNames(plain) {
    var f = folds[plain], fn = TextSearch.folder(!plain);
    if (f.gen !== S.namesGen) { f.names = []; f.gen = S.namesGen; }   // the names were merged
    for (var k = f.names.length; k < S.names.length; k++) f.names.push(fn(S.names[k]));
    return f.names;
  }
  function foldMutas(n, plain) {   // folded texts of the muta values that are not numbers, by row
    var f = folds[plain], fn = TextSearch.folder(!plain);
    for (var k = f.mutaN; k < n; k++) {
      var m = S.muta[k];
      if (typeof m !== "number") f.mutas.set(k, fn(String(m)));
    }
    f.mutaN = n;
    return f.mutas;
  }
  var hitCache = null;
  function searchHits(q, plain) {
    var n = S.n;
    plain = !!plain;
    if (hitCache && hitCache.q === q && hitCache.n === n && hitCache.plain === plain) return hitCache.hits;
    var hits = TextSearch.hits(q, n, foldedNames(plain), S.uid, S.muta, foldMutas(n, plain));
    hitCache = { q: q, n: n, plain: plain, hits: hits };
    return hits;
  }
  // Puts text into a cell with the search match marked (text nodes only, never markup).
  function putMarked(cell, text, foldedText) {
    cell.textContent = "";
    var q = View.F.q, at = q && q.indexOf(" ") < 0 ? foldedText.indexOf(q) : -1;
    if (at < 0 || foldedText.length !== text.length) { cell.textContent = text; return; }
    if (at > 0) cell.appendChild(document.createTextNode(text.slice(0, at)));
    cell.appendChild(el("mark", null, text.slice(at, at + q.length)));
    if (at + q.length < text.length) cell.appendChild(document.createTextNode(text.slice(at + q.length)));
  }

  return {
    foldedNames: foldedNames, foldQuery: foldQuery, putMarked: putMarked, searchHits: searchHits
  };
})();
