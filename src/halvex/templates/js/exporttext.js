// ---------------------------------------------------------------- cells of every export
// One rule for CSV, the .xlsx file and the clipboard: a text a spreadsheet would run as a
// formula (starting with =, +, -, @, tab or carriage return) gets a leading apostrophe, so
// it stays text also after the file is saved again in another format. Only a text that is
// entirely a number may stay a number. Every export starts with the same heading: the data
// date, the active filters and the row count.
var ExportText = (function () {
  var NUMBER = /^[+-]?\d+(?:[.,]\d+)?$/;
  var FORMULA_START = /^[=+\-@\t\r]/;

  function guard(s) { return FORMULA_START.test(s) ? "'" + s : s; }
  function isNumberText(s) { return NUMBER.test(s); }
  // CSV (";" separated): text cells quoted, number texts bare
  function csvText(v) {
    var s = v == null ? "" : String(v);
    if (s === "" || NUMBER.test(s)) return s;
    return '"' + guard(s).replace(/"/g, '""') + '"';
  }
  // A number's text: at most six decimals, a point before them; "" when missing.
  var SMALL = 214748364;                // tenths of it still fit a small integer
  function numText(v) {
    if (typeof v !== "number" || v !== v || v === Infinity || v === -Infinity) return "";
    // whole numbers and tenths (most amounts) from small integers: writing a double's
    // shortest text costs several times as much, and a million rows have millions of them
    if (v > -SMALL && v < SMALL) {
      if (v === Math.floor(v)) return v === 0 ? "0" : String(v | 0);
      var t = Math.round(v * 10);
      if (t / 10 === v) {
        var a = t < 0 ? -t : t;
        return (t < 0 ? "-" : "") + String((a / 10) | 0) + "." + String(a % 10);
      }
    }
    var s = String(v);
    // most amounts have few decimals: their shortest text is already the answer
    if (s.length <= 15 && s.indexOf("e") < 0) {
      var dot = s.indexOf(".");
      if (dot < 0 || s.length - dot <= 7) return s;
    }
    return Math.abs(v) >= 1e21 ? s : String(Number(v.toFixed(6)));
  }
  // a number's text in a Turkish spreadsheet: a decimal comma
  function decimalComma(s) { return s.indexOf(".") < 0 ? s : s.replace(".", ","); }
  // Tab separated (the clipboard): a tab or line break inside a cell would split it, so it
  // becomes a space (after the guard has seen the text as it is).
  function tsvText(v) {
    var s = v == null ? "" : String(v);
    return NUMBER.test(s) ? s : guard(s).replace(/[\t\r\n]+/g, " ");
  }
  // one cell of a column whose texts are numbers (num) or texts
  function csvCell(s, num) { return num ? decimalComma(s) : csvText(s); }
  function tsvCell(s, num) { return num ? decimalComma(s) : tsvText(s); }
  // The heading lines as label/value pairs.
  function heading(info) {
    return [["Veri tarihi", info.dataDate || "bilinmiyor"], ["Filtreler", info.filters || "Filtre yok"],
            ["Satır sayısı", String(info.rows)]];
  }
  function csvHeading(info) {
    return heading(info).map(function (p) { return csvText(p[0]) + ";" + csvText(p[1]); }).join("\r\n") + "\r\n\r\n";
  }
  function tsvHeading(info) {
    return heading(info).map(function (p) { return tsvText(p[0]) + "\t" + tsvText(p[1]); }).join("\r\n") + "\r\n\r\n";
  }
  return { guard: guard, isNumberText: isNumberText, numText: numText, decimalComma: decimalComma,
           csvText: csvText, tsvText: tsvText, csvCell: csvCell, tsvCell: tsvCell,
           heading: heading, csvHeading: csvHeading, tsvHeading: tsvHeading };
})();
