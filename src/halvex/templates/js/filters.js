// ---------------------------------------------------------------- filters
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
    F[key] = on.length ? allowed : null;
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
  var b = F.bolge;
  var opts = byName(subeList, function (s) { return !b || (s && b[(typeof s.bolge_idx === "number" ? s.bolge_idx : -1) + 1]); });
  multiSelect("hx-f-sube", "sube", opts.concat([["Tanımsız", [-1]]]), subeList.length);
  multi.sube.set(keepLabels);
}
function onFilterChange(key) {
  if (key === "bolge" && V316) fillSubeOptions();
  refresh();
  grid.scrollTop = 0;
  cursor = 0;
}
function numberInput(id) {
  var v = $(id).value.trim().replace(",", ".");
  var x = v === "" ? NaN : Number(v);
  return isFinite(x) ? x : NaN;
}
function clearFilters() {
  F = noFilters();
  $("hx-chart-filter").hidden = true;
  $("hx-q").value = "";
  $("hx-q-plain").checked = false;
  $("hx-f-watch").checked = false;
  $("hx-f-risk").value = "";
  $("hx-f-ml").value = "";
  $("hx-f-move").value = "0";
  Object.keys(multi).forEach(function (k) { multi[k].set([]); });
  if (V316) fillSubeOptions();
  Array.prototype.forEach.call($("hx-f-marks").querySelectorAll("input"), function (b) { b.checked = false; });
  refresh();
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
    var raw = $("hx-q").value, plain = $("hx-q-plain").checked, q = foldQuery(raw, plain);
    if (q !== F.q || plain !== F.plain) { F.q = q; F.qRaw = raw.trim(); F.plain = plain; typing = true; onFilterChange("q"); }
  }
  $("hx-q").addEventListener("input", function () { clearTimeout(qTimer); qTimer = setTimeout(readQuery, 150); });
  $("hx-q-plain").addEventListener("change", readQuery);
  $("hx-f-risk").addEventListener("change", function () { F.riskMin = numberInput("hx-f-risk"); onFilterChange("risk"); });
  $("hx-f-ml").addEventListener("change", function () { var x = numberInput("hx-f-ml"); F.mlMin = x === x ? x / 100 : NaN; onFilterChange("ml"); });
  $("hx-f-move").addEventListener("change", function () { F.move = Number($("hx-f-move").value) || 0; onFilterChange("move"); });
  $("hx-clear").addEventListener("click", clearFilters);
  $("hx-f-watch").addEventListener("change", function () { F.watch = $("hx-f-watch").checked; onFilterChange("watch"); });
  $("hx-chart-filter-clear").addEventListener("click", function () { setChartFilter(null); });
  $("hx-empty-clear").addEventListener("click", function () { clearFilters(); grid.focus(); });
  $("hx-show-all").addEventListener("click", function () { limit = Infinity; schedule(); });
  $("hx-csv").addEventListener("click", exportCsv);
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
