// ---------------------------------------------------------------- saved views
// Named views (filters, sort and columns: the state the URL fragment holds, without the
// borrower whose detail is open) kept in the browser for every page of this origin, never
// sent anywhere; they move to another machine as a small file. Whatever is stored or read
// is checked: a bad entry is dropped, a bad file refused whole.
var SavedViews = (function () {
  var STORAGE_KEY = "halvex-gorunumler";
  var FILE_NAME = "gorunumler.json";
  var MAX_VIEWS = 50, MAX_NAME = 80, MAX_STATE = 4000, MAX_FILE_CHARS = 1 << 20;
  var NOT_SAVED = ["firma"];           // the open detail is no part of a view

  function isObj(v) { return v !== null && typeof v === "object" && !Array.isArray(v); }
  function cleanName(s) { return typeof s === "string" ? s.replace(/[\u0000-\u001f\u007f]+/g, " ").trim() : ""; }
  function stateOf(fragment) {
    var st = new URLSearchParams(String(fragment).replace(/^#/, ""));
    NOT_SAVED.forEach(function (k) { st.delete(k); });
    return st.toString();
  }
  function entry(v) {
    if (!isObj(v)) return null;
    var name = cleanName(v.name);
    if (!name || name.length > MAX_NAME || typeof v.state !== "string" || v.state.length > MAX_STATE) return null;
    return { name: name, state: stateOf(v.state) };
  }
  // good entries only, one per name (the first), at most MAX_VIEWS
  function normalize(items) {
    var out = [], seen = {};
    (Array.isArray(items) ? items : []).forEach(function (v) {
      var e = entry(v);
      if (e && !seen["=" + e.name] && out.length < MAX_VIEWS) { seen["=" + e.name] = true; out.push(e); }
    });
    return out;
  }
  function load(storage) {
    if (!storage) return [];
    var v;
    try { v = JSON.parse(storage.getItem(STORAGE_KEY) || "[]"); } catch (err) { return []; }   // refused storage too
    return normalize(v);
  }
  function save(storage, list) {
    if (!storage) return false;
    try { storage.setItem(STORAGE_KEY, JSON.stringify(list)); return true; } catch (err) { return false; }
  }
  // The list with the view saved under name (a view of that name is replaced). -> { list } or { error }
  function put(list, name, fragment) {
    var nm = cleanName(name);
    if (!nm) return { error: "Görünüme bir ad verin." };
    if (nm.length > MAX_NAME) return { error: "Ad en çok " + MAX_NAME + " karakter olabilir." };
    var state = stateOf(fragment);
    if (state.length > MAX_STATE) return { error: "Görünüm kaydedilemeyecek kadar uzun." };
    var at = list.map(function (v) { return v.name; }).indexOf(nm);
    if (at < 0 && list.length >= MAX_VIEWS) return { error: "En çok " + MAX_VIEWS + " görünüm kaydedilebilir." };
    var out = list.slice();
    if (at >= 0) out[at] = { name: nm, state: state }; else out.push({ name: nm, state: state });
    return { list: out };
  }
  function remove(list, name) { return list.filter(function (v) { return v.name !== name; }); }
  function exportText(list) { return JSON.stringify({ gorunumler: list }, null, 1) + "\n"; }
  // This page's export (or a bare array of views). -> { views } or { error }
  function parseFile(text) {
    if (typeof text !== "string" || text.length > MAX_FILE_CHARS) return { error: "Dosya görünümler için çok büyük." };
    var v;
    try { v = JSON.parse(text.replace(/^\ufeff/, "")); } catch (err) { return { error: "Dosya okunamadı: geçerli JSON değil." }; }
    var items = Array.isArray(v) ? v : isObj(v) && Array.isArray(v.gorunumler) ? v.gorunumler : null;
    if (!items) return { error: "Dosyada görünüm listesi yok." };
    var views = normalize(items);
    if (views.length !== items.length) return { error: "Dosyada okunamayan ya da yinelenen görünüm var." };
    if (!views.length) return { error: "Dosyada görünüm yok." };
    return { views: views };
  }
  // The file's views added to the list (one of the same name replaced). -> { list, added } or { error }
  function merge(list, views) {
    var out = list, added = 0;
    for (var k = 0; k < views.length; k++) {
      var had = out.some(function (v) { return v.name === views[k].name; });
      var r = put(out, views[k].name, views[k].state);
      if (r.error) return { error: r.error };
      out = r.list;
      if (!had) added++;
    }
    return { list: out, added: added };
  }
  return { STORAGE_KEY: STORAGE_KEY, FILE_NAME: FILE_NAME, MAX_VIEWS: MAX_VIEWS, stateOf: stateOf, load: load,
           save: save, put: put, remove: remove, exportText: exportText, parseFile: parseFile, merge: merge };
})();
