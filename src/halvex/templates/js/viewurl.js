// ---------------------------------------------------------------- filters and sorts in the URL
// The filters, the sort keys and "show all" as parameters of the URL fragment, and back.
// Numbers are written as the script writes them ("1000.5"); what a fragment cannot mean (a
// number that is none, a sort by a column the page lacks, a chart band out of range) is read
// as no filter.
var ViewUrl = (function () {
  // filters F, list filters' ticked labels by key, sort keys [{ id, desc }], all: no row cap
  function write(st, F, lists, sorts, all) {
    if (F.qRaw) st.set("q", F.qRaw);
    if (!F.plain) st.set("tam", "1");
    Object.keys(lists).forEach(function (k) { if (lists[k].length) st.set(k, lists[k].join("|")); });
    if (F.riskMin === F.riskMin) st.set("risk", String(F.riskMin));
    if (F.riskMax === F.riskMax) st.set("riskust", String(F.riskMax));
    if (F.mlMin === F.mlMin) st.set("ml", String(Math.round(F.mlMin * 1e6) / 1e4));
    if (F.mlMax === F.mlMax) st.set("mlust", String(Math.round(F.mlMax * 1e6) / 1e4));
    if (F.deltaDir) st.set("degisim", String(F.deltaDir));
    if (F.deltaMin === F.deltaMin) st.set("fark", String(F.deltaMin));
    if (F.move) st.set("hareket", String(F.move));
    if (F.marks) st.set("isaret", String(F.marks));
    if (F.watch) st.set("izleme", "1");
    if (all) st.set("tumu", "1");
    if (F.chart) st.set("grafik", [F.chart.k, F.chart.a, F.chart.b].join(":"));
    if (sorts.length) st.set("sira", sorts.map(function (s) { return (s.desc ? "-" : "") + s.id; }).join(","));
  }

  function number(st, key) {
    var x = st.has(key) && st.get(key).trim() !== "" ? Number(st.get(key)) : NaN;
    return isFinite(x) ? x : NaN;
  }
  function direction(st, key) { var d = Number(st.get(key)); return d === 1 ? 1 : d === -1 ? -1 : 0; }
  // The filters a fragment names, for a page of P periods (marks only where the page has
  // them); known(id) tells a column of the page. The probabilities stay in percent, as the
  // fields show them.
  function read(st, P, withMarks, known) {
    var ch = (st.get("grafik") || "").split(":").map(Number);
    var chart = ch.length === 3 && ch[0] >= 0 && ch[0] < P && ch[1] >= -1 && ch[1] < 5 && (ch[1] < 0 || ch[0] >= 1) &&
                ch[2] >= 0 && ch[2] < 5 ? { k: ch[0], a: ch[1], b: ch[2] } : null;
    var sorts = [];
    (st.get("sira") || "").split(",").forEach(function (t) {
      var desc = t.charAt(0) === "-", id = desc ? t.slice(1) : t;
      if (known(id) && !sorts.some(function (s) { return s.id === id; })) sorts.push({ id: id, desc: desc });
    });
    return {
      q: st.get("q") || "", plain: st.get("tam") !== "1",
      list: function (k) { return st.has(k) ? st.get(k).split("|") : []; },
      riskMin: number(st, "risk"), riskMax: number(st, "riskust"), mlPct: number(st, "ml"), mlMaxPct: number(st, "mlust"),
      deltaDir: direction(st, "degisim"), deltaMin: Math.abs(number(st, "fark")), move: direction(st, "hareket"),
      all: st.get("tumu") === "1", watch: st.get("izleme") === "1",
      marks: withMarks ? (Number(st.get("isaret")) & 63) : 0, chart: chart, sorts: sorts
    };
  }

  return { write: write, read: read };
})();
