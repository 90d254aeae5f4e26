// ---------------------------------------------------------------- announcements
// What a change of the view did, said once in a polite live region (#hx-announce): the
// status line changes a few times a second while loading, so it is no live region, and a
// screen reader hears only results: the rows matched after a filter, the order after a
// sort, the end of loading.
var Announce = (function () {
  var $ = Page.$, fmtInt = Page.fmtInt, HXS = Page.HXS;
  var COLS_BY_ID = Store.COLS_BY_ID, S = Store.S;
  var filtersActive = View.filtersActive, sortKeyText = View.sortKeyText, viewSetKey = View.viewSetKey;

  var announced = { filters: null, sorts: null }, announceTimer = 0;
  function announce(text) {
    clearTimeout(announceTimer);
    // a short pause makes a burst of changes (typing, a reload of the view) one message
    announceTimer = setTimeout(function () {
      $("hx-announce").textContent = text;
      HXS.announced = text;
    }, 300);
  }
  function matchedText() { return fmtInt(View.matched) + " firma " + (filtersActive() ? "eşleşti." : "listede."); }
  function sortText() {
    if (!View.sorts.length) return "Sıralama varsayılana döndü: risk, büyükten küçüğe.";
    return "Sıralama: " + View.sorts.map(function (s) {
      var c = COLS_BY_ID[s.id];
      return (c.period != null ? "Skor " + c.title : c.title) + (s.desc ? " azalan" : " artan");
    }).join(", ") + ".";
  }
  // called after each refresh of the view; the first call only notes where the view starts
  function announceView() {
    var fk = viewSetKey().replace(/^[^|]*\|/, ""), sk = sortKeyText();   // the filters, not the rows loaded so far
    var first = announced.filters === null, parts = [];
    if (!first && sk !== announced.sorts) parts.push(sortText());
    if (!first && fk !== announced.filters) parts.push(filtersActive() ? "Filtre uygulandı." : "Filtreler kaldırıldı.");
    announced.filters = fk;
    announced.sorts = sk;
    if (!parts.length) return;
    parts.push(matchedText());
    if (!Export.allLoaded()) parts.push("Yükleme sürüyor.");
    announce(parts.join(" "));
  }
  // (a failure is announced with the status line that names it)
  function announceLoaded() {
    if (!HXS.failedChunks.length) announce("Yükleme tamamlandı: " + fmtInt(S.n) + " firma yüklendi." + (filtersActive() ? " " + matchedText() : ""));
  }

  return {
    announce: announce, announceLoaded: announceLoaded, announceView: announceView, matchedText: matchedText
  };
})();
