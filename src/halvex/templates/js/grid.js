// ---------------------------------------------------------------- grid
// An ARIA grid: a header row and pooled rows moved over a (scaled) scroll area. The grid
// element keeps the focus; the active row is announced through aria-activedescendant and
// each row carries its place in the whole view (aria-rowindex).
var Grid = (function () {
  var $ = Page.$, band = Page.band, donemler = Page.donemler, el = Page.el, externalLink = Page.externalLink,
      fmtInt = Page.fmtInt, fmtMio = Page.fmtMio, groupByLetter = Page.groupByLetter, HXS = Page.HXS,
      isNum = Page.isNum, MARKS = Page.MARKS, mioTitle = Page.mioTitle, MISSING = Page.MISSING,
      NULL_SCORE = Page.NULL_SCORE, P = Page.P, R = Page.R, riskDonemler = Page.riskDonemler,
      scoreShown = Page.scoreShown, scoreText = Page.scoreText, svgEl = Page.svgEl,
      TOTAL_CHUNKS = Page.TOTAL_CHUNKS;
  var COL_DEFS = Store.COL_DEFS, colHeading = Store.colHeading, COLS_BY_ID = Store.COLS_BY_ID,
      defaultOrder = Store.defaultOrder, diagOf = Store.diagOf, diagTitle = Store.diagTitle,
      isWatched = Store.isWatched, S = Store.S, toggleWatch = Store.toggleWatch;
  var filtersActive = View.filtersActive, refresh = View.refresh, rowAt = View.rowAt,
      selectionRisk = View.selectionRisk, shownCount = View.shownCount;
  var foldedNames = Search.foldedNames, putMarked = Search.putMarked;

  var grid = $("hx-grid"), head = $("hx-head"), body = $("hx-body"), layer = $("hx-rows");
  var ROW_H = 28, MAX_SCROLL_PX = 8000000, OVERSCAN = 6, COMPLETE_ROWS = 8;
  var pool = [];
  var scheduled = false;
  var drawnCount = -1;          // rows the grid was last drawn for
  var cursor = 0;                 // active row, as a position in the view

  // ---- column layout: order, hidden, pinned and width per column id
  function defaultLayout() {
    return { order: defaultOrder(true), hidden: {}, pinned: { muta: true, unvan: true }, width: {}, newestFirst: true };
  }
  var colLayout = defaultLayout();
  function resetLayout() { colLayout = defaultLayout(); }
  var COLS = [], GRID_W = 0;
  function layoutColumns() {
    var known = {};
    colLayout.order = colLayout.order.filter(function (id) { return COLS_BY_ID[id] && !known[id] && (known[id] = true); });
    COL_DEFS.forEach(function (c) { if (!known[c.id]) colLayout.order.push(c.id); });
    var shown = colLayout.order.filter(function (id) { return !colLayout.hidden[id]; });
    // pinned columns first, so no column can slide under them
    var pinned = shown.filter(function (id) { return colLayout.pinned[id]; });
    var rest = shown.filter(function (id) { return !colLayout.pinned[id]; });
    COLS = pinned.concat(rest).map(function (id) { return COLS_BY_ID[id]; });
    GRID_W = 0;
    COLS.forEach(function (c) { c.w = Math.max(40, Math.min(600, colLayout.width[c.id] || c.w0)); });
    pinsHeld = pinsFit();
    COLS.forEach(function (c) {
      c.stick = pinsHeld && !!colLayout.pinned[c.id];
      c.left = GRID_W;
      GRID_W += c.w;
    });
    HXS.columns = COLS.map(function (c) { return c.id; });
  }
  // Pinned columns stay pinned while they take at most PIN_SHARE of the grid's width; on a
  // narrow window (a phone, a zoomed page) they scroll with the rest, which would otherwise
  // have almost no room. The layout keeps them pinned for a wider window.
  var PIN_SHARE = 0.6, pinsHeld = true;
  function pinsFit() {
    var w = 0;
    COLS.forEach(function (c) { if (colLayout.pinned[c.id]) w += c.w; });
    return w <= PIN_SHARE * grid.clientWidth;
  }
  window.addEventListener("resize", function () { if (pinsFit() !== pinsHeld) applyColumns(); });
  function applyColumns() {
    layoutColumns();
    buildHead();
    pool.forEach(function (r) { r.remove(); });
    pool = [];
    schedule();
    State.onViewChanged();
  }

  function place(cell, c) {
    cell.style.width = c.w + "px";
    if (c.stick) { cell.classList.add("stick"); cell.style.left = c.left + "px"; }
  }
  function buildHead() {
    ColFilter.closeHeadFilter(false);
    head.textContent = "";
    head.style.width = GRID_W + "px";
    body.style.width = GRID_W + "px";
    grid.setAttribute("aria-colcount", String(COLS.length));
    COLS.forEach(function (c, k) {
      var h = el("div", "c" + (c.cls ? " " + c.cls : "") + (c.period != null ? " per" : ""));
      h.appendChild(el("span", "t", colHeading(c)));
      h.setAttribute("data-col", c.id);
      h.setAttribute("role", "columnheader");
      h.setAttribute("aria-colindex", String(k + 1));
      h.tabIndex = c.id === headFocus ? 0 : -1;
      h.title = (c.long || c.title) + " – sıralamak için tıklayın (Shift: ikincil sıralama)";
      place(h, c);
      h.addEventListener("click", function (ev) { if (!ev.target.classList.contains("rz") && !ev.target.closest(".hf")) setSort(c.id, ev.shiftKey); });
      h.addEventListener("keydown", function (ev) {
        if (ev.target !== h) return;
        if (ev.key === "ArrowDown" && ev.altKey) { ev.preventDefault(); ColFilter.openHeadFilter(c); return; }
        if (ev.key === "Enter" || ev.key === " ") { ev.preventDefault(); setSort(c.id, ev.shiftKey); }
        var to = { ArrowLeft: k - 1, ArrowRight: k + 1, Home: 0, End: COLS.length - 1 }[ev.key];
        if (to !== undefined) { ev.preventDefault(); focusHead(Math.max(0, Math.min(COLS.length - 1, to))); }
        if (ev.key === "Tab" && !ev.shiftKey) { ev.preventDefault(); grid.focus(); }   // then the rows
      });
      h.addEventListener("focus", function () { headFocus = c.id; });
      ColFilter.addHeadFilterButton(h, c);
      var rz = h.appendChild(el("span", "rz"));
      rz.title = "Genişliği değiştirmek için sürükleyin";
      rz.addEventListener("pointerdown", function (ev) { startResize(ev, c, h); });
      c.head = h;
      head.appendChild(h);
    });
    if (!COLS_BY_ID[headFocus] || !COLS.some(function (c) { return c.id === headFocus; })) {
      headFocus = COLS.length ? COLS[0].id : "";
      if (COLS.length) COLS[0].head.tabIndex = 0;
    }
    markSort();
    ColFilter.markHeadFilters();
  }
  // Tab order: the header row is one stop (the arrows walk its headers), the rows the next
  // (the grid element itself, which names the active row); Shift+Tab goes back the same way.
  var headFocus = "muta", tabbing = false;
  function focusHead(k) {
    COLS.forEach(function (c, j) { c.head.tabIndex = j === k ? 0 : -1; });
    headFocus = COLS[k].id;
    COLS[k].head.focus();
  }
  document.addEventListener("keydown", function (ev) { tabbing = ev.key === "Tab" && ev.shiftKey; }, true);
  document.addEventListener("mousedown", function () { tabbing = false; }, true);
  head.addEventListener("focusin", function (ev) {
    // Shift+Tab from after the grid comes to the rows before the header
    var from = ev.relatedTarget;
    if (tabbing && from && !grid.contains(from) && (grid.compareDocumentPosition(from) & Node.DOCUMENT_POSITION_FOLLOWING)) grid.focus();
  });
  function startResize(ev, c, h) {
    ev.preventDefault();
    ev.stopPropagation();
    var x0 = ev.clientX, w0 = c.w;
    function move(e) { colLayout.width[c.id] = Math.max(40, w0 + e.clientX - x0); h.style.width = colLayout.width[c.id] + "px"; }
    function up() {
      window.removeEventListener("pointermove", move);
      window.removeEventListener("pointerup", up);
      applyColumns();
    }
    window.addEventListener("pointermove", move);
    window.addEventListener("pointerup", up);
  }
  // The pinned cells (first in COLS) stand in one sticky block of the row (role none, so the
  // cells stay the row's own to assistive technology): one sticky layer a row for the browser to
  // place on each frame, instead of one a pinned cell.
  function makeRow() {
    var row = el("div", "row"), pin = null;
    row.setAttribute("role", "row");
    row.style.width = GRID_W + "px";
    row.cells = COLS.map(function (c, k) {
      var cell = el("div", "c" + (c.cls ? " " + c.cls : ""));
      cell.setAttribute("role", "gridcell");
      cell.setAttribute("aria-colindex", String(k + 1));
      place(cell, c);
      if (c.period != null) {
        cell.style.setProperty("--col-w", c.w + "px");      // the style sheet places the chip in it
        cell.v = cell.dg = null;          // the score and letters' boxes, while it shows letters
      } else if (c.spark) {
        var svg = svgEl("svg", { "class": "spark", width: 12 * R + 4, height: 18, "aria-hidden": "true" });
        cell.bars = [];
        for (var j = 0; j < R; j++) cell.bars.push(svgEl("rect", { x: 2 + 12 * j, width: 9, y: 17, height: 0, "class": j === R - 1 ? "last" : "" }, svg));
        cell.appendChild(svg);
        cell.sr = cell.appendChild(el("span", "sr-only"));
      } else if (c.watch) {
        cell.star = cell.appendChild(el("button", "star", "☆"));
        cell.star.type = "button";
        cell.star.tabIndex = -1;
      } else if (c.marks) {
        cell.mk = MARKS.map(function (m, k) {
          var s = el("span", "mk mk" + k, m[0]);
          s.title = ModelView.markTitle(k);
          return cell.appendChild(s);
        });
      }
      if (c.stick && !pin) { pin = row.appendChild(el("div", "pin")); pin.setAttribute("role", "none"); }
      (c.stick ? pin : row).appendChild(cell);
      return cell;
    });
    return row;
  }
  // text colour readable on a background colour (#rgb or #rrggbb)
  function inkOn(bg) {
    var h = bg.replace("#", "");
    if (h.length === 3) h = h.charAt(0) + h.charAt(0) + h.charAt(1) + h.charAt(1) + h.charAt(2) + h.charAt(2);
    var lin = [0, 2, 4].map(function (p) {
      var v = parseInt(h.substr(p, 2), 16) / 255;
      return v <= 0.03928 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4);
    });
    var L = 0.2126 * lin[0] + 0.7152 * lin[1] + 0.0722 * lin[2];
    // white or pure black, whichever stands out more: one of them always reaches 4.58:1
    // (a near-black such as #111 falls to 4.35:1 on mid-tone colours)
    return (1.05 / (L + 0.05)) >= (L + 0.05) / 0.05 ? "#fff" : "#000";
  }
  function letterChip(ch, g) {
    var sp = el("span", "dg", ch);
    paintChip(sp, g);
    return sp;
  }
  function paintChip(sp, g) {
    var bg = g ? g.renk.slice(0, 7) : "#667482";
    sp.style.background = bg;
    sp.style.color = inkOn(bg);
  }
  // The letters' chips of a score cell: a chip already there takes its new letter in place, so
  // filling a row again makes no new elements (each would cost a style and layout of its own).
  function putLetters(box, letters) {
    var chip = box.firstChild;
    for (var k = 0; k < letters.length; k++) {
      var ch = letters.charAt(k);
      if (!chip) { box.appendChild(letterChip(ch, groupByLetter[ch])); continue; }
      if (chip.firstChild.data !== ch) { chip.firstChild.data = ch; paintChip(chip, groupByLetter[ch]); }
      chip = chip.nextSibling;
    }
    while (chip) { var next = chip.nextSibling; box.removeChild(chip); chip = next; }
  }
  // Fills a row for view position pos (row i). With vis (by column, true when in view) only the
  // cells in view are filled; fillCells fills the others later (row.partial until then).
  var fillSeq = 0;
  function fillRow(row, i, pos, vis) {
    row.fid = ++fillSeq;
    row.idx = i;
    row.pos = pos;
    row.setAttribute("aria-rowindex", String(pos + 2));
    row.classList.toggle("alt", pos % 2 === 1);
    var sel = i === View.selected, active = pos === cursor;
    row.classList.toggle("sel", sel);
    row.classList.toggle("cur", active);
    if (active) row.id = "hx-active-row"; else if (row.id) row.removeAttribute("id");
    var picked = Selection.isPicked(pos);
    row.classList.toggle("picked", picked);
    row.setAttribute("aria-selected", sel || picked ? "true" : "false");
    fillCells(row, vis);
  }
  // A cell's text is changed in its text node, if it has just one: the layout object of the
  // text stays, so a frame of new rows costs less layout than with new text nodes.
  function setText(node, text) {
    var t = node.firstChild;
    if (t && t.nodeType === 3 && !t.nextSibling) { if (t.data !== text) t.data = text; }
    else node.textContent = text;
  }
  // cell.fid: the fill whose content the cell shows; cell.tid: the fill whose tooltip and
  // screen-reader text it has. While scrolling (vis given) only the content of the cells in view
  // is filled: the tooltips follow with the rest once scrolling has stopped, so the frames that
  // fly by build no strings nobody reads (less script, less garbage to collect mid-scroll).
  function fillCells(row, vis) {
    var i = row.idx, fid = row.fid, diag = null, diagDone = false, partial = false;
    for (var k = 0; k < COLS.length; k++) {
      var c = COLS[k], cell = row.cells[k];
      if (cell.tid === fid) continue;
      if (vis && !vis[k]) { partial = true; continue; }
      var fresh = cell.fid !== fid;
      if (vis && !fresh) { partial = true; continue; }
      if (c.period != null && !diagDone) { diag = diagOf(i); diagDone = true; }
      if (fresh) { cell.fid = fid; fillContent(cell, c, i, diag); }
      if (vis) { partial = true; continue; }
      cell.tid = fid;
      fillTip(cell, c, i, diag);
    }
    row.partial = partial;
  }
  function fillContent(cell, c, i, diag) {
    if (c.period != null) {
      // a score alone is the cell's text on the cell's own chip; with letters, a chip element
      // and the letters' box follow each other
      var s = S.score[i * P + c.period], info = diag && diag[donemler[c.period]];
      var letters = info && info.letters ? info.letters : "";
      var cls = (letters ? "c sc b" : "c sc sc-chip b") + band(s);
      if (cell.className !== cls) cell.className = cls;
      if (letters) {
        if (!cell.v) {
          cell.textContent = "";
          cell.v = cell.appendChild(el("span", "v"));
          cell.dg = cell.appendChild(el("span", "dgs"));
        }
        setText(cell.v, scoreShown(s));
        putLetters(cell.dg, letters);
      } else {
        cell.v = cell.dg = null;
        setText(cell, scoreShown(s));
      }
    } else if (c.spark) {
      var max = 0, j, v;
      for (j = 0; j < R; j++) { v = S.r[i * R + j]; if (v > max) max = v; }
      for (j = 0; j < R; j++) {
        v = S.r[i * R + j];
        var hgt = max > 0 && v > 0 && isFinite(v) ? Math.max(1, Math.round(16 * v / max)) : 0;
        // an unchanged bar is left alone: each attribute set costs the bar a new style
        var bar = cell.bars[j];
        if (bar.h !== hgt) { bar.h = hgt; bar.setAttribute("y", 17 - hgt); bar.setAttribute("height", hgt); }
      }
    } else if (c.watch) {
      // the star's state is told at once, with what it shows
      var on = isWatched(i);
      setText(cell.star, on ? "★" : "☆");
      cell.star.classList.toggle("on", on);
      cell.star.setAttribute("aria-pressed", on ? "true" : "false");
      cell.star.setAttribute("aria-label", (on ? "İzleme listesinden çıkar: " : "İzleme listesine ekle: ") + S.muta[i]);
    } else if (c.marks) {
      var m = S.marks[i];
      for (var b = 0; b < 6; b++) { var off = !(m & (1 << b)); if (cell.mk[b].hidden !== off) cell.mk[b].hidden = off; }
    } else {
      var t = c.text(i), F = View.F;
      if (c.id === "unvan" && F.q) putMarked(cell, t, foldedNames(F.plain)[S.uid[i]]);
      else if (c.id === "muta" && F.q && (typeof S.muta[i] === "number" || /^-?\d+$/.test(t))) putMarked(cell, t, t);
      else setText(cell, t);
      if (c.id === "ml") ModelView.markAlarm(cell, S.ml[i]);
    }
  }
  function fillTip(cell, c, i, diag) {
    if (c.period != null) {
      var s = S.score[i * P + c.period], info = diag && diag[donemler[c.period]];
      if (info && info.letters) cell.title = diagTitle(donemler[c.period], info);
      else cell.title = s === NULL_SCORE ? donemler[c.period] + ": skor yok" : donemler[c.period] + ": " + scoreText(s);
    } else if (c.spark) {
      var tip = [];
      for (var j = 0; j < R; j++) {
        var v = S.r[i * R + j];
        tip.push(riskDonemler[j] + ": " + (isNum(v) ? fmtMio(v) + " mio TL" : MISSING));
      }
      cell.title = tip.join("\n");
      setText(cell.sr, tip.join("; "));
    } else if (!c.watch && !c.marks) {
      if (c.tip) cell.title = c.text(i);
      else if (c.amount) cell.title = mioTitle(S.risk[i]);
      else if (c.tipText) cell.title = c.tipText(i);
    }
  }
  // Cells laid out across: the pinned ones and those within COL_MARGIN of the view, as the
  // range [a, b) of positions in COLS (the unpinned columns stand in order of their left). The
  // others stay in their rows, hidden, so a frame lays out, styles and paints only those.
  var COL_MARGIN = 240;
  function colSpan() {
    var x0 = grid.scrollLeft - COL_MARGIN, x1 = grid.scrollLeft + grid.clientWidth + COL_MARGIN;
    var a = COLS.length, b = a;
    for (var k = 0; k < COLS.length; k++) {
      var c = COLS[k];
      if (!c.stick && c.left < x1 && c.left + c.w > x0) { if (a === COLS.length) a = k; b = k + 1; }
    }
    return [a, b];
  }
  function placeCells(row, span) {
    if (row.span && row.span[0] === span[0] && row.span[1] === span[1]) return;
    for (var k = 0; k < COLS.length; k++) {
      var off = !COLS[k].stick && (k < span[0] || k >= span[1]);
      if (row.cells[k].hidden !== off) row.cells[k].hidden = off;
    }
    // the first cell laid out stands where it stands with every cell before it shown (its
    // margin, which a score chip adds to its own)
    if (row.lead) { row.lead.style.removeProperty("--lead"); row.lead = null; }
    var lead = COLS[span[0]], pinnedW = 0;
    for (k = 0; k < COLS.length && COLS[k].stick; k++) pinnedW = COLS[k].left + COLS[k].w;
    if (lead && lead.left > pinnedW) { row.lead = row.cells[span[0]]; row.lead.style.setProperty("--lead", (lead.left - pinnedW) + "px"); }
    row.span = span;
  }
  // columns in view across (pinned ones always), by position in COLS
  function colsInView() {
    var x0 = grid.scrollLeft, x1 = x0 + grid.clientWidth, vis = new Array(COLS.length);
    for (var k = 0; k < COLS.length; k++) vis[k] = COLS[k].stick || (COLS[k].left < x1 && COLS[k].left + COLS[k].w > x0);
    return vis;
  }

  var firstRowsAt = null;
  // Rows are filled again only when what they show changed. Anything but scrolling may change
  // every row (sorting, filtering, columns, selection...): it goes through schedule(), which
  // starts a new generation. Scrolling keeps the rows still in view and fills only those that
  // come into view; after a jump, the rows out of view (the overscan) follow a frame later, so
  // no frame fills more than the visible rows.
  var rowsGen = 0, fullDraw = false;
  function schedule() {
    rowsGen++;
    fullDraw = true;
    if (!scheduled) { scheduled = true; requestAnimationFrame(draw); }
  }
  function scheduleScroll() {
    if (!scheduled) { scheduled = true; requestAnimationFrame(draw); }
  }
  // first row in view and how rows map to the scroll position
  function scrollGeometry() {
    var n = shownCount();
    var headH = head.offsetHeight;
    var viewH = Math.max(grid.clientHeight - headH, ROW_H);
    var fullH = n * ROW_H, areaH = Math.min(fullH, MAX_SCROLL_PX);
    var maxTop = Math.max(areaH - viewH, 0);
    return { n: n, viewH: viewH, fullH: fullH, areaH: areaH, maxTop: maxTop, vis: Math.max(1, Math.floor(viewH / ROW_H)) };
  }
  // whether a pooled row still shows position pos as it is now
  function current(row, pos) {
    return !row.hidden && row.gen === rowsGen && row.pos === pos && row.idx === rowAt(pos);
  }
  // Moves pooled rows so that those still in view stand where they will be shown: the rows
  // scrolled out at one end go to the other end, to be filled with the rows coming in.
  function rotatePool(first, count) {
    var head0 = pool[0];
    if (!head0 || head0.gen !== rowsGen || head0.hidden || head0.pos == null) return;
    var shift = head0.pos - first, k, moved;
    if (shift === 0 || Math.abs(shift) >= Math.min(count, pool.length)) return;
    if (shift > 0) {
      // scrolled up: rows at the end move to the front
      moved = pool.splice(pool.length - shift, shift);
      for (k = moved.length - 1; k >= 0; k--) layer.insertBefore(moved[k], layer.firstChild);
      pool = moved.concat(pool);
    } else {
      moved = pool.splice(0, -shift);
      for (k = 0; k < moved.length; k++) layer.appendChild(moved[k]);
      pool = pool.concat(moved);
    }
  }
  function draw() {
    scheduled = false;
    var byScroll = !fullDraw;
    fullDraw = false;
    // every size and scroll position is read before the rows change, so reading them never
    // waits for a layout
    var g = scrollGeometry(), n = g.n, colsShown = byScroll ? colsInView() : null, span = colSpan();
    body.style.height = g.areaH + "px";
    var top = Math.min(grid.scrollTop, g.maxTop);
    var first, last, layerTop, vis = Math.ceil(g.viewH / ROW_H), later = false;
    if (g.areaH < g.fullH) {
      // scaled scroll area: the scroll position picks a row by proportion
      var frac = g.maxTop > 0 ? top / g.maxTop : 0;
      first = Math.round(frac * Math.max(n - vis + 1, 0));
      last = Math.min(n, first + vis + 1);
      layerTop = top;
    } else {
      var inFirst = Math.floor(top / ROW_H), inLast = Math.min(n, Math.ceil((top + g.viewH) / ROW_H));
      first = Math.max(inFirst - OVERSCAN, 0);
      last = Math.min(n, inLast + OVERSCAN);
      // a scroll jump with none of the rows in view already shown: the visible rows now, the
      // overscan in the next frame
      if (byScroll && pool.length && !(pool[0].gen === rowsGen && !pool[0].hidden &&
          pool[0].pos < inLast && pool[0].pos + pool.length > inFirst)) {
        if (first < inFirst || last > inLast) later = true;
        first = Math.max(inFirst, 0);
        last = inLast;
      }
      layerTop = first * ROW_H;
    }
    var count = Math.max(last - first, 0);
    drawnCount = n;
    while (pool.length < count) pool.push(layer.appendChild(makeRow()));
    var fresh = 0, partial = [];
    if (byScroll) rotatePool(first, count);
    for (var k = 0; k < pool.length; k++) {
      var row = pool[k];
      if (k < count) {
        var pos = first + k;
        if (!current(row, pos)) { row.hidden = false; fillRow(row, rowAt(pos), pos, colsShown); row.gen = rowsGen; fresh++; }
        else if (row.partial) fillCells(row, colsShown);      // scrolled across: the cells come into view
        placeCells(row, span);
        if (row.partial) partial.push(row);
      } else if (!row.hidden) {
        row.hidden = true;
        row.pos = null;
        row.removeAttribute("id");
      }
    }
    layer.style.transform = "translateY(" + layerTop + "px)";
    grid.setAttribute("aria-rowcount", String(View.matched + 1));
    if (n > 0 && cursor < n && cursor >= first && cursor < last) grid.setAttribute("aria-activedescendant", "hx-active-row");
    else grid.removeAttribute("aria-activedescendant");
    showEmpty(View.matched === 0 && S.n > 0 && filtersActive());
    if (count > 0 && firstRowsAt === null) { firstRowsAt = performance.now(); HXS.firstRowsAt = firstRowsAt; }
    if (!byScroll) updateCounts();
    // frames drawn, and the rows each of the latest filled (the newest last)
    HXS.draws++;
    if (HXS.rowsFilled.push(fresh) > 1000) HXS.rowsFilled.shift();
    // the cells out of view are filled once scrolling has stopped, a few rows a frame
    if (!fresh && !later) partial.splice(0, COMPLETE_ROWS).forEach(function (r) { fillCells(r, null); });
    if (later || partial.length) scheduleScroll();
  }
  grid.addEventListener("scroll", scheduleScroll, { passive: true });
  window.addEventListener("resize", schedule);

  // Moves the active row and scrolls it into view.
  function moveCursor(to) {
    var g = scrollGeometry();
    if (!g.n) return;
    cursor = Math.max(0, Math.min(g.n - 1, to));
    var top = grid.scrollTop;
    if (g.areaH < g.fullH) {
      var first = g.maxTop > 0 ? Math.round(top / g.maxTop * Math.max(g.n - g.vis, 0)) : 0;
      if (cursor < first || cursor >= first + g.vis) {
        var want = Math.max(0, Math.min(cursor - (cursor < first ? 0 : g.vis - 1), g.n - g.vis));
        grid.scrollTop = g.n > g.vis ? want / (g.n - g.vis) * g.maxTop : 0;
      }
    } else {
      var y = cursor * ROW_H;
      if (y < top) grid.scrollTop = y;
      else if (y + ROW_H > top + g.viewH) grid.scrollTop = y + ROW_H - g.viewH;
    }
    HXS.cursor = cursor;
    schedule();
  }
  grid.addEventListener("keydown", function (ev) {
    if (ev.target !== grid) return;
    if (ev.key === "Tab" && ev.shiftKey && COLS_BY_ID[headFocus] && COLS_BY_ID[headFocus].head) {
      ev.preventDefault();
      COLS_BY_ID[headFocus].head.focus();
      return;
    }
    var g = scrollGeometry(), page = g.vis;
    var to = { ArrowDown: cursor + 1, ArrowUp: cursor - 1, PageDown: cursor + page, PageUp: cursor - page,
               Home: 0, End: g.n - 1 }[ev.key];
    if (to !== undefined && ev.shiftKey) { ev.preventDefault(); Selection.extendPick(to); return; }
    if (to !== undefined) { ev.preventDefault(); Selection.dropPick(); moveCursor(to); return; }
    var ctrl = ev.ctrlKey || ev.metaKey, letter = ev.key.toLowerCase();
    if (ctrl && letter === "a") { ev.preventDefault(); Selection.pickAll(); return; }
    if (ctrl && letter === "c") { ev.preventDefault(); Selection.copyPicked(); return; }
    if (ev.key === "Enter" && g.n) { ev.preventDefault(); openRow(cursor); }
    if ((ev.key === "*" || ev.key === "i") && g.n) { ev.preventDefault(); toggleWatch(rowAt(cursor)); }
  });

  // Nothing matches: the message names the filters that hide every row.
  function showEmpty(on) {
    var box = $("hx-empty");
    if (on) setText($("hx-empty-text"), "Kayıt bulunamadı. Etkin filtreler: " + Export.viewSummary().filters + ".");
    if (box.hidden === on) box.hidden = !on;
  }
  function updateCounts() {
    var shown = shownCount();
    // once everything is loaded, the status line says how many rows the filters leave
    if (Export.allLoaded() && TOTAL_CHUNKS > 0 && !HXS.failedChunks.length) {
      Loader.setStatus(filtersActive() ? "Filtrelere uyan: " + fmtInt(View.matched) + " / " + fmtInt(S.n) + " firma."
                                : "Yükleme tamamlandı: " + fmtInt(S.n) + " firma.");
    }
    $("hx-loaded").textContent = fmtInt(S.n);
    $("hx-matched").textContent = fmtInt(View.matched);
    $("hx-shown").textContent = fmtInt(shown);
    $("hx-show-all").disabled = shown >= View.matched;
    $("hx-sel-count").textContent = fmtInt(View.matched);
    $("hx-sel-risk").textContent = fmtMio(selectionRisk());
    setText($("hx-cap"), shown < View.matched ? "İlk " + fmtInt(shown) + " / " + fmtInt(View.matched) + " satır gösteriliyor" : "");
    Export.updateExportState();
    HXS.shownRows = shown;
    HXS.matchedRows = View.matched;
    HXS.loadedRows = S.n;
  }

  // Click: sort by this column alone (again: reverse it). Shift+click: add it as the next key
  // (again: reverse that key).
  function setSort(id, add) {
    var c = COLS_BY_ID[id];
    if (!c) return;
    var at = -1;
    View.sorts.forEach(function (s, k) { if (s.id === id) at = k; });
    if (add) {
      if (at >= 0) View.sorts[at].desc = !View.sorts[at].desc;
      else View.sorts.push({ id: id, desc: !!c.firstDesc });
    } else if (at === 0 && View.sorts.length === 1) {
      View.sorts[0].desc = !View.sorts[0].desc;
    } else if (!View.sorts.length && id === DEFAULT_SORT.id) {
      View.sorts = [{ id: id, desc: !DEFAULT_SORT.desc }];         // the shown order, reversed
    } else {
      View.sorts = [{ id: id, desc: !!c.firstDesc }];
    }
    markSort();
    refresh();
    grid.scrollTop = 0;
    cursor = 0;
  }
  // The rows come in the renderer's order, latest risk largest first: without a sort of the
  // analyst's, that order is shown on the risk header.
  var DEFAULT_SORT = { id: "risk", desc: true };
  var DEFAULT_SORT_NOTE = " – varsayılan sıra: risk, büyükten küçüğe";
  function markSort() {
    var keys = View.sorts.length ? View.sorts : [DEFAULT_SORT];
    COLS.forEach(function (x) {
      var k = -1;
      keys.forEach(function (s, j) { if (s.id === x.id) k = j; });
      var s = keys[k], byDefault = k >= 0 && !View.sorts.length;
      x.head.classList.toggle("sorted", k >= 0);
      x.head.setAttribute("aria-sort", k === 0 ? (s.desc ? "descending" : "ascending") : "none");
      // the arrow (numbered when there are several keys) is drawn by the style sheet
      x.head.setAttribute("data-ind", k < 0 ? "" : (s.desc ? "▼" : "▲") + (keys.length > 1 ? String(k + 1) : ""));
      var tip = x.head.title.replace(DEFAULT_SORT_NOTE, "");
      x.head.title = byDefault ? tip + DEFAULT_SORT_NOTE : tip;
    });
    HXS.sorts = View.sorts.map(function (s) { return [s.id, s.desc]; });
  }

  // selection, detail panel and the external link
  function openRow(pos) {
    cursor = pos;
    View.selected = rowAt(pos);
    Detail.showDetail(View.selected);
    schedule();
  }
  layer.addEventListener("click", function (ev) {
    var row = ev.target.closest(".row");
    if (!row || row.idx == null) return;
    if (ev.target.closest(".star")) { toggleWatch(row.idx); return; }
    if (ev.shiftKey) { Selection.setPick({ a: Selection.pick ? Selection.pick.a : cursor, b: row.pos }); cursor = row.pos; grid.focus(); return; }
    Selection.dropPick();
    openRow(row.pos);
  });
  function linkFor(muta) {
    if (!externalLink) return "";
    var url = externalLink + encodeURIComponent(String(muta));
    try {
      var u = new URL(url, document.baseURI);
      if (u.protocol !== "http:" && u.protocol !== "https:") return "";
    } catch (err) { return ""; }
    return url;
  }
  layer.addEventListener("dblclick", function (ev) {
    var row = ev.target.closest(".row");
    if (!row || row.idx == null) return;
    var url = linkFor(S.muta[row.idx]);
    if (url) window.open(url, "_blank", "noopener");
  });
  layoutColumns();

  return {
    applyColumns: applyColumns, buildHead: buildHead,
    get colLayout() { return colLayout; }, get COLS() { return COLS; },
    get cursor() { return cursor; }, set cursor(x) { cursor = x; }, DEFAULT_SORT: DEFAULT_SORT,
    get drawnCount() { return drawnCount; }, focusHead: focusHead, grid: grid, letterChip: letterChip,
    linkFor: linkFor, markSort: markSort, moveCursor: moveCursor, resetLayout: resetLayout, schedule: schedule,
    scheduleScroll: scheduleScroll, updateCounts: updateCounts
  };
})();
