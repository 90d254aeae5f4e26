// ---------------------------------------------------------------- detail panel
var Detail = (function () {
  var $ = Page.$, ADMIN = Page.ADMIN, backtestSummary = Page.backtestSummary, band = Page.band,
      BAND_COLORS = Page.BAND_COLORS, bolgeList = Page.bolgeList, diagVocab = Page.diagVocab,
      donemler = Page.donemler, el = Page.el, fmtInt = Page.fmtInt, fmtMio = Page.fmtMio,
      fmtPct = Page.fmtPct, groupByLetter = Page.groupByLetter, groupByName = Page.groupByName,
      HXS = Page.HXS, isNum = Page.isNum, isObj = Page.isObj, kriterAciklama = Page.kriterAciklama,
      listName = Page.listName, MARKS = Page.MARKS, meta = Page.meta, mioTitle = Page.mioTitle,
      mlPredictions = Page.mlPredictions, NULL_SCORE = Page.NULL_SCORE, P = Page.P, R = Page.R,
      riskDonemler = Page.riskDonemler, scoreShown = Page.scoreShown, SEGMENTS = Page.SEGMENTS,
      subeList = Page.subeList, svgEl = Page.svgEl, V316 = Page.V316;
  var deltaText = Store.deltaText, diagOf = Store.diagOf, isWatched = Store.isWatched, S = Store.S,
      toggleWatch = Store.toggleWatch, unvanAt = Store.unvanAt;
  var grid = Grid.grid, letterChip = Grid.letterChip, linkFor = Grid.linkFor, schedule = Grid.schedule;

  function kvTable(rows, headRow) {
    var t = el("table", "kv");
    if (headRow) {
      var tr = el("tr");
      // a heading longer than its column wraps, then ends with an ellipsis, and shows whole
      // when pointed at
      headRow.forEach(function (h) {
        var th = tr.appendChild(el("th"));
        th.title = h;
        th.appendChild(el("span", "clip", h));
      });
      t.appendChild(tr);
    }
    rows.forEach(function (r) {
      var tr = el("tr");
      r.forEach(function (v, k) {
        var td;
        if (v instanceof Node) { td = el("td"); td.appendChild(v); }
        else if (v instanceof NumText) { td = el("td", "num", v.text); if (v.title) td.title = v.title; }
        else td = el(k === 0 && !headRow ? "th" : "td", typeof v === "number" ? "num" : null, valueText(v));
        tr.appendChild(td);
      });
      t.appendChild(tr);
    });
    // a column of numbers has its heading over the numbers
    if (headRow && rows.length) rows[0].forEach(function (v, k) {
      if (v instanceof NumText || typeof v === "number") t.rows[0].cells[k].classList.add("num");
    });
    return t;
  }
  // a number already put as text, right-aligned like every number
  function NumText(text, title) { this.text = text; this.title = title || ""; }
  function amountCell(v) { return new NumText(fmtMio(v), mioTitle(v)); }
  function valueText(v) {
    if (v == null) return "";
    if (typeof v === "number") return Number.isInteger(v) ? fmtInt(v) : new Intl.NumberFormat("tr-TR", { maximumFractionDigits: 4 }).format(v);
    if (typeof v === "boolean") return v ? "Evet" : "Hayır";
    if (typeof v === "object") return JSON.stringify(v);
    return String(v);
  }
  var UNKNOWN_GROUP = "tanımsız grup";
  function showDetail(i) {
    var box = $("hx-detail-body");
    box.textContent = "";
    var muta = S.muta[i];
    var name = box.appendChild(el("h2", null, unvanAt(i) || "(unvansız)"));
    name.id = "hx-detail-title";
    name.title = name.textContent;
    var sub = ["MUTA " + muta];
    if (S.seg[i] >= 0) sub.push(SEGMENTS[S.seg[i]]);
    if (V316) { var b = listName(bolgeList, S.bolge[i]), s = listName(subeList, S.sube[i]); if (b) sub.push(b); if (s) sub.push(s); }
    box.appendChild(el("div", "sub", sub.join(" · ")));
    var facts = [["Son risk (mio TL)", amountCell(S.risk[i])]];
    if (P >= 2) facts.push(["Skor değişimi (" + donemler[P - 2] + " → " + donemler[P - 1] + ")", new NumText(deltaText(i))]);
    if (V316) {
      facts.push(["ML YI olasılığı (%)", new NumText(ModelText.pctNumber(S.ml[i]))]);
      var mk = MARKS.filter(function (m, k) { return S.marks[i] & (1 << k); }).map(function (m) { return m[1]; });
      facts.push(["İşaretler", mk.length ? mk.join(", ") : "–"]);
      if (S.neden[i]) facts.push(["Neden", S.neden[i]]);
      facts = facts.concat(ModelView.modelFacts(i));
    }
    box.appendChild(kvTable(facts));
    if (V316) ModelView.modelReasons(box, muta);
    var link = linkFor(muta);
    if (link) {
      var a = el("a", null, "Firma kartını aç");
      a.href = link; a.target = "_blank"; a.rel = "noopener";
      box.appendChild(el("p")).appendChild(a);
    }

    var tools = box.appendChild(el("div", "detail-tools no-print"));
    var star = tools.appendChild(el("button", "star-btn", isWatched(i) ? "★ İzleme listesinde" : "☆ İzleme listesine ekle"));
    star.type = "button";
    star.setAttribute("aria-pressed", isWatched(i) ? "true" : "false");
    star.addEventListener("click", function () {
      toggleWatch(i);
      star.textContent = isWatched(i) ? "★ İzleme listesinde" : "☆ İzleme listesine ekle";
      star.setAttribute("aria-pressed", isWatched(i) ? "true" : "false");
    });
    var pr = tools.appendChild(el("button", null, "Raporu yazdır"));
    pr.type = "button";
    pr.addEventListener("click", function () {
      document.body.classList.add("print-detail");
      window.print();
    });
    if (P) {
      box.appendChild(el("h3", null, "Skor geçmişi"));
      box.appendChild(historyChart(i));
    }
    box.appendChild(el("h3", null, "Dönem skorları ve teşhis grupları"));
    var diag = diagOf(i), rows = [];
    for (var k = P - 1; k >= 0; k--) {
      var sc = S.score[i * P + k], info = diag && diag[donemler[k]];
      var v = el("span", "v b" + band(sc), scoreShown(sc));
      var letters = el("span");
      if (info && info.letters) for (var q = 0; q < info.letters.length; q++) {
        var g = groupByLetter[info.letters.charAt(q)];
        var chip = letters.appendChild(letterChip(g ? g.baslik : info.letters.charAt(q), g));
        chip.title = g ? g.aciklama : UNKNOWN_GROUP;
      }
      rows.push([donemler[k], v, letters]);
    }
    box.appendChild(kvTable(rows, ["Dönem", "Skor", "Gruplar"]));
    var withheld = DetailText.withheldNote(meta, ADMIN);
    if (withheld) box.appendChild(el("p", "note withheld", withheld));

    if (R) {
      box.appendChild(el("h3", null, "Risk (mio TL)"));
      box.appendChild(riskChart(i));
      var rr = riskDonemler.map(function (d, j) {
        var r = [d, amountCell(S.r[i * R + j])];
        if (V316) r.push(amountCell(S.rd[i * R + j]), amountCell(S.df[i * R + j]));
        return r;
      });
      var series = (V316 ? ["r", "rd", "df"] : ["r"]).map(function (key) { return DetailText.seriesHeading(key, meta); });
      box.appendChild(kvTable(rr, ["Dönem"].concat(series)));
    }
    if (diag) {
      var any = false;
      var h = el("h3", null, ADMIN ? "Bulgular" : "Teşhis özeti");
      var list = el("ul", "findings");
      Object.keys(diag).forEach(function (d) {
        var info = diag[d];
        if (info.findings && info.findings.length) {
          info.findings.forEach(function (f) {
            if (!isObj(f)) return;
            any = true;
            var li = el("li");
            li.appendChild(el("span", "katman", d + " " + (f.katman != null ? String(f.katman) : "")));
            var code = f.kriter != null ? String(f.kriter) : "";
            var text = code + (kriterAciklama[code] ? " – " + kriterAciklama[code] : "");
            if (f.deger != null) text += " (değer: " + valueText(f.deger) + ")";
            var g = groupByName[Findings.groupOf(f, diagVocab)];
            if (g) text += " [" + g.baslik + "]";
            li.appendChild(document.createTextNode(text));
            list.appendChild(li);
          });
        } else if (info.letters) {
          any = true;
          var names = info.letters.split("").map(function (ch) { return groupByLetter[ch] ? groupByLetter[ch].baslik : UNKNOWN_GROUP; });
          list.appendChild(el("li", null, d + ": " + names.join(", ")));
        }
      });
      if (any) { box.appendChild(h); box.appendChild(list); }
    }
    ModelView.modelHistory(box, muta);
    var panel = $("hx-detail");
    if (panel.hidden) returnFocus = document.activeElement;
    panel.hidden = false;
    detailMode();
    panel.focus({ preventScroll: true });     // the page stays where the analyst clicked
    HXS.detailMuta = muta;
    State.onViewChanged();
  }
  // Score history of one borrower: a line over the periods with the band thresholds, labelled
  // axes (period, QVR score); "YI" is drawn above the scale, a missing score leaves a gap.
  function historyChart(i) {
    var W = 440, H = 170, M = { l: 44, r: 26, t: 12, b: 40 }, TOP = 1000;
    var svg = svgEl("svg", { width: W, height: H, viewBox: "0 0 " + W + " " + H, "class": "hist", role: "img",
      "aria-label": "Skor geçmişi: " + donemler.map(function (d, k) { return d + " " + scoreShown(S.score[i * P + k]); }).join(", ") });
    var x = function (k) { return M.l + (P > 1 ? k * (W - M.l - M.r) / (P - 1) : (W - M.l - M.r) / 2); };
    var y = function (v) { return H - M.b - (H - M.t - M.b) * Math.max(0, Math.min(v, TOP)) / TOP; };
    [0, 500, 825, 1000].forEach(function (v) {
      svgEl("line", { x1: M.l, x2: W - M.r, y1: y(v), y2: y(v), "class": v === 500 || v === 825 ? "thr" : "grid" }, svg);
      svgEl("text", { x: M.l - 4, y: y(v) + 4, "text-anchor": "end" }, svg).textContent = String(v);
    });
    var step = Math.max(1, Math.ceil(P / 6));
    for (var k = 0; k < P; k++) {
      // every step-th period and the last, never two labels on top of each other
      if (k !== P - 1 && (k % step !== 0 || P - 1 - k < step)) continue;
      svgEl("text", { x: x(k), y: H - M.b + 14, "text-anchor": "middle" }, svg).textContent = donemler[k];
    }
    svgEl("text", { x: (M.l + W - M.r) / 2, y: H - 4, "text-anchor": "middle", "class": "axis-title" }, svg).textContent = "Dönem";
    svgEl("text", { x: 10, y: (M.t + H - M.b) / 2, "text-anchor": "middle", "class": "axis-title",
                    transform: "rotate(-90,10," + (M.t + H - M.b) / 2 + ")" }, svg).textContent = "QVR skoru";
    var d = "", pen = false;
    for (k = 0; k < P; k++) {
      var s = S.score[i * P + k];
      if (s === NULL_SCORE) { pen = false; continue; }
      var v = s === -1 ? TOP : s;
      d += (pen ? "L" : "M") + x(k).toFixed(1) + "," + y(v).toFixed(1);
      pen = true;
      var dot = svgEl("circle", { cx: x(k), cy: y(v), r: 3, fill: BAND_COLORS[band(s)] }, svg);
      svgEl("title", {}, dot).textContent = donemler[k] + ": " + scoreShown(s);
    }
    svg.insertBefore(svgEl("path", { d: d, "class": "line" }), svg.querySelector("circle"));
    return svg;
  }
  // Risk history of one borrower: a bar per risk period on a scale from 0 (labelled axes: period,
  // million TL); a missing amount has no bar, a negative one hangs below the zero line.
  function riskChart(i) {
    var W = 440, H = 150, M = { l: 56, r: 26, t: 12, b: 40 };
    var vals = riskDonemler.map(function (d, j) { return S.r[i * R + j]; });
    var nums = vals.filter(isNum), hi = Math.max.apply(null, [0].concat(nums)), lo = Math.min.apply(null, [0].concat(nums));
    if (hi === lo) hi = lo + 1;
    var svg = svgEl("svg", { width: W, height: H, viewBox: "0 0 " + W + " " + H, "class": "hist", role: "img",
      "aria-label": "Risk geçmişi (mio TL): " + riskDonemler.map(function (d, j) { return d + " " + fmtMio(vals[j]); }).join(", ") });
    var y = function (v) { return M.t + (H - M.t - M.b) * (hi - v) / (hi - lo); };
    var slot = (W - M.l - M.r) / Math.max(1, R), bw = Math.max(2, Math.min(28, slot * 0.6));
    [lo, 0, hi].filter(function (v, k, a) { return a.indexOf(v) === k; }).forEach(function (v) {
      svgEl("line", { x1: M.l, x2: W - M.r, y1: y(v), y2: y(v), "class": "grid" }, svg);
      svgEl("text", { x: M.l - 4, y: y(v) + 4, "text-anchor": "end" }, svg).textContent = v === 0 ? "0" : fmtMio(v);
    });
    var step = Math.max(1, Math.ceil(R / 6));
    vals.forEach(function (v, j) {
      var cx = M.l + slot * (j + 0.5);
      if (j === R - 1 || (j % step === 0 && R - 1 - j >= step)) {
        svgEl("text", { x: cx, y: H - M.b + 14, "text-anchor": "middle" }, svg).textContent = riskDonemler[j];
      }
      if (!isNum(v)) return;
      var bar = svgEl("rect", { x: cx - bw / 2, y: Math.min(y(v), y(0)), width: bw,
                                height: Math.max(1, Math.abs(y(v) - y(0))), "class": "bar" }, svg);
      svgEl("title", {}, bar).textContent = riskDonemler[j] + ": " + fmtMio(v) + " mio TL";
    });
    svgEl("text", { x: (M.l + W - M.r) / 2, y: H - 4, "text-anchor": "middle", "class": "axis-title" }, svg).textContent = "Dönem";
    svgEl("text", { x: 10, y: (M.t + H - M.b) / 2, "text-anchor": "middle", "class": "axis-title",
                    transform: "rotate(-90,10," + (M.t + H - M.b) / 2 + ")" }, svg).textContent = "mio TL";
    return svg;
  }
  // The panel takes the focus when it opens and gives it back when it closes. On a wide window
  // it stands beside the page, which keeps its room and stays usable: a complementary region.
  // On a narrower one it covers the page: a modal dialog, the page behind it inert, so the
  // focus stays in the panel until Escape or its close button.
  var returnFocus = null;
  var DOCK_MEDIA = window.matchMedia ? window.matchMedia("(min-width: 1280px)") : null;
  function detailMode() {
    var panel = $("hx-detail"), open = !panel.hidden, docked = !DOCK_MEDIA || DOCK_MEDIA.matches;
    panel.setAttribute("role", docked ? "complementary" : "dialog");
    if (docked || !open) panel.removeAttribute("aria-modal"); else panel.setAttribute("aria-modal", "true");
    document.body.classList.toggle("detail-docked", open && docked);
    placeDock();
    var cover = open && !docked;
    Array.prototype.forEach.call(document.querySelectorAll("body > header, body > main"), function (x) { x.inert = cover; });
    if (open) schedule();                 // the grid's width changes with the panel beside it
  }
  // the docked panel stands beside the grid, from its top to its bottom
  function placeDock() {
    var panel = $("hx-detail");
    if (!document.body.classList.contains("detail-docked")) { panel.style.top = panel.style.height = ""; return; }
    var g = grid.getBoundingClientRect();
    panel.style.top = (g.top + window.scrollY) + "px";
    panel.style.height = g.height + "px";
  }
  if (typeof ResizeObserver === "function") new ResizeObserver(placeDock).observe(document.querySelector("main"));
  if (DOCK_MEDIA) {
    var onDockChange = function () { if (!$("hx-detail").hidden) detailMode(); };
    if (DOCK_MEDIA.addEventListener) DOCK_MEDIA.addEventListener("change", onDockChange); else DOCK_MEDIA.addListener(onDockChange);
  }
  // Tab and Shift+Tab go round the open dialog's controls (the page behind it is inert)
  $("hx-detail").addEventListener("keydown", function (ev) {
    var panel = $("hx-detail");
    if (ev.key !== "Tab" || panel.getAttribute("aria-modal") !== "true") return;
    var all = Array.prototype.filter.call(panel.querySelectorAll("button, a[href], input, select, textarea, [tabindex='0']"),
                                          function (x) { return !x.disabled && x.getClientRects().length; });
    if (!all.length) { ev.preventDefault(); return; }
    var first = all[0], last = all[all.length - 1], at = document.activeElement;
    if (ev.shiftKey && (at === first || at === panel)) { ev.preventDefault(); last.focus(); }
    else if (!ev.shiftKey && at === last) { ev.preventDefault(); first.focus(); }
  });
  function closeDetail() {
    var panel = $("hx-detail");
    if (panel.hidden) return;
    panel.hidden = true;
    detailMode();
    View.selected = -1;
    HXS.detailMuta = null;
    schedule();
    var back = returnFocus && document.contains(returnFocus) ? returnFocus : grid;
    returnFocus = null;
    back.focus();
    State.onViewChanged();
  }
  $("hx-detail-close").addEventListener("click", closeDetail);
  document.addEventListener("keydown", function (ev) {
    if (ev.key === "Escape" && !ev.defaultPrevented && !$("hx-detail").hidden) { ev.preventDefault(); closeDetail(); }
  });

  // ---------------------------------------------------------------- generic views (back-test, predictions)
  // customer numbers and other identifiers are shown as they are, without digit grouping
  function idText(key, v) {
    if (typeof v !== "number") return v;
    if (/muta|(^|_)id$|_no$/i.test(key)) return String(v);
    // probabilities in the page's one format (%19,8)
    if (/olasilik|olasılık|prob/i.test(key) && v >= 0 && v <= 1) return new NumText(fmtPct(v));
    return v;
  }
  function genericView(v, maxRows) {
    maxRows = maxRows || 500;
    if (Array.isArray(v)) {
      if (!v.length) return el("p", "muted", "Kayıt yok.");
      if (v.every(isObj)) {
        var keys = [];
        v.slice(0, 50).forEach(function (o) { Object.keys(o).forEach(function (k) { if (keys.indexOf(k) < 0) keys.push(k); }); });
        return kvTable(v.slice(0, maxRows).map(function (o) { return keys.map(function (k) { return idText(k, o[k]); }); }), keys);
      }
      return kvTable(v.slice(0, maxRows).map(function (x, k) { return [String(k + 1), x]; }));
    }
    if (isObj(v)) {
      var ks = Object.keys(v);
      var nested = ks.length && ks.every(function (k) { return isObj(v[k]); });
      if (nested) {
        var cols = [];
        ks.forEach(function (k) { Object.keys(v[k]).forEach(function (c) { if (cols.indexOf(c) < 0) cols.push(c); }); });
        return kvTable(ks.map(function (k) { return [k].concat(cols.map(function (c) { return v[k][c]; })); }), [""].concat(cols));
      }
      return kvTable(ks.map(function (k) { return [k, v[k]]; }));
    }
    return el("p", null, valueText(v));
  }
  function initSections() {
    var hasBt = isObj(backtestSummary) ? Object.keys(backtestSummary).length > 0 : Array.isArray(backtestSummary) ? backtestSummary.length > 0 : backtestSummary != null && backtestSummary !== "";
    if (hasBt) {
      if (ModelView.BT) ModelView.drawBacktest(); else $("hx-backtest").appendChild(genericView(backtestSummary));
      $("hx-p-backtest").hidden = false;
    }
    ModelView.initModelNote();
    var preds = mlPredictions;
    var hasMl = Array.isArray(preds) ? preds.length > 0 : isObj(preds) ? Object.keys(preds).length > 0 : false;
    if (hasMl) {
      $("hx-ml").appendChild(genericView(Array.isArray(preds) ? preds.slice(0, 500).map(ModelView.predictionInWords) : preds, 500));
      if (Array.isArray(preds)) $("hx-ml-note").textContent = fmtInt(preds.length) + " kayıt" + (preds.length > 500 ? " (ilk 500 gösteriliyor)" : "");
      $("hx-p-ml").hidden = false;
    }
  }

  return {
    closeDetail: closeDetail, genericView: genericView, initSections: initSections, kvTable: kvTable,
    NumText: NumText, showDetail: showDetail
  };
})();
