// ---------------------------------------------------------------- region and branch summary
// The rows in view by region, each region opening to its branches: borrowers, risk and the
// latest score's bands. Regions and branches sharing a name are one line. A name filters the
// grid to it.
var summaryOpen = new Set();
function regionSummary() {
  // first by (region index, branch index) with number keys, then merged by name
  var cells = new Map(), n = matched, j, i;
  for (j = 0; j < n; j++) {
    i = rowAt(j);
    var key = (S.bolge[i] + 1) * 1048576 + (S.sube[i] + 1), c = cells.get(key);
    if (!c) { c = { n: 0, risk: 0, bands: [0, 0, 0, 0, 0] }; cells.set(key, c); }
    var risk = S.risk[i];
    c.n++;
    if (risk === risk && isFinite(risk)) c.risk += risk;
    c.bands[S.lastBand[i]]++;
  }
  var byRegion = new Map();
  function acc(map, name) {
    var a = map.get(name);
    if (!a) { a = { name: name, n: 0, risk: 0, bands: [0, 0, 0, 0, 0], subs: new Map() }; map.set(name, a); }
    return a;
  }
  function add(a, c) { a.n += c.n; a.risk += c.risk; for (var b = 0; b < 5; b++) a.bands[b] += c.bands[b]; }
  cells.forEach(function (c, key) {
    var bi = Math.floor(key / 1048576) - 1, si = key % 1048576 - 1;
    var r = acc(byRegion, listName(bolgeList, bi) || "Tanımsız");
    add(r, c);
    add(acc(r.subs, listName(subeList, si) || "Tanımsız"), c);
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
