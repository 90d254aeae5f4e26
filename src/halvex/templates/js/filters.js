// ---------------------------------------------------------------- filters
var Filters = (function () {
  var $ = Page.$, BAND_NAMES = Page.BAND_NAMES, bolgeList = Page.bolgeList, el = Page.el,
      fmtInt = Page.fmtInt, listName = Page.listName, MARKS = Page.MARKS, P = Page.P,
      SEGMENTS = Page.SEGMENTS, subeList = Page.subeList, V316 = Page.V316;
  var watchedChanged = Store.watchedChanged;
  var compareText = Sort.compareText;
  var noFilters = View.noFilters, refresh = View.refresh;
  var foldQuery = Search.foldQuery;
  var grid = Grid.grid, schedule = Grid.schedule;

  function fillSelect(sel, options) {
    sel.textContent = "";
    options.forEach(function (o) {
      var op = el("option", null, o[1]);
      op.value = String(o[0]);
      sel.appendChild(op);
    });
  }
  // Options of a list by shown name: entries sharing a name are one option holding all their
  // codes. [[name, [codes]]], in alphabetical order.
  function byName(list, keep) {
    var groups = new Map();
    list.forEach(function (x, k) {
      if (keep && !keep(x, k)) return;
      var nm = listName(list, k);
      if (!groups.has(nm)) groups.set(nm, []);
      groups.get(nm).push(k);
    });
    return Array.from(groups.entries()).sort(function (x, y) { return compareText(x[0], y[0]); });
  }

  // A multi-select: a disclosure with one checkbox per option; nothing ticked means all.
  // options: [[label, [codes]]]; size: number of codes (code -1, "undefined", included).
  var multi = {};
  function multiSelect(id, key, options, size) {
    var box = $(id), list = box.querySelector(".ms-list"), sum = box.querySelector("summary");
    var title = sum.getAttribute("data-title") || sum.textContent;
    sum.setAttribute("data-title", title);
    list.textContent = "";
    var boxes = options.map(function (o, k) {
      var lab = el("label"), cb = el("input");
      cb.type = "checkbox";
      cb.value = String(k);
      lab.appendChild(cb);
      lab.appendChild(document.createTextNode(" " + o[0]));
      list.appendChild(lab);
      cb.addEventListener("change", function () { read(); onFilterChange(key); });
      return cb;
    });
    function read() {
      var on = [], allowed = new Uint8Array(size + 1);
      boxes.forEach(function (cb, k) {
        if (!cb.checked) return;
        on.push(options[k][0]);
        options[k][1].forEach(function (code) { allowed[code + 1] = 1; });
      });
      View.F[key] = on.length ? allowed : null;
      sum.textContent = title + (on.length === 0 ? "" : on.length <= 2 ? ": " + on.join(", ") : " (" + on.length + ")");
      sum.title = on.length ? title + ": " + on.join(", ") : "";
      box.classList.toggle("on", on.length > 0);
    }
    multi[key] = {
      options: options, read: read,
      labels: function () { return boxes.filter(function (cb) { return cb.checked; }).map(function (cb) { return options[cb.value][0]; }); },
      set: function (labels) { boxes.forEach(function (cb, k) { cb.checked = labels.indexOf(options[k][0]) >= 0; }); read(); }
    };
    read();
    // The summary keeps one width, its title's and room for a choice or two (a longer one ends
    // in an ellipsis, whole in the tooltip): the filter bar never wraps anew as choices
    // change, so the grid below it never moves.
    if (!sum.style.width) sum.style.width = (sum.getBoundingClientRect().width / parseFloat(getComputedStyle(sum).fontSize) + 5).toFixed(2) + "em";
  }
  function fillSubeOptions() {
    var keepLabels = multi.sube ? multi.sube.labels() : [];
    var b = View.F.bolge;
    var opts = byName(subeList, function (s) { return !b || (s && b[(typeof s.bolge_idx === "number" ? s.bolge_idx : -1) + 1]); });
    multiSelect("hx-f-sube", "sube", opts.concat([["Tanımsız", [-1]]]), subeList.length);
    multi.sube.set(keepLabels);
  }
  function onFilterChange(key) {
    if (key === "bolge" && V316) fillSubeOptions();
    refresh();
    grid.scrollTop = 0;
    Grid.cursor = 0;
  }
  // A number field of a filter: its value, or NaN when it is empty or refused. A refused text
  // is marked on its field and said in words beside the filters; its bound is not applied.
  var NUMBER_FIELDS = ["hx-f-risk", "hx-f-risk-max", "hx-f-ml", "hx-f-ml-max", "hx-f-delta-min"];
  var numberErrors = {};
  function numberInput(id, percent) {
    var box = $(id), r = NumberText.parse(box.value, percent);
    if (r.error) {
      numberErrors[id] = box.getAttribute("aria-label") + ": \u201c" + box.value.trim() + "\u201d okunamadı, uygulanmadı. " + r.error;
      box.setAttribute("aria-invalid", "true");
    } else {
      delete numberErrors[id];
      box.removeAttribute("aria-invalid");
    }
    var text = NUMBER_FIELDS.filter(function (f) { return numberErrors[f]; }).map(function (f) { return numberErrors[f]; }).join(" ");
    $("hx-num-err").textContent = text;
    $("hx-num-err").hidden = text === "";
    return r.value;
  }
  function setNumberField(id, x) { $(id).value = NumberText.format(x); numberInput(id, false); }
  function percentOf(x) { return x === x ? x / 100 : NaN; }
  function clearFilters() {
    View.F = noFilters();
    $("hx-chart-filter").hidden = true;
    $("hx-q").value = "";
    $("hx-q-exact").checked = false;
    $("hx-f-watch").checked = false;
    NUMBER_FIELDS.forEach(function (id) { setNumberField(id, NaN); });
    $("hx-f-delta").value = "0";
    $("hx-f-move").value = "0";
    Object.keys(multi).forEach(function (k) { multi[k].set([]); });
    if (V316) fillSubeOptions();
    Array.prototype.forEach.call($("hx-f-marks").querySelectorAll("input"), function (b) { b.checked = false; });
    refresh();
  }
  // The watch list to and from a file, for another machine.
  function initWatchFile() {
    var note = $("hx-watch-note"), file = $("hx-watch-file");
    // the note's room is fixed: a longer text (a long file name) is whole in its tooltip
    function showWatchNote(text) { note.textContent = text; note.title = text; }
    $("hx-watch-export").addEventListener("click", function () {
      Export.downloadBlob(new Blob([WatchList.exportText(Store.watched)], { type: "application/json" }), WatchList.FILE_NAME);
      note.className = "note";
      showWatchNote("İzleme listesi indirildi: " + fmtInt(Store.watched.size) + " MUTA.");
    });
    $("hx-watch-import").addEventListener("click", function () { file.value = ""; file.click(); });
    file.addEventListener("change", function () {
      var f = file.files && file.files[0];
      if (!f) return;
      f.text().then(function (text) {
        var r = WatchList.parseFile(text);
        if (r.error) { note.className = "note error"; showWatchNote(f.name + ": " + r.error + " Liste değişmedi."); return; }
        var got = WatchList.addAll(Store.watchStorage, Store.watched, r.keys);
        watchedChanged(got.set);
        note.className = "note";
        showWatchNote(f.name + ": " + fmtInt(got.added) + " MUTA eklendi, listede " + fmtInt(got.set.size) + " MUTA var.");
      }, function () { note.className = "note error"; showWatchNote(f.name + ": dosya okunamadı. Liste değişmedi."); });
    });
  }
  function initFilters() {
    multiSelect("hx-f-seg", "seg", SEGMENTS.map(function (s, k) { return [s, [k]]; }).concat([["Tanımsız", [-1]]]), 4);
    multiSelect("hx-f-band", "band", BAND_NAMES.map(function (s, k) { return [s, [k]]; }), 5);
    if (V316) {
      multiSelect("hx-f-bolge", "bolge", byName(bolgeList).concat([["Tanımsız", [-1]]]), bolgeList.length);
      fillSubeOptions();
      var marks = $("hx-f-marks");
      MARKS.forEach(function (m, k) {
        var lab = el("label"), box = el("input");
        box.type = "checkbox";
        box.value = String(1 << k);
        box.addEventListener("change", function () {
          var F = View.F;
          F.marks = box.checked ? F.marks | (1 << k) : F.marks & ~(1 << k);
          refresh();
        });
        lab.title = m[1];
        lab.appendChild(box);
        lab.appendChild(document.createTextNode(" " + m[0]));
        marks.appendChild(lab);
      });
    } else {
      Array.prototype.forEach.call(document.querySelectorAll("[data-v316]"), function (x) { x.hidden = true; });
    }
    var qTimer = 0;
    function readQuery() {
      var raw = $("hx-q").value, plain = !$("hx-q-exact").checked, q = foldQuery(raw, plain), F = View.F;
      // a new text that folds to the same query still changes what the URL and print say
      if (q !== F.q || plain !== F.plain || raw.trim() !== F.qRaw) { F.q = q; F.qRaw = raw.trim(); F.plain = plain; State.typing = true; onFilterChange("q"); }
    }
    $("hx-q").addEventListener("input", function () { clearTimeout(qTimer); qTimer = setTimeout(readQuery, 150); });
    $("hx-q-exact").addEventListener("change", readQuery);
    $("hx-f-risk").addEventListener("change", function () { View.F.riskMin = numberInput("hx-f-risk", false); onFilterChange("risk"); });
    $("hx-f-risk-max").addEventListener("change", function () { View.F.riskMax = numberInput("hx-f-risk-max", false); onFilterChange("risk"); });
    $("hx-f-ml").addEventListener("change", function () { View.F.mlMin = percentOf(numberInput("hx-f-ml", true)); onFilterChange("ml"); });
    $("hx-f-ml-max").addEventListener("change", function () { View.F.mlMax = percentOf(numberInput("hx-f-ml-max", true)); onFilterChange("ml"); });
    $("hx-f-delta").addEventListener("change", function () { View.F.deltaDir = Number($("hx-f-delta").value) || 0; onFilterChange("delta"); });
    $("hx-f-delta-min").addEventListener("change", function () {
      var x = numberInput("hx-f-delta-min", false);
      View.F.deltaMin = x === x ? Math.abs(x) : NaN;
      onFilterChange("delta");
    });
    $("hx-f-delta-box").hidden = P < 2;
    $("hx-f-move").addEventListener("change", function () { View.F.move = Number($("hx-f-move").value) || 0; onFilterChange("move"); });
    $("hx-clear").addEventListener("click", clearFilters);
    $("hx-f-watch").addEventListener("change", function () { View.F.watch = $("hx-f-watch").checked; onFilterChange("watch"); });
    initWatchFile();
    $("hx-chart-filter-clear").addEventListener("click", function () { Charts.setChartFilter(null); });
    $("hx-empty-clear").addEventListener("click", function () { clearFilters(); grid.focus(); });
    $("hx-show-all").addEventListener("click", function () { View.limit = Infinity; schedule(); State.onViewChanged(); });
    $("hx-csv").addEventListener("click", Export.exportCsv);
    $("hx-xlsx").addEventListener("click", Export.exportXlsx);
    $("hx-print-btn").addEventListener("click", function () { window.print(); });
    // a click outside closes an open multi-select
    document.addEventListener("click", function (ev) {
      Array.prototype.forEach.call(document.querySelectorAll("details.ms[open]"), function (d) {
        if (!d.contains(ev.target)) d.open = false;
      });
    });
    Array.prototype.forEach.call(document.querySelectorAll("details.ms"), function (d) {
      // Escape closes the list and leaves the focus on its summary
      d.addEventListener("keydown", function (ev) {
        if (ev.key !== "Escape" || !d.open) return;
        ev.preventDefault();
        d.open = false;
        d.querySelector("summary").focus();
      });
      d.addEventListener("toggle", function () { if (d.open) keepInView(d.querySelector(".ms-list")); });
    });
  }
  // An open list that would run past the window's right edge moves left, so a narrow
  // window never scrolls sideways for it.
  function keepInView(list) {
    list.style.left = "";
    var r = list.getBoundingClientRect(), room = document.documentElement.clientWidth - 4;
    if (r.right > room) list.style.left = Math.min(0, room - r.right) + "px";
    r = list.getBoundingClientRect();
    if (r.left < 4) list.style.left = (parseFloat(list.style.left || "0") + 4 - r.left) + "px";
  }

  return {
    fillSelect: fillSelect, fillSubeOptions: fillSubeOptions, initFilters: initFilters, multi: multi,
    numberInput: numberInput, onFilterChange: onFilterChange, percentOf: percentOf,
    setNumberField: setNumberField
  };
})();
