// ---------------------------------------------------------------- chunk loading
var Loader = (function () {
  var $ = Page.$, ADMIN = Page.ADMIN, cfg = Page.cfg, DECODER_CFG = Page.DECODER_CFG,
      donemler = Page.donemler, fmtInt = Page.fmtInt, HXS = Page.HXS, decoder = Page.decoder, meta = Page.meta,
      P = Page.P, SLOTS = Page.SLOTS, TOTAL_CHUNKS = Page.TOTAL_CHUNKS, TOTAL_ROWS = Page.TOTAL_ROWS,
      V316 = Page.V316;
  var appendColumns = Store.appendColumns, mergeNames = Store.mergeNames, S = Store.S;
  var filtersActive = View.filtersActive, refresh = View.refresh, refreshSoon = View.refreshSoon;
  var announce = Announce.announce, announceLoaded = Announce.announceLoaded;
  var buildHead = Grid.buildHead, schedule = Grid.schedule, updateCounts = Grid.updateCounts;
  var initHeadFilters = ColFilter.initHeadFilters;
  var initColumnChooser = Columns.initColumnChooser;
  var initViewsPanel = ViewsPanel.initViewsPanel;
  var initFilters = Filters.initFilters;
  var updateExportState = Export.updateExportState;
  var initSections = Detail.initSections;
  var chartsAfterLoad = Charts.chartsAfterLoad, initCharts = Charts.initCharts;
  var openPendingSel = State.openPendingSel, restoreFromUrl = State.restoreFromUrl;

  var results = new Map(), nextAppend = 0, done = 0, workers = [], sent = 0;
  var GZ = !!cfg.gz;

  function setStatus(msg, isError) {
    var s = $("hx-status"), cls = isError ? "error" : "";
    if (s.textContent === msg && s.className === cls) return;   // said once, not again
    s.textContent = msg;
    s.title = msg;                        // whole, where the line has to cut it short
    s.className = cls;
    if (isError) announce(msg);
  }
  // the bar keeps its place once done, so nothing after it moves
  function hideProgress() { $("hx-progress").style.visibility = "hidden"; }
  // The bar, the status line and the counts follow the chunks a few times a second: each
  // change costs the page a layout, and a million rows come in a hundred chunks.
  var progressTimer = 0;
  function showProgress() {
    progressTimer = 0;
    $("hx-progress").value = TOTAL_CHUNKS ? done / TOTAL_CHUNKS : 1;
    if (done < TOTAL_CHUNKS) {
      setStatus((GZ ? "Veri açılıyor… " : "Veri yükleniyor… ") + done + " / " + TOTAL_CHUNKS + " parça");
      updateCounts();
    }
  }
  function progress() {
    HXS.decodedChunks = done;
    if (done < TOTAL_CHUNKS) {
      if (!progressTimer) progressTimer = setTimeout(showProgress, done === 1 ? 0 : 200);
      return;
    }
    clearTimeout(progressTimer);
    showProgress();
    HXS.failedChunks.sort(function (a, b) { return a - b; });
    if (HXS.failedChunks.length) setStatus("Okunamayan veri parçaları: " + HXS.failedChunks.join(", "), true);
    else setStatus("Yükleme tamamlandı: " + fmtInt(S.n) + " firma.");
    hideProgress();
    workers.forEach(function (w) { w.terminate(); });
    workers = [];
    if (View.sorts.length || filtersActive()) refresh(); else { View.allRows(); schedule(); }
    HXS.allDecodedAt = performance.now();
    announceLoaded();
    chartsAfterLoad();
    openPendingSel();
    updateExportState();
    mergeNames(function () { HXS.namesMergedAt = performance.now(); });
  }
  function finish(i, cols, error) {
    if (results.has(i) || i < nextAppend) return;
    if (!HXS.firstChunkAt) HXS.firstChunkAt = performance.now();
    results.set(i, error != null ? null : cols);
    if (cols && cols.ms) for (var t = 0; t < 3; t++) HXS.decodeMs[t] += cols.ms[t];
    if (error != null) { HXS.failedChunks.push(i); HXS.errors.push("chunk " + i + ": " + error); }
    done++;
    var appended = false;
    while (results.has(nextAppend)) {
      var c = results.get(nextAppend);
      results.delete(nextAppend);
      if (c) { var ta = performance.now(); appendColumns(c); HXS.appendMs += performance.now() - ta; appended = true; }
      nextAppend++;
    }
    if (appended && done < TOTAL_CHUNKS) refreshSoon();
    progress();
  }
  function decodeHere(i, text) {
    decoder.submit({ i: i, text: text, gz: GZ }, finish);
  }
  var WORKERS_MAX = 4;   // the page's own thread is mostly idle once the HTML is read
  function startWorkers() {
    if (typeof Worker === "undefined" || typeof Blob === "undefined" || !window.URL) return;
    var n = Math.max(1, Math.min(WORKERS_MAX, navigator.hardwareConcurrency || 2));
    if (TOTAL_CHUNKS < 4) n = 1;
    try {
      var src = "(" + hxDecoder.toString() + ")(self);";
      var url = URL.createObjectURL(new Blob([src], { type: "text/javascript" }));
      for (var k = 0; k < n; k++) {
        var w = new Worker(url);
        w.onmessage = function (ev) { this.inflight--; dispatch(); finish(ev.data.i, ev.data.cols, ev.data.error); };
        w.onerror = function (ev) { ev.preventDefault(); HXS.errors.push("worker: " + (ev.message || "error")); };
        w.postMessage({ init: DECODER_CFG });
        w.inflight = 0;
        workers.push(w);
      }
    } catch (err) {
      workers = [];
    }
    HXS.workers = workers.length;
  }
  decoder.init(DECODER_CFG);

  // Called by the page right after the script element of chunk i has been parsed.
  function chunk(i) {
    if (!HXS.firstChunkSentAt) HXS.firstChunkSentAt = performance.now();
    var node = $("hx-chunk-" + i);
    var text = node ? node.textContent : "";
    if (node) node.remove();
    sent++;
    if (!SLOTS) { finish(i, null, "satır düzeni (row slots) eksik"); return; }
    if (GZ && typeof DecompressionStream === "undefined") { finish(i, null, "DecompressionStream yok"); return; }
    if (workers.length) { waiting.push({ i: i, text: text, gz: GZ }); dispatch(); }
    else decodeHere(i, text);
  }
  // Chunks go to the least busy worker, at most PER_WORKER at a time each, so that a slow
  // chunk does not hold up the ones queued behind it.
  var waiting = [], PER_WORKER = 2;
  function dispatch() {
    while (waiting.length && workers.length) {
      var best = workers[0];
      for (var k = 1; k < workers.length; k++) if (workers[k].inflight < best.inflight) best = workers[k];
      if (best.inflight >= PER_WORKER) return;
      best.inflight++;
      best.postMessage(waiting.shift());
    }
  }
  function end() {
    HXS.parsedAt = performance.now();
    if (TOTAL_CHUNKS === 0) { setStatus("Gösterilecek veri yok."); announce("Gösterilecek veri yok."); hideProgress(); HXS.allDecodedAt = performance.now(); }
    if (GZ && typeof DecompressionStream === "undefined") {
      setStatus("Bu tarayıcı sıkıştırılmış veriyi açamıyor (DecompressionStream desteklenmiyor). Lütfen güncel bir Chrome, Edge, Firefox veya Safari ile açın.", true);
    }
  }

  // ---------------------------------------------------------------- start
  // Once every module is built: the page's heading, the controls, the workers, the URL's view.
  function start() {
    var startT0 = performance.now();
    var title = meta.title != null && String(meta.title).trim() ? String(meta.title) : "QVR Erken Uyarı Paneli";
    $("hx-title").textContent = title;
    document.title = title + (V316 ? "" : " (sıkıştırılmış)");
    $("hx-period").textContent = P ? "Dönem: " + donemler[0] + " – " + donemler[P - 1] : "";
    $("hx-generated").textContent = meta.generated_at ? "Oluşturma: " + String(meta.generated_at).replace("T", " ") : "";
    if (ADMIN) { $("hx-mode").textContent = "Yönetici görünümü"; $("hx-mode").className = "badge admin"; }
    else if (!V316) $("hx-mode").textContent = "sıkıştırılmış veri";
    $("hx-total").textContent = fmtInt(TOTAL_ROWS);
    // each count has the room of the largest it can reach, so the bar keeps its width as they grow
    ["hx-total", "hx-loaded", "hx-matched", "hx-shown"].forEach(function (id) { $(id).style.minWidth = fmtInt(TOTAL_ROWS).length + "ch"; });
    buildHead();
    initFilters();
    initColumnChooser();
    initViewsPanel();
    initHeadFilters();
    initSections();
    initCharts();
    startWorkers();
    updateCounts();
    restoreFromUrl(true);
    document.body.classList.add("hx-ready");     // laid out: the page may be shown
    HXS.scriptAt = startT0;
    HXS.startupMs = performance.now() - startT0;
    window.HX = { chunk: chunk, end: end };

  }

  return {
    get done() { return done; }, hideProgress: hideProgress, setStatus: setStatus, start: start
  };
})();
