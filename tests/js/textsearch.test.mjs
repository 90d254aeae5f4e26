// Turkish folding and the quick search's matching (textsearch.js, loaded as the page loads it).
import { test } from "node:test";
import assert from "node:assert/strict";
import { loadScripts } from "./page_scripts.mjs";

const { TextSearch } = loadScripts(["textsearch"], ["TextSearch"]);

test("Turkish letters fold to plain ones by default, and only case folds for an exact match", () => {
  const cases = [
    // text, folded by default, folded for an exact match
    ["Şirket", "sirket", "şirket"], ["IŞIK", "isik", "ışık"], ["İnşaat", "insaat", "inşaat"],
    ["Çağrı Gümüş Öztürk", "cagri gumus ozturk", "çağrı gümüş öztürk"], ["Âlâ Sîmâ Ûmran", "ala sima umran", "âlâ sîmâ ûmran"],
    ["ABC 123", "abc 123", "abc 123"],
  ];
  for (const [text, plain, exact] of cases) {
    assert.equal(TextSearch.query(text, false), plain, text);
    assert.equal(TextSearch.query(text, true), exact, text);
    assert.equal(TextSearch.query(text, false).length, text.length, "folding keeps every character in its place");
  }
  assert.equal(TextSearch.query("  Şirket ", false), "sirket");
});

test("search finds names and customer numbers, folded or exact", () => {
  const shown = ["Şirket A.Ş.", "Kuzey Insaat Isik Ltd.", "İnşaat Yapı", "Sirkeci Gıda"];
  const uid = [0, 1, 2, 3, 0];
  const muta = [123, 4567, "0099Ş", "9007199254740993", 12345];
  const rows = (query, exact) => {
    const fold = TextSearch.folder(exact);
    const mutaFolds = new Map();
    muta.forEach((m, i) => { if (typeof m !== "number") mutaFolds.set(i, fold(String(m))); });
    const hits = TextSearch.hits(TextSearch.query(query, exact), muta.length, shown.map(fold), uid, muta, mutaFolds);
    return [...hits.keys()].filter((i) => hits[i]);
  };
  const cases = [
    ["sirket", false, [0, 4]], ["sirket", true, []], ["şirket", true, [0, 4]], ["ŞİRKET", false, [0, 4]],
    ["sirke", false, [0, 3, 4]], ["insaat", false, [1, 2]], ["inşaat", true, [2]], ["isik", false, [1]],
    ["123", false, [0, 4]], ["45", false, [1, 4]], ["0099s", false, [2]], ["0099s", true, []],
    ["9007199254740993", false, [3]], ["123 sirket", false, [0]], ["12345 şirket a.ş", false, [4]],
    ["4567 kuzey", true, [1]], ["yok", false, []],
  ];
  for (const [query, exact, want] of cases) assert.deepEqual(rows(query, exact), want, `${query} (exact: ${exact})`);
});
