// ---------------------------------------------------------------- the model on the page
// The probability against the alert threshold, caught / missed, the model's reasons and
// back-test history in a borrower's detail, the back-test panel and the run's warnings.
var ModelView = (function () {
  var $ = Page.$, ALARM_THR = Page.ALARM_THR, arr = Page.arr, backtestFirma = Page.backtestFirma,
      backtestSummary = Page.backtestSummary, el = Page.el, fmtInt = Page.fmtInt, HXS = Page.HXS,
      isObj = Page.isObj, MARKS = Page.MARKS, meta = Page.meta, MISSING = Page.MISSING,
      mlPredictions = Page.mlPredictions, svgEl = Page.svgEl, V316 = Page.V316;
  var S = Store.S;
  var fillSelect = Filters.fillSelect, numberInput = Filters.numberInput,
      onFilterChange = Filters.onFilterChange;
  var genericView = Detail.genericView, kvTable = Detail.kvTable, NumText = Detail.NumText;

  var BT = ModelText.backtest(backtestSummary);
  var predIndex = null;
  function predictionOf(muta) {
    if (!predIndex) predIndex = ModelText.predictionIndex(mlPredictions);
    return predIndex.get(ModelText.idKey(muta)) || null;
  }
  // Without a threshold in the document the old mark stands: one half and above.
  function mlAlarm(v) { return ALARM_THR === ALARM_THR ? ModelText.atOrAbove(v, ALARM_THR) : v >= 0.5; }
  function markAlarm(cell, v) {
    var on = mlAlarm(v);
    if (cell.classList.contains("ml-high") !== on) cell.classList.toggle("ml-high", on);
    if (ALARM_THR === ALARM_THR && cell.classList.contains("ml-alarm") !== on) cell.classList.toggle("ml-alarm", on);
  }
  function thresholdText() { return ALARM_THR === ALARM_THR ? "alarm eşiği " + ModelText.pct(ALARM_THR) : ""; }
  function mlTip(v) {
    var t = "ML YI olasılığı " + ModelText.pct(v);
    if (ALARM_THR === ALARM_THR) t += ModelText.atOrAbove(v, ALARM_THR) ? " – ▲ " + thresholdText() + " ve üstünde" : " – " + thresholdText() + " altında";
    return t;
  }
  // caught / missed are the back-test's, at its latest origin, not this period's
  function caughtNote() {
    var at = BT && BT.latestOrigin ? " (" + BT.latestOrigin + ")" : "";
    var h = BT && BT.horizon != null ? " (" + fmtInt(BT.horizon) + " dönem)" : "";
    return "geri testin son başlangıç dönemine" + at + " göre; bu dönem verinin en az ufuk" + h + " kadar gerisindedir";
  }
  function markTitle(k) { return MARKS[k][1] + (k === 4 || k === 5 ? " – " + caughtNote() : ""); }

  // The run's warnings (gates, a model not validated) and what the marks rest on, above the grid.
  function initModelNote() {
    var box = $("hx-model"), warns = [];
    // the failed gates of the night's run ({kapi, gecti, mesaj}; a plain text is shown as it is)
    arr(meta.uyarilar).forEach(function (w) {
      var t = w !== null && typeof w === "object" ? w.mesaj : w;
      if (t != null && String(t).trim()) warns.push(String(t));
    });
    if (meta.model_dogrulandi === false) {
      warns.push(meta.model_notu != null && String(meta.model_notu).trim() ? String(meta.model_notu)
                 : "Model bu çalıştırmada eğitildi, doğrulanmadı.");
    }
    if (warns.length) {
      var ul = box.appendChild(el("ul", "model-warn"));
      ul.setAttribute("aria-label", "Model uyarıları");
      warns.forEach(function (w) { ul.appendChild(el("li", null, "⚠ " + w)); });
    }
    if (V316) {
      var info = [];
      if (meta.model_id != null && String(meta.model_id)) info.push("Model: " + String(meta.model_id));
      if (meta.model_egitim_tarihi != null && String(meta.model_egitim_tarihi)) info.push("eğitim: " + String(meta.model_egitim_tarihi));
      if (ALARM_THR === ALARM_THR) info.push("alarm eşiği: " + ModelText.pct(ALARM_THR) + " (▲ eşikte ve üstünde)");
      if (info.length) {
        var line = box.appendChild(el("p", "model-info", info.join(" · ")));
        if (ALARM_THR === ALARM_THR) {
          var only = line.appendChild(el("button", "mini no-print", "Eşik ve üstünü listele"));
          only.type = "button";
          only.id = "hx-model-alarm";
          only.addEventListener("click", showAlarmed);
        }
      }
      if (BT) box.appendChild(el("p", "model-info", "Yakalanan (YK) / Kaçırılan (KÇ): " + caughtNote() + "."));
    }
    box.hidden = !box.firstChild;
    var marks = $("hx-f-marks").querySelectorAll("label");
    [4, 5].forEach(function (k) { if (marks[k]) marks[k].title = markTitle(k); });
  }

  // the probability filter from the threshold itself (typed, the percent would round it)
  function showAlarmed() {
    $("hx-f-ml").value = NumberText.format(Math.round(ALARM_THR * 1e8) / 1e6);
    numberInput("hx-f-ml", true);
    View.F.mlMin = ALARM_THR;
    onFilterChange("ml");
  }

  // ---- the borrower's detail
  function modelFacts(i) {
    var rows = [], v = S.ml[i];
    if (ALARM_THR === ALARM_THR) {
      rows.push(["Alarm eşiği (%)", new NumText(ModelText.pctNumber(ALARM_THR) + (ModelText.atOrAbove(v, ALARM_THR) ? " ▲ eşikte ya da üstünde" : " (altında)"))]);
    }
    if (S.marks[i] & 48) rows.push(["Yakalanan / kaçırılan", caughtNote()]);
    return rows;
  }
  function modelReasons(box, muta) {
    var pred = predictionOf(muta);
    if (!pred || !("reasons" in pred)) return;          // sections of other shapes carry no reasons
    var reasons = ModelText.reasonsOf(pred);
    box.appendChild(el("h3", null, "Modelin nedenleri" + (pred.donem != null ? " (" + String(pred.donem) + ")" : "")));
    if (!reasons.length) {
      box.appendChild(el("p", "muted", "Bu firma için neden hesaplanmadı (nedenler en riskli firmalar için hesaplanır)."));
      return;
    }
    var ul = box.appendChild(el("ul", "reasons"));
    reasons.forEach(function (r) {
      var li = ul.appendChild(el("li", "dir" + (r.dir > 0 ? "-up" : r.dir < 0 ? "-down" : "-none")));
      li.appendChild(el("span", "arrow", r.arrow)).setAttribute("aria-hidden", "true");
      li.appendChild(el("span", "label", r.label));
      li.appendChild(document.createTextNode(" – " + r.effect + " "));
      var lo = li.appendChild(el("span", "lo", "(" + r.value + " log-odds)"));
      lo.title = "Olasılığın log-odds ölçeğinde bu özelliğin katkısı" + (r.feature ? " (" + r.feature + ")" : "");
    });
  }
  function modelHistory(box, muta) {
    var entry = backtestFirma[String(muta)];
    if (entry == null) return;
    var hist = ModelText.history(entry);
    box.appendChild(el("h3", null, "Geri test geçmişi"));
    if (!hist.length) { box.appendChild(genericView(entry)); return; }
    box.appendChild(kvTable(hist.map(function (h) {
      return [h.origin, new NumText(ModelText.pctNumber(h.prob)), ModelText.yesNo(h.alerted), ModelText.yesNo(h.outcome), h.status];
    }), ["Başlangıç", "Olasılık (%)", "Alarm", "YI oldu", "Sonuç"]));
    box.appendChild(el("p", "note", "YI oldu: başlangıçtan sonraki ufuk içinde YI'ye girdi."));
  }

  // a prediction of the list with its reasons in words, not as JSON
  function predictionInWords(p) {
    if (!isObj(p) || !Array.isArray(p.reasons)) return p;
    var out = Object.assign({}, p);
    out.reasons = ModelText.reasonsOf(p).map(function (r) { return r.arrow + " " + r.label + " (" + r.value + ")"; }).join("; ");
    return out;
  }

  // ---- the back-test panel
  // whole percents on an axis ("%25"), a tenth where a tick needs it ("%2,5")
  function axisPct(v) { return ModelText.pct(v).replace(/,0$/, ""); }
  function axisChart(label, xTitle, yTitle, xMax, yMax) {
    var W = 320, H = 230, M = { l: 58, r: 14, t: 12, b: 42 };
    var svg = svgEl("svg", { width: W, height: H, viewBox: "0 0 " + W + " " + H, "class": "hist bt-chart", role: "img", "aria-label": label });
    var x = function (v) { return M.l + (W - M.l - M.r) * v / xMax; };
    var y = function (v) { return H - M.b - (H - M.t - M.b) * v / yMax; };
    for (var k = 0; k <= 4; k++) {
      var vx = xMax * k / 4, vy = yMax * k / 4;
      svgEl("line", { x1: M.l, x2: W - M.r, y1: y(vy), y2: y(vy), "class": "grid" }, svg);
      svgEl("text", { x: M.l - 4, y: y(vy) + 4, "text-anchor": "end" }, svg).textContent = axisPct(vy);
      svgEl("text", { x: x(vx), y: H - M.b + 14, "text-anchor": "middle" }, svg).textContent = axisPct(vx);
    }
    svgEl("text", { x: (M.l + W - M.r) / 2, y: H - 6, "text-anchor": "middle", "class": "axis-title" }, svg).textContent = xTitle;
    svgEl("text", { x: 10, y: (M.t + H - M.b) / 2, "text-anchor": "middle", "class": "axis-title",
                    transform: "rotate(-90,10," + (M.t + H - M.b) / 2 + ")" }, svg).textContent = yTitle;
    return { svg: svg, x: x, y: y };
  }
  // top of a 0..1 axis of four steps, each a round share (1, 2, 2.5, 5, 10, 20 or 25 %)
  function niceMax(v) {
    var steps = [0.01, 0.02, 0.025, 0.05, 0.1, 0.2, 0.25];
    for (var k = 0; k < steps.length; k++) if (v <= 4 * steps[k] + 1e-12) return 4 * steps[k];
    return 1;
  }
  function captureChart(block) {
    var pts = ModelText.capturePoints(block);
    if (pts.length < 2) return el("p", "empty-note", "Yakalama eğrisi verisi yok.");
    var xMax = niceMax(pts[pts.length - 1].share);
    var label = "Yakalama eğrisi: " + pts.slice(1).map(function (p) { return "en riskli " + ModelText.pct(p.share) + " içinde YI'lerin " + ModelText.pct(p.capture); }).join(", ");
    var c = axisChart(label, "İncelenen firma payı (en riskliden)", "Yakalanan YI payı", xMax, 1);
    svgEl("line", { x1: c.x(0), y1: c.y(0), x2: c.x(xMax), y2: c.y(xMax), "class": "thr" }, c.svg);
    svgEl("path", { d: pts.map(function (p, k) { return (k ? "L" : "M") + c.x(p.share).toFixed(1) + "," + c.y(p.capture).toFixed(1); }).join(""), "class": "line" }, c.svg);
    pts.slice(1).forEach(function (p) {
      var dot = svgEl("circle", { cx: c.x(p.share), cy: c.y(p.capture), r: 3.5, "class": "pt" }, c.svg);
      svgEl("title", {}, dot).textContent = "En riskli " + ModelText.pct(p.share) + ": YI'lerin " + ModelText.pct(p.capture) +
        (p.lift != null ? " (kaldıraç " + ModelText.ratio(p.lift, 1) + ")" : "");
      // below and right of its point: under the rising curve, clear of the axis
      svgEl("text", { x: c.x(p.share) + 5, y: c.y(p.capture) + 14, "text-anchor": p.share >= xMax * 0.9 ? "end" : "start" }, c.svg).textContent = ModelText.pct(p.capture);
    });
    return c.svg;
  }
  function calibrationChart(block) {
    var pts = ModelText.calibrationPoints(block);
    if (!pts.length) return el("p", "empty-note", "Kalibrasyon verisi yok.");
    var top = niceMax(Math.max.apply(null, pts.map(function (p) { return Math.max(p.prob, p.rate); })));
    var label = "Kalibrasyon, ondalık dilimler: " + pts.map(function (p) { return ModelText.pct(p.prob) + " tahmin, " + ModelText.pct(p.rate) + " gözlenen"; }).join("; ");
    var c = axisChart(label, "Ortalama olasılık (dilim)", "Gözlenen YI oranı", top, top);
    svgEl("line", { x1: c.x(0), y1: c.y(0), x2: c.x(top), y2: c.y(top), "class": "thr" }, c.svg);
    pts.forEach(function (p) {
      var dot = svgEl("circle", { cx: c.x(Math.min(p.prob, top)), cy: c.y(Math.min(p.rate, top)), r: 3.5, "class": "pt" }, c.svg);
      svgEl("title", {}, dot).textContent = "Ortalama olasılık " + ModelText.pct(p.prob) + ", gözlenen " + ModelText.pct(p.rate) +
        (p.rows != null ? " (" + fmtInt(p.rows) + " firma)" : "");
    });
    return c.svg;
  }
  function countCell(v) { return new NumText(v == null ? MISSING : fmtInt(v)); }
  function metricsCells(block, withScore) {
    var m = ModelText.metrics(block);
    var out = [countCell(m.rows), countCell(m.positives), new NumText(ModelText.ratio(m.auc))];
    if (withScore) out.push(new NumText(ModelText.ratio(m.scoreAuc)));
    return out.concat([countCell(m.alerted), countCell(m.caught), countCell(m.missed), countCell(m.falseAlarms)]);
  }
  var METRIC_HEAD = ["Firma", "YI", "AUC", "Yalnız skor AUC", "Alarm", "Yakalanan", "Kaçırılan", "Yanlış alarm"];
  function drawBacktest() {
    var box = $("hx-backtest");
    box.classList.add("bt");
    $("hx-p-backtest").classList.add("wide");
    var first = BT.origins.length ? String(BT.origins[0].origin) : "", last = BT.latestOrigin;
    var head = [];
    if (BT.horizon != null) head.push("Ufuk: " + fmtInt(BT.horizon) + " dönem");
    if (BT.origins.length) head.push("Başlangıç dönemleri: " + fmtInt(BT.origins.length) + (first && first !== last ? " (" + first + " – " + last + ")" : last ? " (" + last + ")" : ""));
    if (head.length) box.appendChild(el("p", "note", head.join(" · ")));
    var views = [];
    if (BT.overall) views.push(["Tüm başlangıçlar (havuz)", BT.overall]);
    BT.origins.forEach(function (o) { views.push(["Başlangıç " + String(o.origin), o]); });
    var pick = null;
    if (views.length > 1) {
      var lab = box.appendChild(el("label", "no-print bt-pick", "Grafikler ve segmentler: "));
      pick = lab.appendChild(el("select"));
      fillSelect(pick, views.map(function (v, k) { return [k, v[0]]; }));
    }
    var charts = box.appendChild(el("div", "bt-charts"));
    var segBox = el("div");
    function drawView() {
      var v = views[pick ? Number(pick.value) : 0][1];
      charts.textContent = "";
      [["Yakalama eğrisi", captureChart(v)], ["Kalibrasyon (ondalık dilimler)", calibrationChart(v)]].forEach(function (c) {
        var fig = charts.appendChild(el("figure"));
        fig.appendChild(el("figcaption", null, c[0]));
        fig.appendChild(c[1]);
      });
      segBox.textContent = "";
      var segs = isObj(v.segments) ? v.segments : null;
      if (segs && Object.keys(segs).length) {
        segBox.appendChild(el("h3", null, "Segmentlere göre"));
        segBox.appendChild(kvTable(Object.keys(segs).map(function (name) { return [name].concat(metricsCells(segs[name], true)); }),
                                   ["Segment"].concat(METRIC_HEAD)));
      }
      HXS.backtestView = pick ? Number(pick.value) : 0;
    }
    if (pick) pick.addEventListener("change", drawView);
    drawView();
    if (BT.origins.length) {
      box.appendChild(el("h3", null, "Başlangıç dönemlerine göre"));
      var rows = BT.origins.map(function (o) { return [String(o.origin)].concat(metricsCells(o, true)); });
      if (BT.overall) rows.push(["Havuz"].concat(metricsCells(BT.overall, true)));
      box.appendChild(kvTable(rows, ["Başlangıç"].concat(METRIC_HEAD)));
    }
    box.appendChild(segBox);
    box.appendChild(el("p", "note", "AUC: modelin sıralama gücü; yalnız skor AUC: aynı firmalarda yalnız QVR skorunun. Alarm: en riskli pay; " +
      "yakalanan: alarm verilip ufuk içinde YI olan, kaçırılan: alarm verilmeyip YI olan, yanlış alarm: alarm verilip YI olmayan."));
  }

  return {
    BT: BT, drawBacktest: drawBacktest, initModelNote: initModelNote, markAlarm: markAlarm,
    markTitle: markTitle, mlTip: mlTip, modelFacts: modelFacts, modelHistory: modelHistory,
    modelReasons: modelReasons, predictionInWords: predictionInWords
  };
})();
