// ---------------------------------------------------------------- finding groups of a period
// The groups a borrower shows for a period, alike on both pages. The standard page is sent
// each period as a string of group letters; the administrator page gets the findings
// themselves and works the letters out the way the renderer slims them for the standard
// page: the groups the document names as new in the period (yeni_gruplar), else the groups
// of its findings (a finding without one takes the group of its criterion code); a group
// without a letter shows as "?". A period sent as a bare list of findings has no letters
// (the standard page is sent none for it). Each letter is shown once.
var Findings = (function () {
  function isObj(v) { return v !== null && typeof v === "object" && !Array.isArray(v); }
  function filled(v) { return v != null && v !== "" && v !== false && v !== 0; }

  // letters and criterion codes of the diagnostic groups (DIAG_GROUPS as the page gets it)
  function vocabulary(groups) {
    var letterOf = Object.create(null), groupOfCode = Object.create(null);
    Object.keys(isObj(groups) ? groups : {}).forEach(function (name) {
      var g = groups[name];
      if (!isObj(g)) return;
      if (filled(g.harf)) letterOf[name] = String(g.harf);
      if (Array.isArray(g.kodlar)) g.kodlar.forEach(function (code) {
        if (!(String(code) in groupOfCode)) groupOfCode[String(code)] = name;
      });
    });
    return { letterOf: letterOf, groupOfCode: groupOfCode };
  }
  function unique(letters) {
    var out = "";
    for (var k = 0; k < letters.length; k++) if (out.indexOf(letters.charAt(k)) < 0) out += letters.charAt(k);
    return out;
  }
  // a finding's group: its own, else its criterion's; "" when neither is known
  function groupOf(f, vocab) {
    if (!isObj(f)) return "";
    var g = filled(f.grup) ? f.grup : vocab.groupOfCode[f.kriter != null ? String(f.kriter) : ""];
    return filled(g) ? g : "";
  }
  function groupsOfFindings(list, vocab) {
    var seen = [];
    list.forEach(function (f) {
      var g = groupOf(f, vocab);
      if (g !== "" && seen.indexOf(g) < 0) seen.push(g);
    });
    return seen;
  }
  // a period's value (letters, or the findings and new groups) -> its letters, each once
  function periodLetters(v, vocab) {
    if (typeof v === "string") return unique(v);
    if (!isObj(v)) return "";
    var names = Array.isArray(v.yeni_gruplar) ? v.yeni_gruplar : [];
    if (!names.length) names = Array.isArray(v.bulgular) ? groupsOfFindings(v.bulgular, vocab) : [];
    var out = "";
    names.forEach(function (nm) { out += vocab.letterOf[String(nm)] || "?"; });
    return unique(out);
  }

  return { vocabulary: vocabulary, groupOf: groupOf, periodLetters: periodLetters };
})();
