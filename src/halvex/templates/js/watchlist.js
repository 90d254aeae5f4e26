// ---------------------------------------------------------------- watch list
// Borrowers starred by the analyst, by customer number: one list in the browser for every
// page of this origin (standard, administrator and compressed pages, any night's render),
// never sent anywhere. It moves to another machine as a small file.
var WatchList = (function () {
  var STORAGE_KEY = "halvex-izleme";
  var PER_RENDER_PREFIX = "halvex-izleme:";   // lists kept per render (title, time, rows, period) before
  var MAX_KEY_CHARS = 64;                      // longer is no customer number
  var MAX_FILE_CHARS = 4 << 20;
  var FILE_NAME = "izleme_listesi.json";

  // The key of a customer number: its text as the page shows it (a number beyond 2^53 is
  // already the text of its digits).
  function key(muta) { return String(muta).trim(); }
  function validKey(k) {
    return typeof k === "string" && k !== "" && k.length <= MAX_KEY_CHARS && !/[\u0000-\u001f\u007f]/.test(k);
  }
  function readList(storage, name) {
    var v;
    try { v = JSON.parse(storage.getItem(name) || "[]"); } catch (err) { return []; }
    return Array.isArray(v) ? v.map(key).filter(validKey) : [];
  }
  // The list in storage. The lists of single renders are merged into it once, then dropped.
  function load(storage) {
    var set = new Set();
    if (!storage) return set;
    readList(storage, STORAGE_KEY).forEach(function (k) { set.add(k); });
    var old = [];
    for (var j = 0; j < storage.length; j++) {
      var name = storage.key(j);
      if (name && name.indexOf(PER_RENDER_PREFIX) === 0) old.push(name);
    }
    if (old.length) {
      old.forEach(function (name) { readList(storage, name).forEach(function (k) { set.add(k); }); });
      if (save(storage, set)) old.forEach(function (name) { storage.removeItem(name); });
    }
    return set;
  }
  function save(storage, set) {
    try { storage.setItem(STORAGE_KEY, JSON.stringify(Array.from(set))); return true; } catch (err) { return false; }
  }
  // Stars or unstars one borrower on the list as stored now (another page of the origin may
  // have changed it); returns the new list.
  function toggle(storage, set, muta) {
    var now = storage ? load(storage) : set, k = key(muta);
    if (!validKey(k)) return now;
    if (set.has(k)) now.delete(k); else now.add(k);
    if (storage) save(storage, now);
    return now;
  }
  function exportText(set) {
    return JSON.stringify({ izleme_listesi: Array.from(set).sort() }, null, 1) + "\n";
  }
  // A file of customer numbers: this page's export, a JSON array, or plain text with one
  // number a line. -> { keys } or { error }, the whole file refused when any entry is no
  // customer number.
  function parseFile(text) {
    if (typeof text !== "string" || text.length > MAX_FILE_CHARS) return { error: "Dosya izleme listesi için çok büyük." };
    text = text.replace(/^\ufeff/, "");
    var items, t = text.trim();
    if (t.charAt(0) === "{" || t.charAt(0) === "[") {
      var v;
      try { v = JSON.parse(t); } catch (err) { return { error: "Dosya okunamadı: geçerli JSON değil." }; }
      items = Array.isArray(v) ? v : v && Array.isArray(v.izleme_listesi) ? v.izleme_listesi : null;
      if (!items) return { error: "Dosyada izleme listesi yok." };
      if (items.some(function (m) { return typeof m !== "string" && typeof m !== "number"; })) return { error: "Listede MUTA olmayan değer var." };
    } else {
      items = t.split(/\r\n|\r|\n/).filter(function (line) { return line.trim() !== "" && line.trim().charAt(0) !== "#"; });
    }
    var keys = items.map(key);
    var bad = keys.filter(function (k) { return !validKey(k); });
    if (bad.length) return { error: "Listede MUTA olarak okunamayan " + bad.length + " satır var." };
    if (!keys.length) return { error: "Dosyada MUTA yok." };
    return { keys: keys };
  }
  // Adds the keys to the stored list; returns the new list and how many were new.
  function addAll(storage, set, keys) {
    var now = storage ? load(storage) : set, before = now.size;
    keys.forEach(function (k) { now.add(k); });
    if (storage) save(storage, now);
    return { set: now, added: now.size - before };
  }

  return { STORAGE_KEY: STORAGE_KEY, FILE_NAME: FILE_NAME, key: key, load: load, toggle: toggle,
           exportText: exportText, parseFile: parseFile, addAll: addAll };
})();
