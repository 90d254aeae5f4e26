// ---------------------------------------------------------------- chart geometry
// Where the parts of the page's two charts go, free of the page itself (charts.js draws
// them as SVG): the band transitions between periods as a Sankey diagram, and the bands of
// each period as stacked bars on a scale of round steps.
var ChartLayout = (function () {
  function isObj(v) { return v !== null && typeof v === "object" && !Array.isArray(v); }

  // Transitions between neighbouring periods of `periods` (in that order) as nodes (one per
  // period and band) and links; other entries of the flow are left out. rank(band) orders the
  // bands within a period.
  function sankeyGraph(flow, periods) {
    var nodes = [], index = {}, links = [];
    function node(p, b) {
      var key = p + "\u0000" + b;
      if (!(key in index)) { index[key] = nodes.length; nodes.push({ period: p, band: b, col: periods.indexOf(p) }); }
      return index[key];
    }
    (Array.isArray(flow) ? flow : []).forEach(function (f) {
      if (!isObj(f)) return;
      var a = String(f.from_donem), b = String(f.to_donem), v = Number(f.count) || 0;
      if (!(v > 0) || !isFinite(v) || periods.indexOf(a) < 0 || periods.indexOf(b) !== periods.indexOf(a) + 1) return;
      links.push({ source: node(a, String(f.from_band)), target: node(b, String(f.to_band)), value: v });
    });
    return { nodes: nodes, links: links };
  }

  // Positions in a W x H box: nodes {x, y, h, v} stacked per period column in band order,
  // each as tall as the larger of what enters and what leaves it; links {x0, y0, x1, y1, w}
  // leave and enter their nodes side by side, in the order of the nodes they join.
  var NODE_W = 14, PAD = 10, M = { l: 4, r: 4, t: 18, b: 4 };
  function sankey(graph, nPeriods, W, H, rank) {
    var cols = [];
    for (var c = 0; c < nPeriods; c++) cols.push([]);
    graph.nodes.forEach(function (n, k) { n.k = k; n.inV = 0; n.outV = 0; cols[n.col].push(n); });
    graph.links.forEach(function (l) { graph.nodes[l.source].outV += l.value; graph.nodes[l.target].inV += l.value; });
    var maxTotal = 1, maxNodes = 1;
    cols.forEach(function (col) {
      col.sort(function (a, b) { return rank(a.band) - rank(b.band) || (a.band < b.band ? -1 : a.band > b.band ? 1 : 0); });
      var t = 0;
      col.forEach(function (n) { n.v = Math.max(n.inV, n.outV); t += n.v; });
      maxTotal = Math.max(maxTotal, t);
      maxNodes = Math.max(maxNodes, col.length);
    });
    // a crowded column gives up some of the room between its nodes
    var room = Math.max(H - M.t - M.b, 1), pad = Math.min(PAD, room / 2 / Math.max(maxNodes - 1, 1));
    var scale = (room - pad * (maxNodes - 1)) / maxTotal;
    var dx = nPeriods > 1 ? (W - M.l - M.r - NODE_W) / (nPeriods - 1) : 0;
    cols.forEach(function (col, ci) {
      var y = M.t;
      col.forEach(function (n) {
        n.x = M.l + ci * dx; n.y = y; n.h = n.v * scale;
        n.outY = n.inY = y;
        y += n.h + pad;
      });
    });
    var links = graph.links.slice().sort(function (a, b) {
      return graph.nodes[a.source].y - graph.nodes[b.source].y || graph.nodes[a.target].y - graph.nodes[b.target].y;
    }).map(function (l) {
      var s = graph.nodes[l.source], t = graph.nodes[l.target], w = l.value * scale;
      var out = { source: s, target: t, value: l.value, w: w, x0: s.x + NODE_W, x1: t.x, y0: s.outY + w / 2, y1: t.inY + w / 2 };
      s.outY += w; t.inY += w;
      return out;
    });
    return { nodes: graph.nodes, links: links, columns: cols, nodeWidth: NODE_W, margin: M,
             labelX: function (ci) { return M.l + ci * dx + (ci === nPeriods - 1 ? NODE_W : 0); } };
  }

  // Bands of each period stacked from 0: parts {band, y0, y1, v} in the order of `names`.
  function stacks(snap, periods, names) {
    return periods.map(function (p) {
      var row = isObj(snap[p]) ? snap[p] : {}, y = 0;
      var parts = names.map(function (b) {
        var v = Number(row[b]);
        v = isFinite(v) && v > 0 ? v : 0;
        var part = { band: b, y0: y, y1: y + v, v: v, p: p };
        y += v;
        return part;
      });
      return { p: p, total: y, parts: parts };
    });
  }
  // A scale from 0 to at least max in about four steps of 1, 2 or 5 times a power of ten.
  function niceScale(max) {
    if (!(max > 0) || !isFinite(max)) max = 1;
    var step = Math.pow(10, Math.floor(Math.log10(max / 4))), rel = max / 4 / step;
    step *= rel > 5 ? 10 : rel > 2 ? 5 : rel > 1 ? 2 : 1;
    if (step < 1) step = 1;                       // counts of borrowers: whole steps
    var top = Math.ceil(max / step) * step, ticks = [];
    for (var k = 0; k * step <= top; k++) ticks.push(k * step);
    return { top: top, ticks: ticks };
  }

  return { sankeyGraph: sankeyGraph, sankey: sankey, stacks: stacks, niceScale: niceScale };
})();
