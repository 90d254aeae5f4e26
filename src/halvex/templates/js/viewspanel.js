// ---------------------------------------------------------------- saved views panel
// Save the view as it is under a name, apply or delete a saved one, and move the list to and
// from a file. Applying a view is going to its URL fragment: the view is restored as a link
// would restore it, and Back returns to the view before.
var ViewsPanel = (function () {
  var $ = Page.$, el = Page.el;
  var announce = Announce.announce, matchedText = Announce.matchedText;
  var togglePanel = Columns.togglePanel;

  var viewsStorage = null;
  try { viewsStorage = window.localStorage; viewsStorage.getItem(SavedViews.STORAGE_KEY); } catch (err) { viewsStorage = null; }
  function initViewsPanel() {
    var panel = $("hx-views");
    togglePanel($("hx-views-btn"), panel, function () { renderViews(""); $("hx-view-name").focus(); });
    $("hx-views-file").addEventListener("change", function () {
      var f = $("hx-views-file").files && $("hx-views-file").files[0];
      if (f) importViewsFile(f);
    });
    // another page of this origin may have saved a view
    window.addEventListener("storage", function (ev) {
      if ((ev.key === SavedViews.STORAGE_KEY || ev.key === null) && !panel.hidden) renderViews("");
    });
  }
  function applySavedView(v) {
    var frag = "#" + v.state;
    if (location.hash === frag || (v.state === "" && location.hash === "")) return;
    try { history.pushState(null, "", location.pathname + location.search + (v.state ? frag : "")); } catch (err) { /* a file page */ }
    State.restoreFromUrl(false);
    announce("Görünüm uygulandı: " + v.name + ". " + matchedText());
  }
  function renderViews(message, isError) {
    var panel = $("hx-views"), list = SavedViews.load(viewsStorage);
    panel.textContent = "";
    var form = panel.appendChild(el("div", "views-tools"));
    var name = form.appendChild(el("input"));
    name.id = "hx-view-name"; name.type = "text"; name.maxLength = 80; name.autocomplete = "off";
    name.setAttribute("aria-label", "Görünümün adı"); name.placeholder = "Görünümün adı";
    var save = form.appendChild(el("button", null, "Görünümü kaydet"));
    save.type = "button";
    function doSave() {
      var r = SavedViews.put(SavedViews.load(viewsStorage), name.value, State.viewState());
      if (r.error) { renderViews(r.error, true); $("hx-view-name").focus(); return; }
      var ok = SavedViews.save(viewsStorage, r.list);
      renderViews(ok ? "Kaydedildi: " + name.value.trim() + "." : "Tarayıcı kaydetmeye izin vermedi.", !ok);
      $("hx-view-name").focus();
    }
    save.addEventListener("click", doSave);
    name.addEventListener("keydown", function (ev) { if (ev.key === "Enter") { ev.preventDefault(); doSave(); } });
    var out = form.appendChild(el("button", null, "Dosyaya aktar"));
    out.type = "button"; out.disabled = !list.length;
    out.addEventListener("click", function () {
      Export.downloadBlob(new Blob([SavedViews.exportText(SavedViews.load(viewsStorage))], { type: "application/json" }), SavedViews.FILE_NAME);
    });
    var inp = form.appendChild(el("button", null, "Dosyadan yükle"));
    inp.type = "button";
    inp.addEventListener("click", function () { var f = $("hx-views-file"); f.value = ""; f.click(); });
    var note = panel.appendChild(el("p", isError ? "note error" : "note", message || ""));
    note.id = "hx-views-note";
    note.setAttribute("role", "status");
    if (!list.length) { panel.appendChild(el("p", "note", "Kayıtlı görünüm yok.")); return; }
    var ul = panel.appendChild(el("ul", "views-list"));
    list.forEach(function (v) {
      var li = ul.appendChild(el("li"));
      li.appendChild(el("span", "views-name", v.name));
      var go = li.appendChild(el("button", "mini", "Uygula"));
      go.type = "button"; go.setAttribute("aria-label", v.name + " görünümünü uygula");
      go.addEventListener("click", function () { applySavedView(v); });
      var del = li.appendChild(el("button", "mini", "Sil"));
      del.type = "button"; del.setAttribute("aria-label", v.name + " görünümünü sil");
      del.addEventListener("click", function () {
        SavedViews.save(viewsStorage, SavedViews.remove(SavedViews.load(viewsStorage), v.name));
        renderViews("Silindi: " + v.name + ".");
        $("hx-view-name").focus();
      });
    });
  }
  function importViewsFile(f) {
    f.text().then(function (text) {
      var r = SavedViews.parseFile(text);
      var m = r.error ? r : SavedViews.merge(SavedViews.load(viewsStorage), r.views);
      if (m.error) { renderViews(f.name + ": " + m.error + " Görünümler değişmedi.", true); return; }
      var ok = SavedViews.save(viewsStorage, m.list);
      renderViews(ok ? f.name + ": " + r.views.length + " görünüm okundu, " + m.added + " yeni." : "Tarayıcı kaydetmeye izin vermedi.", !ok);
    }, function () { renderViews(f.name + ": dosya okunamadı. Görünümler değişmedi.", true); });
  }

  return {
    initViewsPanel: initViewsPanel
  };
})();
