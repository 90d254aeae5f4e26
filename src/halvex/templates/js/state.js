// ---------------------------------------------------------------- state in the URL fragment
// The view (search, filters, sorts, columns, the borrower whose detail is open) lives in the
// fragment, so a reload, back/forward and a copied link show the same view. Values are
// labels and column ids, never positions in the data, so a link stays meaningful.
var State = (function () {
  var $ = Page.$, HXS = Page.HXS, P = Page.P, TOP_N = Page.TOP_N, V316 = Page.V316;
  var COL_DEFS = Store.COL_DEFS, COLS_BY_ID = Store.COLS_BY_ID, defaultOrder = Store.defaultOrder,
      S = Store.S;
  var noFilters = View.noFilters, refresh = View.refresh, rowAt = View.rowAt;
  var foldQuery = Search.foldQuery;
  var applyColumns = Grid.applyColumns, schedule = Grid.schedule;
  var fillSubeOptions = Filters.fillSubeOptions, multi = Filters.multi, percentOf = Filters.percentOf,
      setNumberField = Filters.setNumberField;
  var allLoaded = Export.allLoaded;
  var closeDetail = Detail.closeDetail, showDetail = Detail.showDetail;
  var chartFilterText = Charts.chartFilterText;

  var restoring = false, lastPush = 0, pendingSel = null;
  var typing = false, lastWasTyping = false;   // search text typed in a row makes one history entry
  function viewState() {
    var st = new URLSearchParams();
    if (View.F.qRaw) st.set("q", View.F.qRaw);
    if (!View.F.plain) st.set("tam", "1");
    Object.keys(multi).forEach(function (k) { var on = multi[k].labels(); if (on.length) st.set(k, on.join("|")); });
    if (View.F.riskMin === View.F.riskMin) st.set("risk", String(View.F.riskMin));
    if (View.F.riskMax === View.F.riskMax) st.set("riskust", String(View.F.riskMax));
    if (View.F.mlMin === View.F.mlMin) st.set("ml", String(Math.round(View.F.mlMin * 1e6) / 1e4));
    if (View.F.mlMax === View.F.mlMax) st.set("mlust", String(Math.round(View.F.mlMax * 1e6) / 1e4));
    if (View.F.deltaDir) st.set("degisim", String(View.F.deltaDir));
    if (View.F.deltaMin === View.F.deltaMin) st.set("fark", String(View.F.deltaMin));
    if (View.F.move) st.set("hareket", String(View.F.move));
    if (View.F.marks) st.set("isaret", String(View.F.marks));
    if (View.F.watch) st.set("izleme", "1");
    if (View.limit === Infinity) st.set("tumu", "1");
    if (View.F.chart) st.set("grafik", [View.F.chart.k, View.F.chart.a, View.F.chart.b].join(":"));
    if (View.sorts.length) st.set("sira", View.sorts.map(function (s) { return (s.desc ? "-" : "") + s.id; }).join(","));
    var cols = Grid.COLS.map(function (c) { return c.id; }).join(",");
    var pins = Grid.COLS.filter(function (c) { return Grid.colLayout.pinned[c.id]; }).map(function (c) { return c.id; }).join(",");
    if (cols !== defaultOrder(true).join(",") || pins !== "muta,unvan") { st.set("sutun", cols); st.set("sabit", pins); }
    var widths = Object.keys(Grid.colLayout.width).map(function (id) { return id + ":" + Math.round(Grid.colLayout.width[id]); }).join(",");
    if (widths) st.set("gen", widths);
    if (HXS.detailMuta != null) st.set("firma", String(HXS.detailMuta));
    return st.toString();
  }
  function onViewChanged() {
    if (restoring) return;
    var frag = viewState(), now = Date.now();
    if (("#" + frag) === location.hash || (frag === "" && location.hash === "")) return;
    var url = location.pathname + location.search + (frag ? "#" + frag : "");
    try {
      if (typing && lastWasTyping && now - lastPush < 1500) history.replaceState(null, "", url);
      else history.pushState(null, "", url);
    } catch (err) { /* a page opened from a file may refuse history entries */ }
    lastPush = now;
    lastWasTyping = typing;
    typing = false;
    HXS.fragment = frag;
  }
  function restoreFromUrl(initial) {
    var st = new URLSearchParams(location.hash.replace(/^#/, ""));
    restoring = true;
    try {
      // columns
      if (st.has("sutun")) {
        var shown = st.get("sutun").split(",").filter(function (id) { return COLS_BY_ID[id]; });
        var pins = (st.get("sabit") || "").split(",");
        Grid.colLayout.hidden = {};
        Grid.colLayout.pinned = {};
        COL_DEFS.forEach(function (c) { if (shown.indexOf(c.id) < 0) Grid.colLayout.hidden[c.id] = true; });
        pins.forEach(function (id) { if (COLS_BY_ID[id]) Grid.colLayout.pinned[id] = true; });
        Grid.colLayout.order = shown.concat(Grid.colLayout.order.filter(function (id) { return shown.indexOf(id) < 0; }));
      } else if (!initial) {
        Grid.colLayout.order = defaultOrder(Grid.colLayout.newestFirst); Grid.colLayout.hidden = {}; Grid.colLayout.pinned = { muta: true, unvan: true };
      }
      Grid.colLayout.width = {};
      (st.get("gen") || "").split(",").forEach(function (p) {
        var kv = p.split(":"), w = Number(kv[1]);
        if (COLS_BY_ID[kv[0]] && w > 0) Grid.colLayout.width[kv[0]] = w;
      });
      // filters
      View.F = noFilters();
      $("hx-q").value = st.get("q") || "";
      $("hx-q-exact").checked = st.get("tam") === "1";
      View.F.plain = !$("hx-q-exact").checked;
      View.F.qRaw = $("hx-q").value.trim();
      View.F.q = foldQuery(View.F.qRaw, View.F.plain);
      ["seg", "band", "bolge"].forEach(function (k) { if (multi[k]) multi[k].set(st.has(k) ? st.get(k).split("|") : []); });
      if (V316) { fillSubeOptions(); multi.sube.set(st.has("sube") ? st.get("sube").split("|") : []); }
      // numbers in the fragment are written as the script writes them ("1000.5"); the fields
      // show them the Turkish way
      var urlNumber = function (key) { var x = st.has(key) && st.get(key).trim() !== "" ? Number(st.get(key)) : NaN; return isFinite(x) ? x : NaN; };
      View.F.riskMin = urlNumber("risk");
      View.F.riskMax = urlNumber("riskust");
      View.F.mlMin = percentOf(urlNumber("ml"));
      View.F.mlMax = percentOf(urlNumber("mlust"));
      View.F.deltaDir = Number(st.get("degisim")) === 1 ? 1 : Number(st.get("degisim")) === -1 ? -1 : 0;
      View.F.deltaMin = Math.abs(urlNumber("fark"));
      setNumberField("hx-f-risk", View.F.riskMin);
      setNumberField("hx-f-risk-max", View.F.riskMax);
      setNumberField("hx-f-ml", urlNumber("ml"));
      setNumberField("hx-f-ml-max", urlNumber("mlust"));
      setNumberField("hx-f-delta-min", View.F.deltaMin);
      $("hx-f-delta").value = String(View.F.deltaDir);
      View.F.move = Number(st.get("hareket")) === 1 ? 1 : Number(st.get("hareket")) === -1 ? -1 : 0;
      $("hx-f-move").value = String(View.F.move);
      View.limit = st.get("tumu") === "1" ? Infinity : TOP_N;
      View.F.watch = st.get("izleme") === "1";
      $("hx-f-watch").checked = View.F.watch;
      View.F.marks = V316 ? (Number(st.get("isaret")) & 63) : 0;
      Array.prototype.forEach.call($("hx-f-marks").querySelectorAll("input"), function (b) { b.checked = !!(View.F.marks & Number(b.value)); });
      var ch = (st.get("grafik") || "").split(":").map(Number);
      View.F.chart = ch.length === 3 && ch[0] >= 0 && ch[0] < P && ch[1] >= -1 && ch[1] < 5 && (ch[1] < 0 || ch[0] >= 1) && ch[2] >= 0 && ch[2] < 5
        ? { k: ch[0], a: ch[1], b: ch[2] } : null;
      $("hx-chart-filter").hidden = !View.F.chart;
      $("hx-chart-filter-text").textContent = View.F.chart ? "Grafik: " + chartFilterText(View.F.chart) : "";
      // sorts
      View.sorts = [];
      (st.get("sira") || "").split(",").forEach(function (t) {
        var desc = t.charAt(0) === "-", id = desc ? t.slice(1) : t;
        if (COLS_BY_ID[id] && !View.sorts.some(function (s) { return s.id === id; })) View.sorts.push({ id: id, desc: desc });
      });
      applyColumns();
      refresh();
      // the borrower whose detail was open, once its row is there
      pendingSel = st.has("firma") ? st.get("firma") : null;
      if (pendingSel == null) closeDetail(); else openPendingSel();
    } finally {
      restoring = false;
    }
    HXS.fragment = location.hash.replace(/^#/, "");
  }
  function openPendingSel() {
    if (pendingSel == null || !allLoaded()) return;
    var want = pendingSel;
    pendingSel = null;
    for (var i = 0; i < S.n; i++) {
      if (String(S.muta[i]) === want) {
        var pos = -1;
        for (var k = 0; k < View.matched; k++) if (rowAt(k) === i) { pos = k; break; }
        if (pos >= 0) Grid.cursor = pos;
        View.selected = i;
        showDetail(i);
        schedule();
        return;
      }
    }
  }
  window.addEventListener("popstate", function () { restoreFromUrl(false); });
  window.addEventListener("hashchange", function () { if (("#" + viewState()) !== location.hash) restoreFromUrl(false); });

  return {
    onViewChanged: onViewChanged, openPendingSel: openPendingSel, restoreFromUrl: restoreFromUrl,
    get typing() { return typing; }, set typing(x) { typing = x; }, viewState: viewState
  };
})();
