// ---------------------------------------------------------------- charts
var Charts = (function () {
  var $ = Page.$, band = Page.band, BAND_COLORS = Page.BAND_COLORS, bandSnapshot = Page.bandSnapshot,
      donemler = Page.donemler, el = Page.el, flowMatrix = Page.flowMatrix, fmtInt = Page.fmtInt,
      HXS = Page.HXS, isObj = Page.isObj, obj = Page.obj, P = Page.P, svgEl = Page.svgEl;
  var S = Store.S;
  var filtersActive = View.filtersActive, rowAt = View.rowAt, viewSetKey = View.viewSetKey;
  var fillSelect = Filters.fillSelect, onFilterChange = Filters.onFilterChange;
  var allLoaded = Export.allLoaded;

  var BAND_KEYS = ["EUS", "YIS", "YUKSEK", "YI", "YOK"];
  var BAND_LABEL = { EUS: "EUS", YIS: "YIS", YUKSEK: "Yüksek", YI: "YI", YOK: "Skor yok" };
  function bandColor(name) { var k = BAND_KEYS.indexOf(name); return k >= 0 ? BAND_COLORS[k] : "#7d93a8"; }
  function bandRank(name) { var k = BAND_KEYS.indexOf(name); return k < 0 ? 99 : k; }
  function bandOrder(names) {
    return names.sort(function (a, b) {
      var x = BAND_KEYS.indexOf(a), y = BAND_KEYS.indexOf(b);
      return (x < 0 ? 99 : x) - (y < 0 ? 99 : y) || (a < b ? -1 : a > b ? 1 : 0);
    });
  }
  function legend(box, names) {
    box.textContent = "";
    names.forEach(function (nm) {
      var s = el("span"), i = el("i");
      i.style.background = bandColor(nm);
      s.appendChild(i);
      s.appendChild(document.createTextNode(BAND_LABEL[nm] || nm));
      box.appendChild(s);
    });
  }
  // Flow and snapshot of the rows in view (every loaded row when nothing is filtered), with
  // the rows without a score as a band of their own.
  function derivedFlow() {
    // one pass over the rows, each score's band worked out once
    var flow = [], snap = {}, n = View.matched, k, j, i, b, prev, x;
    var cnt = new Uint32Array(P * 5), moves = new Uint32Array(P * 25), score = S.score;
    if (P) for (j = 0; j < n; j++) {
      i = rowAt(j) * P;
      prev = band(score[i]);
      cnt[prev]++;
      for (k = 1; k < P; k++) {
        b = band(score[i + k]);
        cnt[k * 5 + b]++;
        moves[k * 25 + prev * 5 + b]++;
        prev = b;
      }
    }
    for (k = 0; k < P; k++) {
      snap[donemler[k]] = { EUS: cnt[k * 5], YIS: cnt[k * 5 + 1], YUKSEK: cnt[k * 5 + 2], YI: cnt[k * 5 + 3], YOK: cnt[k * 5 + 4] };
    }
    for (k = 1; k < P; k++) {
      for (x = 0; x < 25; x++) if (moves[k * 25 + x]) flow.push({ from_donem: donemler[k - 1], to_donem: donemler[k],
        from_band: BAND_KEYS[(x / 5) | 0], to_band: BAND_KEYS[x % 5], count: moves[k * 25 + x] });
    }
    return { flow: flow, snapshot: snap };
  }

  function snapshotChart(box, snap) {
    var focused = focusedPick(box);
    box.textContent = "";
    var periods = Object.keys(snap), names = [];
    periods.forEach(function (p) { Object.keys(obj(snap[p])).forEach(function (b) { if (names.indexOf(b) < 0) names.push(b); }); });
    bandOrder(names);
    if (!periods.length) { box.appendChild(el("p", "empty-note", "Bant dağılımı verisi yok.")); return; }
    var data = ChartLayout.stacks(snap, periods, names);
    var W = Math.max(420, 46 * periods.length + 60), H = 240, M = { l: 56, r: 8, t: 10, b: 42 };
    var scale = ChartLayout.niceScale(Math.max.apply(null, data.map(function (d) { return d.total; })));
    var bw = (W - M.l - M.r) / periods.length;
    var svg = svgEl("svg", { width: W, height: H, role: "img", "aria-label": "Dönemlere göre bant dağılımı" }, box);
    var sy = function (v) { return H - M.b - (H - M.b - M.t) * v / scale.top; };
    scale.ticks.forEach(function (tv) {
      svgEl("line", { x1: M.l - 4, x2: W - M.r, y1: sy(tv), y2: sy(tv), "class": "gridline" }, svg);
      svgEl("text", { x: M.l - 8, y: sy(tv) + 4, "text-anchor": "end" }, svg).textContent = fmtInt(tv);
    });
    data.forEach(function (d, k) {
      var x = M.l + k * bw;
      d.parts.forEach(function (pt) {
        var r = svgEl("rect", { x: x + 3, width: Math.max(bw - 6, 2), y: sy(pt.y1), height: Math.max(sy(pt.y0) - sy(pt.y1), 0), fill: bandColor(pt.band) }, svg);
        svgEl("title", {}, r).textContent = d.p + " · " + (BAND_LABEL[pt.band] || pt.band) + ": " + fmtInt(pt.v) + clickHint();
        linkToFilter(r, donemler.indexOf(d.p), -1, BAND_KEYS.indexOf(pt.band));
      });
      var lx = x + bw / 2, ly = H - M.b + 14;
      svgEl("text", { x: lx, y: ly, "text-anchor": "end", transform: "rotate(-35," + lx + "," + ly + ")" }, svg).textContent = d.p;
    });
    keyboardPicks(box, focused);
    legend($("hx-snapshot-legend"), names);
  }

  // Sankey of band transitions: one column per period, one node per band (ChartLayout places them).
  function sankeyChart(box, flow, periods, W, H) {
    var g = ChartLayout.sankey(ChartLayout.sankeyGraph(flow, periods), periods.length, W, H, bandRank);
    var svg = svgEl("svg", { width: W, height: H, role: "img", "aria-label": "Dönemler arası bant geçişleri" }, box);
    periods.forEach(function (p, ci) {
      svgEl("text", { x: g.labelX(ci), y: 12, "text-anchor": ci === 0 ? "start" : ci === periods.length - 1 ? "end" : "middle" }, svg).textContent = p;
    });
    var linksG = svgEl("g", { fill: "none", "stroke-opacity": "0.35" }, svg);
    g.links.forEach(function (l) {
      var s = l.source, t = l.target, xm = (l.x0 + l.x1) / 2;
      var path = svgEl("path", { d: "M" + l.x0 + "," + l.y0 + "C" + xm + "," + l.y0 + " " + xm + "," + l.y1 + " " + l.x1 + "," + l.y1,
        stroke: bandColor(s.band), "stroke-width": Math.max(l.w, 0.5) }, linksG);
      svgEl("title", {}, path).textContent = s.period + " " + (BAND_LABEL[s.band] || s.band) + " → " + t.period + " " +
        (BAND_LABEL[t.band] || t.band) + ": " + fmtInt(l.value) + " firma" + clickHint();
      linkToFilter(path, donemler.indexOf(t.period), BAND_KEYS.indexOf(s.band), BAND_KEYS.indexOf(t.band));
    });
    g.nodes.forEach(function (n) {
      var r = svgEl("rect", { x: n.x, y: n.y, width: g.nodeWidth, height: Math.max(n.h, 1), fill: bandColor(n.band) }, svg);
      svgEl("title", {}, r).textContent = n.period + " " + (BAND_LABEL[n.band] || n.band) + ": " + fmtInt(n.v) + " firma" + clickHint();
      linkToFilter(r, donemler.indexOf(n.period), -1, BAND_KEYS.indexOf(n.band));
      // the count beside each node that has room for it
      if (n.h >= 11) {
        var last = n.col === periods.length - 1;
        svgEl("text", { x: last ? n.x - 3 : n.x + g.nodeWidth + 3, y: n.y + n.h / 2 + 4, "text-anchor": last ? "end" : "start", "class": "cnt" }, svg)
          .textContent = fmtInt(n.v);
      }
    });
    return g;
  }
  var chartData = { flow: [], snapshot: {}, derived: false };
  function drawSankey() {
    var box = $("hx-sankey"), focused = focusedPick(box);
    box.textContent = "";
    var flow = chartData.flow, periods = [];
    flow.forEach(function (f) {
      if (!isObj(f)) return;
      [String(f.from_donem), String(f.to_donem)].forEach(function (p) { if (periods.indexOf(p) < 0) periods.push(p); });
    });
    periods.sort(function (a, b) {
      var x = donemler.indexOf(a), y = donemler.indexOf(b);
      return x >= 0 && y >= 0 ? x - y : a < b ? -1 : a > b ? 1 : 0;
    });
    var span = Number($("hx-sankey-span").value) || 4;
    periods = periods.slice(Math.max(periods.length - span, 0));
    if (periods.length < 2) { box.appendChild(el("p", "empty-note", "Bant geçişi verisi yok.")); $("hx-sankey-legend").textContent = ""; return; }
    // as wide as its panel, so it never needs a scroll bar
    var graph = sankeyChart(box, flow, periods, Math.max(box.clientWidth - 4, 240), 300);
    keyboardPicks(box, focused);
    var names = bandOrder(graph.nodes.map(function (n) { return n.band; }).filter(function (b, k, a) { return a.indexOf(b) === k; }));
    legend($("hx-sankey-legend"), names);
  }
  function drawCharts() {
    try {
      drawSankey();
      snapshotChart($("hx-snapshot"), chartData.snapshot);
      var note = !chartData.derived ? "" : filtersActive() ? "(filtrelenmiş " + fmtInt(View.matched) + " firma)" : "(tüm firmalar)";
      $("hx-sankey-note").textContent = note;
      $("hx-snapshot-note").textContent = note;
    } catch (err) {
      HXS.errors.push("chart: " + ((err && err.message) || err));
    }
  }
  function initCharts() {
    var spanSel = $("hx-sankey-span");
    fillSelect(spanSel, [[4, "Son 4 dönem"], [7, "Son 7 dönem"], [1000, "Tüm dönemler"]]);
    spanSel.addEventListener("change", drawSankey);
    chartData.flow = flowMatrix;
    chartData.snapshot = bandSnapshot;
    drawCharts();
  }
  // Once every row is there the charts are drawn from the rows in view, so they follow the
  // filters; a click on a band bar or a transition filters the grid to those rows.
  function chartsAfterLoad() {
    chartsKey = viewSetKey();
    HXS.chartsComputed = (HXS.chartsComputed || 0) + 1;
    var d = derivedFlow();
    chartData.flow = d.flow;
    chartData.snapshot = d.snapshot;
    chartData.derived = true;
    drawCharts();
    Summary.summaryAfterLoad();
    HXS.chartRows = View.matched;
  }
  // Charts out of sight are brought up to date when they come into view, so filtering and
  // scrolling the grid never wait for them.
  // They show the set of rows in view, not its order: a new sort leaves them as they are.
  var chartTimer = 0, chartsStale = false, chartsInView = true, chartsKey = "";
  function chartsFollowView() {
    if (!allLoaded() || !chartData.derived) return;
    if (viewSetKey() === chartsKey) { clearTimeout(chartTimer); chartsStale = false; return; }
    if (!chartsInView) { chartsStale = true; return; }
    clearTimeout(chartTimer);
    chartTimer = setTimeout(chartsAfterLoad, 120);
  }
  if (typeof IntersectionObserver === "function") {
    new IntersectionObserver(function (entries) {
      chartsInView = entries.some(function (e) { return e.isIntersecting; });
      if (chartsInView && chartsStale) { chartsStale = false; chartsFollowView(); }
    }).observe($("hx-panels"));
  }
  function clickHint() { return chartData.derived ? "\n(tıklayın: bu firmaları listele)" : ""; }
  function linkToFilter(node, k, from, to) {
    if (!chartData.derived || k < 0 || to < 0) return;
    node.setAttribute("class", ((node.getAttribute("class") || "") + " pick").trim());
    node.setAttribute("role", "button");
    node.setAttribute("tabindex", "-1");
    node.addEventListener("click", function () { setChartFilter({ k: k, a: from, b: to }); });
  }
  // The parts of a chart that filter are one tab stop: the arrows walk them, Enter or Space
  // filters. Each is named by its tooltip (without the click hint). A chart drawn again while
  // one of its parts had the focus gives it to the part in the same place.
  function focusedPick(box) {
    return Array.prototype.indexOf.call(box.querySelectorAll(".pick"), document.activeElement);
  }
  function keyboardPicks(box, focused) {
    var svg = box.querySelector("svg"), picks = box.querySelectorAll(".pick");
    if (!svg || !picks.length) return;
    var at = Math.min(Math.max(focused, 0), picks.length - 1);
    svg.setAttribute("role", "group");             // an image's parts could not be buttons
    Array.prototype.forEach.call(picks, function (p, k) {
      var t = p.querySelector("title");
      p.setAttribute("aria-label", t ? t.textContent.split("\n")[0] : "");
      p.setAttribute("tabindex", k === at ? "0" : "-1");
    });
    if (focused >= 0) picks[at].focus();
    svg.addEventListener("keydown", function (ev) {
      var at = Array.prototype.indexOf.call(picks, ev.target);
      if (at < 0) return;
      if (ev.key === "Enter" || ev.key === " ") { ev.preventDefault(); ev.target.dispatchEvent(new MouseEvent("click")); return; }
      var to = { ArrowRight: at + 1, ArrowDown: at + 1, ArrowLeft: at - 1, ArrowUp: at - 1, Home: 0, End: picks.length - 1 }[ev.key];
      if (to === undefined) return;
      ev.preventDefault();
      to = Math.max(0, Math.min(picks.length - 1, to));
      picks[at].setAttribute("tabindex", "-1");
      picks[to].setAttribute("tabindex", "0");
      picks[to].focus();
    });
  }
  function chartFilterText(c) {
    return c.a < 0 ? donemler[c.k] + " bandı " + BAND_LABEL[BAND_KEYS[c.b]]
                   : donemler[c.k - 1] + " " + BAND_LABEL[BAND_KEYS[c.a]] + " → " + donemler[c.k] + " " + BAND_LABEL[BAND_KEYS[c.b]];
  }
  function setChartFilter(c) {
    View.F.chart = c;
    var chip = $("hx-chart-filter");
    chip.hidden = !c;
    $("hx-chart-filter-text").textContent = c ? "Grafik: " + chartFilterText(c) : "";
    onFilterChange("chart");
  }

  return {
    chartFilterText: chartFilterText, chartsAfterLoad: chartsAfterLoad, chartsFollowView: chartsFollowView,
    initCharts: initCharts, setChartFilter: setChartFilter
  };
})();
