// ---------------------------------------------------------------- rows picked for copying
// A range of view positions, from an anchor to the cursor: Shift with the arrows, the page
// keys, Home or End, or Shift+click; Ctrl+A picks every row the filters leave. Ctrl+C copies
// the picked rows (the active row when none is picked) as tab-separated text with the
// heading every export has. A new view (filter, sort) drops the range: its positions would
// name other rows.
var Selection = (function () {
  var fmtInt = Page.fmtInt, HXS = Page.HXS;
  var rowAt = View.rowAt, shownCount = View.shownCount;
  var announce = Announce.announce;
  var moveCursor = Grid.moveCursor, schedule = Grid.schedule;

  var COPY_MAX = 50000;                  // more is a file's work (CSV), not the clipboard's
  var pick = null;                       // { a: anchor, b: end }, view positions, or null
  function pickedRange() { return pick ? [Math.min(pick.a, pick.b), Math.max(pick.a, pick.b)] : null; }
  function isPicked(pos) { return pick !== null && pos >= Math.min(pick.a, pick.b) && pos <= Math.max(pick.a, pick.b); }
  function setPick(p) {
    pick = p;
    var r = pickedRange();
    HXS.picked = r ? r[1] - r[0] + 1 : 0;
    schedule();
  }
  function dropPick() { if (pick) setPick(null); }
  // a new view: the range's positions would name other rows (the rows are drawn anew anyway)
  function forgetPick() { pick = null; HXS.picked = 0; }
  // the range grows from its anchor (or from the active row) to the new cursor
  function extendPick(to) {
    var anchor = pick ? pick.a : Grid.cursor;
    moveCursor(to);
    setPick({ a: anchor, b: Grid.cursor });
  }
  function pickAll() { if (View.matched) setPick({ a: 0, b: View.matched - 1 }); }
  function copyPicked() {
    var r = pickedRange() || (shownCount() ? [Grid.cursor, Grid.cursor] : null);
    if (!r) return;
    var n = r[1] - r[0] + 1;
    if (n > COPY_MAX) {
      announce("En çok " + fmtInt(COPY_MAX) + " satır kopyalanır; " + fmtInt(n) + " satır için CSV veya Excel indirin.");
      return;
    }
    var cols = Export.exportColumns(), cells = cols.map(function (c) { return Export.cellMaker(c, ExportText.tsvCell); }), m = cols.length;
    var out = ExportText.tsvHeading(Export.exportHeading(n)) + cols.map(function (c) { return ExportText.tsvText(c.h); }).join("\t") + "\r\n";
    for (var pos = r[0]; pos <= r[1]; pos++) {
      var i = rowAt(pos), line = cells[0](i);
      for (var j = 1; j < m; j++) line += "\t" + cells[j](i);
      out += line + "\r\n";
    }
    writeClipboard(out, function (ok) {
      HXS.copiedRows = ok ? n : 0;
      announce(ok ? fmtInt(n) + " satır kopyalandı." : "Kopyalanamadı: tarayıcı panoya yazmaya izin vermedi.");
    });
  }
  // The copy command within the key press writes the clipboard without asking for a permission
  // (a page opened from a file has no other way); the asynchronous clipboard is the fallback.
  function writeClipboard(text, done) {
    var ok = false;
    function onCopy(ev) { ev.clipboardData.setData("text/plain", text); ev.preventDefault(); ok = true; }
    document.addEventListener("copy", onCopy);
    try { document.execCommand("copy"); } catch (err) { ok = false; }
    document.removeEventListener("copy", onCopy);
    if (ok) { done(true); return; }
    if (navigator.clipboard && navigator.clipboard.writeText) navigator.clipboard.writeText(text).then(function () { done(true); }, function () { done(false); });
    else done(false);
  }

  return {
    copyPicked: copyPicked, dropPick: dropPick, extendPick: extendPick, forgetPick: forgetPick, isPicked: isPicked,
    get pick() { return pick; }, pickAll: pickAll, setPick: setPick
  };
})();
