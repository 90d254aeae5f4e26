// Finding groups of a period as both pages show them (findings.js, loaded as the page loads it).
import { test } from "node:test";
import assert from "node:assert/strict";
import { loadScripts } from "./page_scripts.mjs";

const { Findings } = loadScripts(["findings"], ["Findings"]);

const GROUPS = {
  gecikme: { harf: "g", kodlar: ["RKD_GECIKME_30", "KIK_GECIKME_GUN"] },
  yasal: { harf: "y", kodlar: ["RKD_IFLAS"] },
  icra: { harf: "i", kodlar: ["KIK_HACIZ"] },
  bos: { baslik: "no letter" },
};
const vocab = Findings.vocabulary(GROUPS);
const letters = (v) => Findings.periodLetters(v, vocab);

test("the administrator page's findings give the letters the standard page is sent", () => {
  // [period value on the administrator page, its slim form on the standard page]
  const cases = [
    [{ yeni_gruplar: ["gecikme", "yasal"], bulgular: [] }, "gy"],
    [{ yeni_gruplar: ["yasal", "gecikme", "yasal"] }, "ygy"],
    [{ yeni_gruplar: ["nope"] }, "?"],
    [{ yeni_gruplar: [""] }, "?"],
    [{ yeni_gruplar: ["bos"] }, "?"],
    [{ yeni_gruplar: [], bulgular: [{ grup: "icra" }, { grup: "gecikme" }, { grup: "icra" }] }, "ig"],
    // a finding without a group takes its criterion's
    [{ bulgular: [{ kriter: "KIK_HACIZ" }, { kriter: "RKD_GECIKME_30", grup: "" }, { kriter: "UNKNOWN" }] }, "ig"],
    [{ yeni_gruplar: null, bulgular: [{ grup: "nope" }] }, "?"],
  ];
  for (const [full, slim] of cases) {
    assert.equal(letters(full), Findings.periodLetters(slim, vocab), JSON.stringify(full));
    assert.equal(letters(full), [...new Set(slim)].join(""), JSON.stringify(full));
  }
});

test("periods the standard page is sent nothing for show no letters on either page", () => {
  for (const v of [{}, { bulgular: [] }, { bulgular: { a: 1 } }, [{ grup: "icra" }], null, 7, "",
                   { bulgular: [{ kriter: "UNKNOWN" }, null, "x"] }]) {
    assert.equal(letters(v), "", JSON.stringify(v));
  }
});

test("a group's criterion codes: the first group naming a code keeps it; odd entries are skipped", () => {
  const v = Findings.vocabulary({ a: { harf: "a", kodlar: ["X", 5] }, b: { harf: "b", kodlar: ["X", "Y"] },
                                  c: null, d: { harf: "d", kodlar: "Z" } });
  assert.equal(Findings.periodLetters({ bulgular: [{ kriter: "Y" }, { kriter: "X" }, { kriter: "Z" }] }, v), "ba");
  assert.equal(Findings.periodLetters({ bulgular: [{ kriter: 5 }] }, v), "a");
});
