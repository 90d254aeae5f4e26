// ---------------------------------------------------------------- words of the detail panel
// Headings of the borrower's detail in words: the risk series by the names of the columns the
// document says they come from (meta.risk_serileri), and the note for a page from which the
// renderer withheld findings (meta.bulgular_gizli).
var DetailText = (function () {
  // the columns the scoreboard writes, as a reader would name them
  var KNOWN = { kombine_risk: "Kombine risk", risk_degisim: "Risk değişimi" };
  var FALLBACK = { r: "Risk", rd: "İkinci risk serisi", df: "Risk değişimi" };

  // a column name (ASCII, as databases spell them) in words: "nakdi_risk" -> "Nakdi risk"
  function words(name) {
    var s = name.replace(/_+/g, " ").replace(/\s+/g, " ").trim().toLowerCase();
    return s.charAt(0).toLocaleUpperCase("tr-TR") + s.slice(1);
  }
  function seriesHeading(key, meta) {
    var named = meta && typeof meta === "object" && meta.risk_serileri && typeof meta.risk_serileri === "object"
      ? meta.risk_serileri[key] : null;
    if (typeof named === "string" && named.trim()) {
      var low = named.trim().toLowerCase();
      return KNOWN[low] || (/[_A-Z]/.test(named) || named === low ? words(named) : named.trim());
    }
    return FALLBACK[key] || String(key);
  }
  function withheldNote(meta, admin) {
    if (admin || !meta || meta.bulgular_gizli !== true) return "";
    return "SQL ve SQL_DELTA katmanlarının bulguları bu sayfada gösterilmez; yönetici sayfasında bu firma için " +
           "başka gruplar da görünebilir.";
  }

  return { seriesHeading: seriesHeading, withheldNote: withheldNote };
})();
