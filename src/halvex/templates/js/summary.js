// ---------------------------------------------------------------- region and branch summary
// The rows in view by region, each region opening to its branches: borrowers, risk and the
// latest score's bands. Regions and branches sharing a name are one line. A name filters the
// grid to it.
var Summary = (function () {
  var $ = Page.$, BAND_NAMES = Page.BAND_NAMES, bolgeList = Page.bolgeList, el = Page.el,
      fmtInt = Page.fmtInt, fmtMio = Page.fmtMio, HXS = Page.HXS, listName = Page.listName,
      mioTitle = Page.mioTitle, subeList = Page.subeList, V316 = Page.V316;
  var S = Store.S;
  var compareText = Sort.compareText;
  var fillSubeOptions = Filters.fillSubeOptions, multi = Filters.multi,
      onFilterChange = Filters.onFilterChange;

  var summaryOpen = new Set();
  // rows in view by (region index, branch index), in the order first met: [{ bi, si, n, risk, bands }].
  // Rows are added in their own order, whatever the sort, so that the sums of amounts (and
  // their rounding) do not change when the grid is sorted.
  function regionCells() {
    var n = S.n, nb = bolgeList.length + 1, ns = subeList.length + 1, j, i, b, s, key;
    var out = [], inView = null;
    if (View.view) { inView = new Uint8Array(n); for (j = 0; j < View.matched; j++) inView[View.view[j]] = 1; }
    if (nb * ns <= 1 << 22) {
      // counters in flat arrays (a map lookup per row is most of the time at a million rows)
      var cnt = new Float64Array(nb * ns), risk = new Float64Array(nb * ns), bands = new Float64Array(nb * ns * 5);
      var order = [], bolge = S.bolge, sube = S.sube, rk = S.risk, lb = S.lastBand, ok = true;
      for (i = 0; i < n; i++) {
        if (inView && !inView[i]) continue;
        b = bolge[i] + 1; s = sube[i] + 1;
        if (b < 0 || b >= nb || s < 0 || s >= ns) { ok = false; break; }
        key = b * ns + s;
        if (cnt[key] === 0) order.push(key);
        cnt[key]++;
        var r = rk[i];
        if (r === r && isFinite(r)) risk[key] += r;
        bands[key * 5 + lb[i]]++;
      }
      if (ok) {
        for (j = 0; j < order.length; j++) {
          key = order[j];
          out.push({ bi: Math.floor(key / ns) - 1, si: key % ns - 1, n: cnt[key], risk: risk[key],
                     bands: Array.prototype.slice.call(bands.subarray(key * 5, key * 5 + 5)) });
        }
        return out;
      }
    }
    var cells = new Map();
    for (i = 0; i < n; i++) {
      if (inView && !inView[i]) continue;
      key = (S.bolge[i] + 1) * 1048576 + (S.sube[i] + 1);
      var c = cells.get(key);
      if (!c) { c = { bi: S.bolge[i], si: S.sube[i], n: 0, risk: 0, bands: [0, 0, 0, 0, 0] }; cells.set(key, c); out.push(c); }
      var risk1 = S.risk[i];
      c.n++;
      if (risk1 === risk1 && isFinite(risk1)) c.risk += risk1;
      c.bands[S.lastBand[i]]++;
    }
    return out;
  }
  function regionSummary() {
    var byRegion = new Map();
    function acc(map, name) {
      var a = map.get(name);
      if (!a) { a = { name: name, n: 0, risk: 0, bands: [0, 0, 0, 0, 0], subs: new Map() }; map.set(name, a); }
      return a;
    }
    function add(a, c) { a.n += c.n; a.risk += c.risk; for (var b = 0; b < 5; b++) a.bands[b] += c.bands[b]; }
    regionCells().forEach(function (c) {
      var r = acc(byRegion, listName(bolgeList, c.bi) || "Tanımsız");
      add(r, c);
      add(acc(r.subs, listName(subeList, c.si) || "Tanımsız"), c);
    });
    return Array.from(byRegion.values()).sort(function (x, y) { return y.risk - x.risk || compareText(x.name, y.name); });
  }
  function summaryRow(tb, a, level, onName) {
    var tr = tb.appendChild(el("tr", level ? "sub-row" : "region-row"));
    var th = tr.appendChild(el("th"));
    th.setAttribute("scope", "row");
    if (!level) {
      var open = summaryOpen.has(a.name);
      var tg = th.appendChild(el("button", "mini", open ? "▾" : "▸"));
      tg.type = "button";
      tg.setAttribute("aria-expanded", open ? "true" : "false");
      tg.setAttribute("aria-label", a.name + " şubeleri");
      tg.addEventListener("click", function () {
        if (summaryOpen.has(a.name)) summaryOpen.delete(a.name); else summaryOpen.add(a.name);
        drawSummary();
      });
    }
    var nm = th.appendChild(el("button", "link", a.name));
    nm.type = "button";
    nm.title = a.name + " firmalarını listele";
    nm.addEventListener("click", onName);
    tr.appendChild(el("td", "num", fmtInt(a.n)));
    tr.appendChild(el("td", "num", fmtMio(a.risk))).title = mioTitle(a.risk);
    a.bands.forEach(function (v) { tr.appendChild(el("td", "num", fmtInt(v))); });
  }
  var summaryData = null;
  function drawSummary() {
    var box = $("hx-summary");
    if (!box || !V316) return;
    box.textContent = "";
    var data = summaryData || [];
    if (!data.length) { box.appendChild(el("p", "empty-note", "Kayıt yok.")); return; }
    var t = box.appendChild(el("table", "kv summary"));
    var hr = t.appendChild(el("thead")).appendChild(el("tr"));
    ["Bölge / şube", "Firma", "Risk (mio TL)"].concat(BAND_NAMES).forEach(function (h, k) {
      var th = hr.appendChild(el("th", k ? "num" : null, h));
      th.setAttribute("scope", "col");
    });
    var tb = t.appendChild(el("tbody"));
    data.forEach(function (r) {
      summaryRow(tb, r, 0, function () { multi.bolge.set([r.name]); onFilterChange("bolge"); });
      if (!summaryOpen.has(r.name)) return;
      Array.from(r.subs.values()).sort(function (x, y) { return y.risk - x.risk || compareText(x.name, y.name); }).forEach(function (s) {
        summaryRow(tb, s, 1, function () {
          multi.bolge.set([r.name]); fillSubeOptions(); multi.sube.set([s.name]); onFilterChange("sube");
        });
      });
    });
    HXS.summaryRegions = data.length;
  }
  function summaryAfterLoad() {
    if (!V316) return;
    summaryData = regionSummary();
    drawSummary();
  }

  return {
    summaryAfterLoad: summaryAfterLoad
  };
})();
