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
    var st = new URLSearchParams(), layout = Grid.colLayout, lists = {};
    Object.keys(multi).forEach(function (k) { lists[k] = multi[k].labels(); });
    ViewUrl.write(st, View.F, lists, View.sorts, View.limit === Infinity);
    var cols = Grid.COLS.map(function (c) { return c.id; }).join(",");
    var pins = Grid.COLS.filter(function (c) { return layout.pinned[c.id]; }).map(function (c) { return c.id; }).join(",");
    if (cols !== defaultOrder(true).join(",") || pins !== "muta,unvan") { st.set("sutun", cols); st.set("sabit", pins); }
    var widths = Object.keys(layout.width).map(function (id) { return id + ":" + Math.round(layout.width[id]); }).join(",");
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
    var layout = Grid.colLayout;
    var st = new URLSearchParams(location.hash.replace(/^#/, ""));
    restoring = true;
    try {
      // columns
      if (st.has("sutun")) {
        var shown = st.get("sutun").split(",").filter(function (id) { return COLS_BY_ID[id]; });
        var pins = (st.get("sabit") || "").split(",");
        layout.hidden = {};
        layout.pinned = {};
        COL_DEFS.forEach(function (c) { if (shown.indexOf(c.id) < 0) layout.hidden[c.id] = true; });
        pins.forEach(function (id) { if (COLS_BY_ID[id]) layout.pinned[id] = true; });
        layout.order = shown.concat(layout.order.filter(function (id) { return shown.indexOf(id) < 0; }));
      } else if (!initial) {
        layout.order = defaultOrder(layout.newestFirst); layout.hidden = {}; layout.pinned = { muta: true, unvan: true };
      }
      layout.width = {};
      (st.get("gen") || "").split(",").forEach(function (p) {
        var kv = p.split(":"), w = Number(kv[1]);
        if (COLS_BY_ID[kv[0]] && w > 0) layout.width[kv[0]] = w;
      });
      // filters
      var u = ViewUrl.read(st, P, V316, function (id) { return !!COLS_BY_ID[id]; });
      var F = View.F = noFilters();
      $("hx-q").value = u.q;
      $("hx-q-exact").checked = !u.plain;
      F.plain = u.plain;
      F.qRaw = $("hx-q").value.trim();
      F.q = foldQuery(F.qRaw, F.plain);
      ["seg", "band", "bolge"].forEach(function (k) { if (multi[k]) multi[k].set(u.list(k)); });
      if (V316) { fillSubeOptions(); multi.sube.set(u.list("sube")); }
      F.riskMin = u.riskMin;
      F.riskMax = u.riskMax;
      F.mlMin = percentOf(u.mlPct);
      F.mlMax = percentOf(u.mlMaxPct);
      F.deltaDir = u.deltaDir;
      F.deltaMin = u.deltaMin;
      // the fields show the numbers the Turkish way
      setNumberField("hx-f-risk", F.riskMin);
      setNumberField("hx-f-risk-max", F.riskMax);
      setNumberField("hx-f-ml", u.mlPct);
      setNumberField("hx-f-ml-max", u.mlMaxPct);
      setNumberField("hx-f-delta-min", F.deltaMin);
      $("hx-f-delta").value = String(F.deltaDir);
      F.move = u.move;
      $("hx-f-move").value = String(F.move);
      View.limit = u.all ? Infinity : TOP_N;
      F.watch = u.watch;
      $("hx-f-watch").checked = F.watch;
      F.marks = u.marks;
      Array.prototype.forEach.call($("hx-f-marks").querySelectorAll("input"), function (b) { b.checked = !!(F.marks & Number(b.value)); });
      F.chart = u.chart;
      $("hx-chart-filter").hidden = !F.chart;
      $("hx-chart-filter-text").textContent = F.chart ? "Grafik: " + chartFilterText(F.chart) : "";
      View.sorts = u.sorts;
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
