// ---------------------------------------------------------------- column filters in the header
// A filterable column's header has a button (and Alt+Down on the header) that opens its
// filter beside it: a list column's values with the number of rows each has among the rows
// the other filters leave, a number column's range. They are the filter bar's own filters
// (ticking a value here ticks it there), so the URL, print and exports say the same.
// Escape closes the filter and gives the focus back to its header.
var ColFilter = (function () {
  var $ = Page.$, el = Page.el, fmtInt = Page.fmtInt, P = Page.P, V316 = Page.V316;
  var S = Store.S;
  var filterRows = View.filterRows, filtersActive = View.filtersActive;
  var announce = Announce.announce;
  var focusHead = Grid.focusHead, grid = Grid.grid;


  // column id -> its filter: a list (key of the bar's multi-select, codes by row) or a range
  // (the bar's two number fields)
  function headFilterOf(c) {
    if (!c) return null;
    if (c.id === "segment") return { key: "seg", codes: function () { return S.seg; } };
    if (c.id === "bolge" && V316) return { key: "bolge", codes: function () { return S.bolge; } };
    if (c.id === "sube" && V316) return { key: "sube", codes: function () { return S.sube; } };
    if (P && c.id === "s" + (P - 1)) return { key: "band", codes: function () { return S.lastBand; } };
    if (c.id === "risk") return { range: ["hx-f-risk", "hx-f-risk-max"], unit: "mio TL" };
    if (c.id === "ml" && V316) return { range: ["hx-f-ml", "hx-f-ml-max"], unit: "%" };
    return null;
  }
  function headFilterTitle(c) { return (c.period != null ? "Son skor bandı" : c.title) + " filtresi"; }
  function headFilterOn(f) {
    return f.key ? !!View.F[f.key] : f.range.some(function (id) { return $(id).value.trim() !== ""; });
  }
  // the rows of every filter but this one's, counted by its values
  function headCounts(f) {
    var own = View.F[f.key], rows, n;
    View.F[f.key] = null;
    try {
      if (filtersActive()) { rows = filterRows(null, S.n); n = rows.length; } else { rows = null; n = S.n; }
    } finally {
      View.F[f.key] = own;
    }
    return ValueCounts.count(rows, n, f.codes(), Filters.multi[f.key].options);
  }
  var headFilterCol = null;
  function openHeadFilter(c) {
    var f = headFilterOf(c), pop = $("hx-hf");
    if (!f) return;
    closeHeadFilter(false);
    headFilterCol = c;
    pop.textContent = "";
    pop.setAttribute("aria-label", headFilterTitle(c));
    pop.appendChild(el("div", "hf-title", headFilterTitle(c)));
    var first, said;
    if (f.key) {
      var m = Filters.multi[f.key], counts = headCounts(f), on = m.labels(), list = pop.appendChild(el("div", "hf-list"));
      list.setAttribute("role", "group");
      list.setAttribute("aria-label", headFilterTitle(c) + ", satır sayılarıyla");
      m.options.forEach(function (o, k) {
        var lab = list.appendChild(el("label")), cb = lab.appendChild(el("input"));
        cb.type = "checkbox";
        cb.checked = on.indexOf(o[0]) >= 0;
        lab.appendChild(el("span", null, o[0]));
        lab.appendChild(el("span", "hf-n", fmtInt(counts[k])));
        cb.addEventListener("change", function () {
          var now = m.labels().filter(function (x) { return x !== o[0]; });
          if (cb.checked) now.push(o[0]);
          m.set(now);
          Filters.onFilterChange(f.key);
        });
        if (!first) first = cb;
      });
      said = m.options.length + " değer, her birinin satır sayısıyla.";
    } else {
      var box = pop.appendChild(el("div", "hf-range"));
      f.range.forEach(function (id, k) {
        var src = $(id), lab = box.appendChild(el("label", null, (k ? "en çok" : "en az") + " ")), inp = lab.appendChild(el("input", "num-in"));
        inp.type = "text";
        inp.inputMode = "decimal";
        inp.value = src.value;
        inp.setAttribute("aria-label", src.getAttribute("aria-label"));
        // the bar's field reads and checks the number
        inp.addEventListener("change", function () { src.value = inp.value; src.dispatchEvent(new Event("change")); });
        if (!first) first = inp;
      });
      box.appendChild(el("span", "note", f.unit));
      said = "en az ve en çok değer.";
    }
    var clear = pop.appendChild(el("button", "mini", "Bu filtreyi kaldır"));
    clear.type = "button";
    clear.addEventListener("click", function () {
      if (f.key) { Filters.multi[f.key].set([]); Filters.onFilterChange(f.key); }
      else f.range.forEach(function (id) { $(id).value = ""; $(id).dispatchEvent(new Event("change")); });
      closeHeadFilter(true);
    });
    pop.hidden = false;
    placeHeadFilter(c.head, pop);
    c.head.querySelector(".hf").setAttribute("aria-expanded", "true");
    (first || clear).focus();
    announce(headFilterTitle(c) + " açıldı: " + said + " Kapatmak için Escape.");
  }
  // under its header, inside the window
  function placeHeadFilter(h, pop) {
    var r = h.getBoundingClientRect(), room = document.documentElement.clientWidth - 4;
    pop.style.top = (r.bottom + 2) + "px";
    pop.style.left = Math.max(4, Math.min(r.left, room - pop.offsetWidth)) + "px";
  }
  function closeHeadFilter(refocus) {
    var pop = $("hx-hf"), c = headFilterCol;
    if (!c) return;
    headFilterCol = null;
    pop.hidden = true;
    var b = c.head && c.head.querySelector(".hf");
    if (b) b.setAttribute("aria-expanded", "false");
    if (refocus && c.head && document.contains(c.head)) { focusHead(Grid.COLS.indexOf(c)); }
  }
  // the header's button, put in by buildHead
  function addHeadFilterButton(h, c) {
    if (!headFilterOf(c)) return;
    h.classList.add("has-hf");
    var b = h.appendChild(el("button", "hf", "▾"));
    b.type = "button";
    b.tabIndex = -1;
    b.setAttribute("aria-haspopup", "dialog");
    b.setAttribute("aria-expanded", "false");
    b.setAttribute("aria-label", headFilterTitle(c));
    b.addEventListener("click", function (ev) {
      ev.stopPropagation();
      if (headFilterCol === c) closeHeadFilter(true); else openHeadFilter(c);
    });
    h.title += "; Alt+↓: filtre";
  }
  // a filter set shows on its header's button
  function markHeadFilters() {
    Grid.COLS.forEach(function (c) {
      var f = headFilterOf(c), b = c.head && c.head.querySelector(".hf");
      if (!f || !b) return;
      var on = headFilterOn(f);
      b.classList.toggle("on", on);
      b.setAttribute("aria-label", headFilterTitle(c) + (on ? " (etkin)" : ""));
    });
  }
  function initHeadFilters() {
    var pop = $("hx-hf");
    pop.addEventListener("keydown", function (ev) {
      if (ev.key !== "Escape") return;
      ev.preventDefault();
      ev.stopPropagation();
      closeHeadFilter(true);
    });
    document.addEventListener("mousedown", function (ev) {
      if (headFilterCol && !pop.contains(ev.target) && !ev.target.closest(".hf")) closeHeadFilter(false);
    });
    // the focus leaving the filter (Tab past its end) closes it
    pop.addEventListener("focusout", function (ev) {
      if (headFilterCol && ev.relatedTarget && !pop.contains(ev.relatedTarget)) closeHeadFilter(false);
    });
    // it follows its header when the grid or the page scrolls
    function follow() { if (headFilterCol) placeHeadFilter(headFilterCol.head, pop); }
    grid.addEventListener("scroll", follow, { passive: true });
    window.addEventListener("scroll", follow, { passive: true });
    window.addEventListener("resize", function () { if (headFilterCol) closeHeadFilter(false); });
  }

  return {
    addHeadFilterButton: addHeadFilterButton, closeHeadFilter: closeHeadFilter,
    initHeadFilters: initHeadFilters, markHeadFilters: markHeadFilters, openHeadFilter: openHeadFilter
  };
})();
