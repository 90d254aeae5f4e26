// ---------------------------------------------------------------- view state
// The filters and sort keys, and the rows they leave in their order.
var View = (function () {
  var band = Page.band, HXS = Page.HXS, P = Page.P, TOP_N = Page.TOP_N;
  var COLS_BY_ID = Store.COLS_BY_ID, isWatched = Store.isWatched, S = Store.S, scoreDelta = Store.scoreDelta;
  var sortRows = Sort.sortRows;

  // Filters. A list filter is null (all) or a Uint8Array of allowed codes, indexed by code + 1
  // so that "undefined" (-1) has a place; ranges are NaN when off.
  function noFilters() {
    return { q: "", qRaw: "", plain: true, seg: null, band: null, bolge: null, sube: null, marks: 0,
             riskMin: NaN, riskMax: NaN, mlMin: NaN, mlMax: NaN, deltaDir: 0, deltaMin: NaN, move: 0, chart: null, watch: false };
  }
  var F = noFilters();
  var sorts = [];                        // [{ id, desc }], the first is the main key
  var sortPerm = null, sortPermN = 0, sortPermKey = "";   // order of all loaded rows by the sort keys
  var view = null;                       // row indices passing the filters, in order (null: all, natural order)
  var matched = 0;
  var limit = TOP_N;
  var selected = -1;
  var lastQueryMs = 0;

  function filtersActive() {
    return F.q !== "" || F.seg || F.bolge || F.sube || F.band || F.marks !== 0 ||
           F.riskMin === F.riskMin || F.riskMax === F.riskMax || F.mlMin === F.mlMin || F.mlMax === F.mlMax ||
           deltaFilterOn() || F.move !== 0 || F.chart !== null || F.watch;
  }
  // Which rows the view holds (not their order): the loaded rows and every filter.
  function viewSetKey() {
    function codes(a) { return a ? Array.prototype.join.call(a, "") : "*"; }
    return [S.n, F.q, F.plain, codes(F.seg), codes(F.band), codes(F.bolge), codes(F.sube), F.marks, F.riskMin, F.riskMax,
            F.mlMin, F.mlMax, F.deltaDir, F.deltaMin,
            F.move, F.chart ? [F.chart.k, F.chart.a, F.chart.b].join(":") : "", F.watch ? Array.from(Store.watched).join(",") : ""].join("|");
  }
  // The change of the score since the previous period: up, down, or either way, by at least
  // deltaMin points when given. A row without a change (a missing or "YI" score) never passes.
  function deltaFilterOn() { return P >= 2 && (F.deltaDir !== 0 || F.deltaMin === F.deltaMin); }
  function deltaPasses(d, dir, min) {
    if (d !== d) return false;
    if (dir > 0 ? !(d > 0) : dir < 0 ? !(d < 0) : false) return false;
    return min === min ? Math.abs(d) >= min : true;
  }
  function sortKeyText() { return sorts.map(function (s) { return s.id + (s.desc ? "-" : "+"); }).join(","); }
  // band movement of the latest period: 1 up, -1 down, 0 same or not comparable
  function bandMove(i) {
    if (P < 2) return 0;
    var a = band(S.score[i * P + P - 2]), b = S.lastBand[i];
    return a > 3 || b > 3 || a === b ? 0 : b > a ? 1 : -1;
  }
  function refresh() {
    var t0 = performance.now();
    var n = S.n, k;
    var key = sortKeyText();
    if (!sorts.length) sortPerm = null;
    else if (!sortPerm || sortPermN !== n || sortPermKey !== key) {
      var order = null;
      for (k = sorts.length - 1; k >= 0; k--) order = sortRows(COLS_BY_ID[sorts[k].id], sorts[k].desc, order);
      sortPerm = order; sortPermN = n; sortPermKey = key;
    }
    if (!filtersActive()) {
      view = sortPerm;
      matched = n;
    } else {
      view = filterRows(sortPerm, n);
      matched = view.length;
    }
    Selection.forgetPick();                        // positions of the old view
    lastQueryMs = performance.now() - t0;
    HXS.lastQueryMs = lastQueryMs;
    HXS.query = TextSearch.fold(F.qRaw);   // the query as typed, in lower case
    Grid.schedule();
    State.onViewChanged();
    Charts.chartsFollowView();
    Announce.announceView();
    ColFilter.markHeadFilters();
  }
  // The rows of base (all loaded rows when null), in its order, that pass every filter.
  function filterRows(base, n) {
    var out = new Int32Array(n), m = 0, k;
    var seg = F.seg, bol = F.bolge, sub = F.sube, bnd = F.band, mk = F.marks;
    var rMin = F.riskMin, rMax = F.riskMax, mlMin = F.mlMin, mlMax = F.mlMax, move = F.move, ch = F.chart;
    var dOn = deltaFilterOn(), dDir = F.deltaDir, dMin = F.deltaMin;
    var hits = F.q ? Search.searchHits(F.q, F.plain) : null;
    for (k = 0; k < n; k++) {
      var i = base ? base[k] : k;
      if (seg && !seg[S.seg[i] + 1]) continue;
      if (bnd && !bnd[S.lastBand[i] + 1]) continue;
      if (bol && !bol[S.bolge[i] + 1]) continue;
      if (sub && !sub[S.sube[i] + 1]) continue;
      if (mk && (S.marks[i] & mk) !== mk) continue;
      if (rMin === rMin && !(S.risk[i] >= rMin)) continue;
      if (rMax === rMax && !(S.risk[i] <= rMax)) continue;
      if (mlMin === mlMin && !(S.ml[i] >= mlMin)) continue;
      if (mlMax === mlMax && !(S.ml[i] <= mlMax)) continue;
      if (dOn && !deltaPasses(scoreDelta(i), dDir, dMin)) continue;
      if (move && bandMove(i) !== move) continue;
      if (ch && (band(S.score[i * P + ch.k]) !== ch.b || (ch.a >= 0 && band(S.score[i * P + ch.k - 1]) !== ch.a))) continue;
      if (hits && !hits[i]) continue;
      if (F.watch && !isWatched(i)) continue;
      out[m++] = i;
    }
    return out.subarray(0, m);
  }
  // During loading a sorted or filtered view is brought up to date at most every 300 ms.
  var refreshTimer = 0;
  function refreshSoon() {
    // rows in their own order: those drawn stay as they are, new ones are drawn as they come
    // into view, and the counts follow with the progress bar. Once the grid holds as many
    // rows as it shows, a chunk changes nothing it draws: no frame then (each one cost the
    // page's thread, busy reading the HTML, a style and layout pass)
    if (!sorts.length && !filtersActive()) {
      allRows();
      if (shownCount() !== Grid.drawnCount) Grid.scheduleScroll();
      return;
    }
    if (!refreshTimer) refreshTimer = setTimeout(function () { refreshTimer = 0; refresh(); }, 300);
  }
  // every loaded row, in the order it came
  function allRows() { view = null; matched = S.n; }
  // the rows' sort keys changed (a star set): the order is made again
  function sortAgain() { sortPerm = null; refresh(); }
  function shownCount() { return Math.min(matched, limit); }
  // The total risk of the rows the filters leave (all of them, not only those shown); a
  // missing amount adds nothing. Summed once per view.
  var riskTotalOf = { view: undefined, n: -1, sum: 0 };
  function selectionRisk() {
    if (riskTotalOf.view === view && riskTotalOf.n === matched) return riskTotalOf.sum;
    var sum = 0, risk = S.risk;
    for (var k = 0; k < matched; k++) { var v = risk[view ? view[k] : k]; if (v === v && v !== Infinity && v !== -Infinity) sum += v; }
    riskTotalOf = { view: view, n: matched, sum: sum };
    HXS.selectionRisk = sum;
    return sum;
  }
  function rowAt(k) { return view ? view[k] : k; }

  return {
    allRows: allRows, deltaFilterOn: deltaFilterOn, get F() { return F; }, set F(x) { F = x; }, filterRows: filterRows,
    filtersActive: filtersActive, get lastQueryMs() { return lastQueryMs; },
    get limit() { return limit; }, set limit(x) { limit = x; }, get matched() { return matched; }, noFilters: noFilters,
    refresh: refresh, refreshSoon: refreshSoon, rowAt: rowAt,
    get selected() { return selected; }, set selected(x) { selected = x; }, selectionRisk: selectionRisk,
    shownCount: shownCount, sortAgain: sortAgain, sortKeyText: sortKeyText,
    get sorts() { return sorts; }, set sorts(x) { sorts = x; }, get view() { return view; }, viewSetKey: viewSetKey
  };
})();
