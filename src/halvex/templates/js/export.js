// ---------------------------------------------------------------- exports: CSV, .xlsx
var Export = (function () {
  var $ = Page.$, band = Page.band, donemler = Page.donemler, el = Page.el, fmtInt = Page.fmtInt,
      HXS = Page.HXS, MARKS = Page.MARKS, meta = Page.meta, NULL_SCORE = Page.NULL_SCORE, P = Page.P,
      R = Page.R, riskDonemler = Page.riskDonemler, scoreShown = Page.scoreShown, scoreText = Page.scoreText,
      svgEl = Page.svgEl, TOTAL_CHUNKS = Page.TOTAL_CHUNKS, TOTAL_ROWS = Page.TOTAL_ROWS;
  var colHeading = Store.colHeading, COLS_BY_ID = Store.COLS_BY_ID, isWatched = Store.isWatched, S = Store.S,
      scoreDelta = Store.scoreDelta;
  var deltaFilterOn = View.deltaFilterOn, filtersActive = View.filtersActive, rowAt = View.rowAt;
  var announce = Announce.announce;
  var DEFAULT_SORT = Grid.DEFAULT_SORT, updateCounts = Grid.updateCounts;
  var multi = Filters.multi;

  // The visible columns, in their order, as export columns: h the heading, v(i) row i's text,
  // num when those texts are numbers (a point before the decimals, "" when missing). A period
  // score column exports its score, the risk series one column per period, the marks one
  // column each. code(i), where given, names row i's text (same code, same text).
  function exportColumns() {
    var out = [], num = ExportText.numText, anyWatched = Store.watched.size > 0;
    Grid.COLS.forEach(function (c) {
      // a score's code: 0 when missing, 1 for "YI", the score + 2 otherwise
      if (c.period != null) out.push({ h: "Skor " + c.title, v: function (i) { return scoreText(S.score[i * P + c.period]); },
                                       code: function (i) { var s = S.score[i * P + c.period]; return s === NULL_SCORE ? 0 : s + 2; } });
      else if (c.spark) riskDonemler.forEach(function (d, j) { out.push({ h: "Risk " + d + " (mio TL)", num: true, v: function (i) { return num(S.r[i * R + j]); } }); });
      else if (c.watch) out.push({ h: "İzleme", num: true, v: function (i) { return anyWatched && isWatched(i) ? "1" : "0"; } });
      else if (c.marks) MARKS.forEach(function (m, b) { out.push({ h: m[1], num: true, v: function (i) { return S.marks[i] & (1 << b) ? "1" : "0"; } }); });
      else if (c.id === "risk") out.push({ h: c.title, num: true, v: function (i) { return num(S.risk[i]); } });
      else if (c.id === "ml") out.push({ h: c.title + " (%)", num: true, v: function (i) { return ModelText.pctDigits(S.ml[i]); } });
      else if (c.id === "delta") out.push({ h: c.title, num: true, v: function (i) { return num(scoreDelta(i)); } });
      else out.push({ h: c.title, v: c.text, code: c.code });
    });
    return out;
  }
  // A column's cell in one format (fmt(text, num)); a column that names its texts has each
  // distinct text formatted once. Names get new codes when they are merged after loading:
  // what was built for the old codes is dropped then.
  function cellMaker(col, fmt) {
    if (!col.code) return function (i) { return fmt(col.v(i), col.num); };
    var memo = [], gen = S.namesGen;
    return function (i) {
      if (gen !== S.namesGen) { memo = []; gen = S.namesGen; }
      var k = col.code(i), s = memo[k];
      if (s === undefined) s = memo[k] = fmt(col.v(i), col.num);
      return s;
    };
  }
  // what every export starts with
  function exportHeading(rows) {
    var d = meta.veri_tarihi != null && String(meta.veri_tarihi).trim() ? String(meta.veri_tarihi) : P ? donemler[P - 1] : "";
    return { dataDate: d, filters: viewSummary().filters, rows: rows };
  }
  function exportFileName(ext) {
    return "qvr_firmalar_" + (P ? donemler[P - 1] : "liste").replace(/[^0-9A-Za-z_-]/g, "_") +
           (filtersActive() ? "_filtreli" : "") + "." + ext;
  }
  function downloadBlob(blob, name) {
    var a = el("a");
    a.href = URL.createObjectURL(blob);
    a.download = name;
    document.body.appendChild(a);
    a.click();
    a.remove();
    setTimeout(function () { URL.revokeObjectURL(a.href); }, 60000);
  }
  function allLoaded() { return Loader.done >= TOTAL_CHUNKS; }
  var exporting = null;                  // the format being written, one at a time
  function updateExportState() {
    var why = "", xlsxWhy = "";
    if (!allLoaded()) why = "CSV, tüm veri yüklenince indirilebilir.";
    else if (View.matched === 0) why = "Dışa aktarılacak kayıt yok.";
    else if (exporting) why = exporting + " hazırlanıyor.";
    if (!why && View.matched > Xlsx.MAX_ROWS) xlsxWhy = "Excel en çok " + fmtInt(Xlsx.MAX_ROWS) + " satır alır; daha fazlası için CSV indirin.";
    var csv = $("hx-csv"), xlsx = $("hx-xlsx");
    csv.disabled = why !== "";
    xlsx.disabled = why !== "" || xlsxWhy !== "";
    $("hx-csv-note").textContent = why || xlsxWhy;
    csv.title = why || "Eşleşen " + fmtInt(View.matched) + " kaydı görünen sütunlarla indir";
    xlsx.title = why || xlsxWhy || "Eşleşen " + fmtInt(View.matched) + " kaydı görünen sütunlarla Excel dosyası olarak indir";
  }
  // An export is written a slice at a time (EXPORT_SLICE_MS of work, then the page's turn to
  // draw and take input), its progress on the loading bar. The rows are the view as it was
  // when the export began. write(from, to) takes view positions; finish() ends the file.
  var EXPORT_SLICE_MS = 40, EXPORT_STEP_ROWS = 500;
  function runExport(label, write, finish) {
    var rows = View.view, n = View.matched, k = 0, bar = $("hx-progress");
    exporting = label;
    updateExportState();
    bar.style.visibility = "";
    function step() {
      var end = performance.now() + EXPORT_SLICE_MS;
      while (k < n && performance.now() < end) {
        var to = Math.min(n, k + EXPORT_STEP_ROWS);
        write(rows, k, to);
        k = to;
      }
      bar.value = n ? k / n : 1;
      if (k < n) {
        Loader.setStatus(label + " hazırlanıyor… %" + Math.floor(100 * k / n));
        setTimeout(step, 0);
        return;
      }
      exporting = null;
      Loader.hideProgress();
      try {
        finish();
        announce(label + " indirildi: " + fmtInt(n) + " satır.");
      } finally {
        updateCounts();
      }
    }
    setTimeout(step, 0);
  }
  function exportCsv() {
    if (!allLoaded() || View.matched === 0 || exporting) return;
    var cols = exportColumns(), cells = cols.map(function (c) { return cellMaker(c, ExportText.csvCell); }), m = cols.length;
    var parts = ["\ufeff" + ExportText.csvHeading(exportHeading(View.matched)) +
                 cols.map(function (c) { return ExportText.csvText(c.h); }).join(";") + "\r\n"];
    var name = exportFileName("csv"), n = View.matched, enc = new TextEncoder();
    runExport("CSV", function (rows, from, to) {
      var s = "";
      for (var k = from; k < to; k++) {
        var i = rows ? rows[k] : k, line = cells[0](i);
        for (var j = 1; j < m; j++) line += ";" + cells[j](i);
        s += line + "\r\n";
      }
      // bytes now: the text of a slice dies young, and the file at the end is only copied
      parts.push(enc.encode(s));
    }, function () {
      downloadBlob(new Blob(parts, { type: "text/csv;charset=utf-8" }), name);
      HXS.lastCsvRows = n;
    });
  }
  function exportXlsx() {
    if (!allLoaded() || View.matched === 0 || View.matched > Xlsx.MAX_ROWS || exporting) return;
    var cols = exportColumns(), m = cols.length, book = Xlsx.book(m);
    var nums = cols.map(function (c) { return !!c.num; });
    book.rows(ExportText.heading(exportHeading(View.matched)).concat([[], cols.map(function (c) { return c.h; })]));
    var name = exportFileName("xlsx"), n = View.matched;
    runExport("Excel", function (rows, from, to) {
      var out = [];
      for (var k = from; k < to; k++) {
        var i = rows ? rows[k] : k, r = new Array(m);
        for (var j = 0; j < m; j++) r[j] = cols[j].v(i);
        out.push(r);
      }
      book.rows(out, nums);
    }, function () {
      downloadBlob(new Blob(book.finish(), { type: "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet" }), name);
      HXS.lastXlsxRows = n;
    });
  }

  // ---------------------------------------------------------------- print: the rows in view order
  // What the printed list is: filters, sort and row count.
  function viewSummary() {
    var F = View.F;
    var parts = [];
    if (F.qRaw) parts.push("Arama: \u201c" + F.qRaw + "\u201d" + (F.plain ? "" : " (harfler tam)"));
    Object.keys(multi).forEach(function (k) {
      var on = multi[k].labels();
      if (on.length) parts.push($( "hx-f-" + k).querySelector("summary").getAttribute("data-title") + ": " + on.join(", "));
    });
    if (F.riskMin === F.riskMin) parts.push("Risk ≥ " + NumberText.format(F.riskMin) + " mio TL");
    if (F.riskMax === F.riskMax) parts.push("Risk ≤ " + NumberText.format(F.riskMax) + " mio TL");
    if (F.mlMin === F.mlMin) parts.push("Olasılık ≥ %" + NumberText.format(Math.round(F.mlMin * 1000) / 10));
    if (F.mlMax === F.mlMax) parts.push("Olasılık ≤ %" + NumberText.format(Math.round(F.mlMax * 1000) / 10));
    if (deltaFilterOn()) {
      parts.push("Skor değişimi" + (F.deltaDir > 0 ? " artan" : F.deltaDir < 0 ? " azalan" : "") +
                 (F.deltaMin === F.deltaMin ? ", en az " + NumberText.format(F.deltaMin) + " puan" : ""));
    }
    if (F.watch) parts.push("Yalnız izleme listesi");
    if (F.chart) parts.push("Grafik: " + Charts.chartFilterText(F.chart));
    if (F.move) parts.push("Bant " + (F.move > 0 ? "yükselen" : "düşen"));
    if (F.marks) parts.push("İşaretler: " + MARKS.filter(function (m, b) { return F.marks & (1 << b); }).map(function (m) { return m[0]; }).join(" "));
    // without a sort of the analyst's, the renderer's order, as the risk header shows it
    var keys = View.sorts.length ? View.sorts : [DEFAULT_SORT];
    var sortText = keys.map(function (s) { return COLS_BY_ID[s.id].title + (s.desc ? " ▼" : " ▲"); }).join(", ");
    return { filters: parts.length ? parts.join("; ") : "Filtre yok", sort: sortText + (View.sorts.length ? "" : " (varsayılan)") };
  }
  // Paper gets the columns on screen and the rows of the view (every match, not only the rows
  // the grid shows), up to PRINT_MAX of them; the heading has the screen's counts, filters and
  // sort, and a line says when there are more rows than printed.
  var PRINT_MAX = 2000;
  var PAGE_PX = 1047;                    // A4 landscape within its 10 mm margins, at 96 px an inch
  // width a customer number needs on paper, so that none is cut
  function printIdWidth(n) {
    var longest = "";
    for (var k = 0; k < n; k++) { var t = String(S.muta[rowAt(k)]); if (t.length > longest.length) longest = t; }
    var ctx = document.createElement("canvas").getContext("2d"), w = longest.length * 6;
    if (ctx) { ctx.font = "7pt " + getComputedStyle(document.body).fontFamily; w = ctx.measureText(longest).width; }
    return Math.ceil(w * 1.08) + 8;      // a margin for the printer's font, the cell's padding
  }
  function printSpark(i) {
    var bw = 12 * R + 4, svg = svgEl("svg", { "class": "spark", viewBox: "0 0 " + bw + " 18", width: "100%", height: 12,
                                              preserveAspectRatio: "none", "aria-hidden": "true" });
    var max = 0, j, v;
    for (j = 0; j < R; j++) { v = S.r[i * R + j]; if (v > max) max = v; }
    for (j = 0; j < R; j++) {
      v = S.r[i * R + j];
      var h = max > 0 && v > 0 && isFinite(v) ? Math.max(1, Math.round(16 * v / max)) : 0;
      if (h) svgEl("rect", { x: 2 + 12 * j, width: 9, y: 17 - h, height: h, "class": j === R - 1 ? "last" : "" }, svg);
    }
    return svg;
  }
  function buildPrint() {
    var box = $("hx-print"), n = Math.min(View.matched, PRINT_MAX), k;
    box.textContent = "";
    var sum = viewSummary();
    var counts = ["Toplam: " + fmtInt(TOTAL_ROWS)];
    if (S.n < TOTAL_ROWS) counts.push("Yüklenen: " + fmtInt(S.n));
    counts.push("Eşleşen: " + fmtInt(View.matched), "Yazdırılan: " + fmtInt(n));
    box.appendChild(el("p", "print-sum", counts.join(" · ") + " · " + sum.filters + " · Sıralama: " + sum.sort));
    if (View.matched > n) {
      box.appendChild(el("p", "print-more", "Eşleşen " + fmtInt(View.matched) + " kaydın ilk " + fmtInt(n) +
        " tanesi yazdırıldı; tümü için CSV indirin."));
    }
    // the customer number gets the room it needs, the other columns share the rest of the
    // page in proportion to their widths on screen
    var t = el("table"), thead = el("thead"), tr = el("tr"), cg = t.appendChild(el("colgroup"));
    var idPct = COLS_BY_ID.muta && Grid.COLS.indexOf(COLS_BY_ID.muta) >= 0 ? Math.min(40, 100 * printIdWidth(n) / PAGE_PX) : 0;
    var totalW = 0;
    Grid.COLS.forEach(function (c) { if (c.id !== "muta") totalW += c.w; });
    Grid.COLS.forEach(function (c) {
      cg.appendChild(el("col")).style.width = (c.id === "muta" ? idPct : (100 - idPct) * c.w / totalW).toFixed(2) + "%";
    });
    Grid.COLS.forEach(function (c) { tr.appendChild(el("th", c.cls === "num" || c.period != null ? "num" : null, colHeading(c))); });
    thead.appendChild(tr); t.appendChild(thead);
    var tb = el("tbody");
    for (k = 0; k < n; k++) {
      var i = rowAt(k);
      tr = el("tr");
      Grid.COLS.forEach(function (c) {
        if (c.spark) { tr.appendChild(el("td")).appendChild(printSpark(i)); return; }
        if (c.period != null) {
          var s = S.score[i * P + c.period], td = el("td", "num sc b" + band(s));
          td.appendChild(el("span", "v", scoreShown(s)));
          tr.appendChild(td);
          return;
        }
        var txt = c.watch ? (isWatched(i) ? "★" : "") : c.marks ? MARKS.filter(function (m, b) { return S.marks[i] & (1 << b); }).map(function (m) { return m[0]; }).join(" ") : c.text(i);
        tr.appendChild(el("td", c.cls === "num" ? "num" : c.id === "muta" ? "id" : null, txt));
      });
      tb.appendChild(tr);
    }
    t.appendChild(tb);
    box.appendChild(t);
    HXS.printRows = n;
  }
  window.addEventListener("beforeprint", buildPrint);
  // print preview and emulated print media (no beforeprint there) get the same list
  if (window.matchMedia) {
    var printMedia = window.matchMedia("print");
    var onPrintMedia = function (e) { if (e.matches) buildPrint(); };
    if (printMedia.addEventListener) printMedia.addEventListener("change", onPrintMedia);
    else if (printMedia.addListener) printMedia.addListener(onPrintMedia);
  }
  window.addEventListener("afterprint", function () { $("hx-print").textContent = ""; document.body.classList.remove("print-detail"); });

  return {
    allLoaded: allLoaded, cellMaker: cellMaker, downloadBlob: downloadBlob, exportColumns: exportColumns,
    exportCsv: exportCsv, exportHeading: exportHeading, exportXlsx: exportXlsx,
    updateExportState: updateExportState, viewSummary: viewSummary
  };
})();
