// ---------------------------------------------------------------- column chooser
// Show or hide, reorder, resize and pin columns. Pinned columns always stand first, so a
// scrolled column never slides under them.
var Columns = (function () {
  var $ = Page.$, el = Page.el;
  var COLS_BY_ID = Store.COLS_BY_ID, defaultOrder = Store.defaultOrder;
  var applyColumns = Grid.applyColumns;

  function initColumnChooser() { togglePanel($("hx-cols-btn"), $("hx-cols"), renderChooser); }
  // A panel shown and hidden by its button; onOpen fills it. Escape, in the panel or on its
  // button, closes it and gives the focus to the button.
  function togglePanel(btn, panel, onOpen) {
    btn.addEventListener("click", function () {
      panel.hidden = !panel.hidden;
      btn.setAttribute("aria-expanded", panel.hidden ? "false" : "true");
      if (!panel.hidden) onOpen();
    });
    function escape(ev) {
      if (ev.key !== "Escape" || panel.hidden) return;
      ev.preventDefault();
      panel.hidden = true;
      btn.setAttribute("aria-expanded", "false");
      btn.focus();
    }
    panel.addEventListener("keydown", escape);
    btn.addEventListener("keydown", escape);
  }
  function renderChooser() {
    var layout = Grid.colLayout;
    var panel = $("hx-cols");
    panel.textContent = "";
    var tools = panel.appendChild(el("div", "cols-tools"));
    var order = tools.appendChild(el("button", null, layout.newestFirst ? "Dönemler: eskiden yeniye" : "Dönemler: yeniden eskiye"));
    order.type = "button";
    order.addEventListener("click", function () {
      layout.newestFirst = !layout.newestFirst;
      layout.order = defaultOrder(layout.newestFirst);
      applyColumns(); renderChooser();
    });
    var reset = tools.appendChild(el("button", null, "Varsayılan sütunlar"));
    reset.type = "button";
    reset.addEventListener("click", function () {
      Grid.resetLayout();
      applyColumns(); renderChooser();
    });
    var t = panel.appendChild(el("table", "kv cols-table"));
    var hr = t.appendChild(el("tr"));
    ["Sütun", "Göster", "Sabitle", "Sıra", "Genişlik (px)"].forEach(function (h) { hr.appendChild(el("th", null, h)); });
    layout.order.forEach(function (id, k) {
      var c = COLS_BY_ID[id], tr = t.appendChild(el("tr"));
      tr.appendChild(el("td", null, c.period != null ? "Skor " + c.title : c.title));
      function box(checked, label, onChange) {
        var td = tr.appendChild(el("td")), cb = td.appendChild(el("input"));
        cb.type = "checkbox"; cb.checked = checked; cb.setAttribute("aria-label", label);
        cb.addEventListener("change", function () { onChange(cb.checked); applyColumns(); });
      }
      box(!layout.hidden[id], c.title + " göster", function (on) { if (on) delete layout.hidden[id]; else layout.hidden[id] = true; });
      box(!!layout.pinned[id], c.title + " sabitle", function (on) { if (on) layout.pinned[id] = true; else delete layout.pinned[id]; });
      var td = tr.appendChild(el("td"));
      [["↑", -1, "yukarı"], ["↓", 1, "aşağı"]].forEach(function (m) {
        var b = td.appendChild(el("button", "mini", m[0]));
        b.type = "button";
        b.setAttribute("aria-label", c.title + " " + m[2]);
        b.disabled = k + m[1] < 0 || k + m[1] >= layout.order.length;
        b.addEventListener("click", function () {
          var o = layout.order, j = k + m[1], x = o[k];
          o[k] = o[j]; o[j] = x;
          applyColumns(); renderChooser();
          var again = $("hx-cols").querySelectorAll("tr")[j + 1];
          if (again) again.querySelectorAll("button.mini")[m[1] < 0 ? 0 : 1].focus();
        });
      });
      var wtd = tr.appendChild(el("td")), w = wtd.appendChild(el("input", "num-in"));
      w.type = "number"; w.min = "40"; w.max = "600"; w.value = String(Math.round(layout.width[id] || c.w0));
      w.setAttribute("aria-label", c.title + " genişliği");
      w.addEventListener("change", function () { var v = Number(w.value); if (v > 0) { layout.width[id] = v; applyColumns(); } });
    });
  }

  return {
    initColumnChooser: initColumnChooser, togglePanel: togglePanel
  };
})();
