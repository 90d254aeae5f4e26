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
    var F = View.F, layout = Grid.colLayout;
    var st = new URLSearchParams();
    if (F.qRaw) st.set("q", F.qRaw);
    if (!F.plain) st.set("tam", "1");
    Object.keys(multi).forEach(function (k) { var on = multi[k].labels(); if (on.length) st.set(k, on.join("|")); });
    if (F.riskMin === F.riskMin) st.set("risk", String(F.riskMin));
    if (F.riskMax === F.riskMax) st.set("riskust", String(F.riskMax));
    if (F.mlMin === F.mlMin) st.set("ml", String(Math.round(F.mlMin * 1e6) / 1e4));
    if (F.mlMax === F.mlMax) st.set("mlust", String(Math.round(F.mlMax * 1e6) / 1e4));
    if (F.deltaDir) st.set("degisim", String(F.deltaDir));
    if (F.deltaMin === F.deltaMin) st.set("fark", String(F.deltaMin));
    if (F.move) st.set("hareket", String(F.move));
    if (F.marks) st.set("isaret", String(F.marks));
    if (F.watch) st.set("izleme", "1");
    if (View.limit === Infinity) st.set("tumu", "1");
    if (F.chart) st.set("grafik", [F.chart.k, F.chart.a, F.chart.b].join(":"));
    if (View.sorts.length) st.set("sira", View.sorts.map(function (s) { return (s.desc ? "-" : "") + s.id; }).join(","));
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
      var F = View.F = noFilters();
      $("hx-q").value = st.get("q") || "";
      $("hx-q-exact").checked = st.get("tam") === "1";
      F.plain = !$("hx-q-exact").checked;
      F.qRaw = $("hx-q").value.trim();
      F.q = foldQuery(F.qRaw, F.plain);
      ["seg", "band", "bolge"].forEach(function (k) { if (multi[k]) multi[k].set(st.has(k) ? st.get(k).split("|") : []); });
      if (V316) { fillSubeOptions(); multi.sube.set(st.has("sube") ? st.get("sube").split("|") : []); }
      // numbers in the fragment are written as the script writes them ("1000.5"); the fields
      // show them the Turkish way
      var urlNumber = function (key) { var x = st.has(key) && st.get(key).trim() !== "" ? Number(st.get(key)) : NaN; return isFinite(x) ? x : NaN; };
      F.riskMin = urlNumber("risk");
      F.riskMax = urlNumber("riskust");
      F.mlMin = percentOf(urlNumber("ml"));
      F.mlMax = percentOf(urlNumber("mlust"));
      F.deltaDir = Number(st.get("degisim")) === 1 ? 1 : Number(st.get("degisim")) === -1 ? -1 : 0;
      F.deltaMin = Math.abs(urlNumber("fark"));
      setNumberField("hx-f-risk", F.riskMin);
      setNumberField("hx-f-risk-max", F.riskMax);
      setNumberField("hx-f-ml", urlNumber("ml"));
      setNumberField("hx-f-ml-max", urlNumber("mlust"));
      setNumberField("hx-f-delta-min", F.deltaMin);
      $("hx-f-delta").value = String(F.deltaDir);
      F.move = Number(st.get("hareket")) === 1 ? 1 : Number(st.get("hareket")) === -1 ? -1 : 0;
      $("hx-f-move").value = String(F.move);
      View.limit = st.get("tumu") === "1" ? Infinity : TOP_N;
      F.watch = st.get("izleme") === "1";
      $("hx-f-watch").checked = F.watch;
      F.marks = V316 ? (Number(st.get("isaret")) & 63) : 0;
      Array.prototype.forEach.call($("hx-f-marks").querySelectorAll("input"), function (b) { b.checked = !!(F.marks & Number(b.value)); });
      var ch = (st.get("grafik") || "").split(":").map(Number);
      F.chart = ch.length === 3 && ch[0] >= 0 && ch[0] < P && ch[1] >= -1 && ch[1] < 5 && (ch[1] < 0 || ch[0] >= 1) && ch[2] >= 0 && ch[2] < 5
        ? { k: ch[0], a: ch[1], b: ch[2] } : null;
      $("hx-chart-filter").hidden = !F.chart;
      $("hx-chart-filter-text").textContent = F.chart ? "Grafik: " + chartFilterText(F.chart) : "";
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
