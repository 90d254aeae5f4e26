// Headings of the detail panel (detail_text.js, loaded as the page loads it).
import { test } from "node:test";
import assert from "node:assert/strict";
import { loadScripts } from "./page_scripts.mjs";

const { DetailText: D } = loadScripts(["detail_text"], ["DetailText"]);

test("risk series are named in words from the document's meta, with fixed words otherwise", () => {
  const meta = { risk_serileri: { r: "kombine_risk", rd: "nakdi_risk", df: "risk_degisim" } };
  assert.deepEqual(["r", "rd", "df"].map((k) => D.seriesHeading(k, meta)), ["Kombine risk", "Nakdi risk", "Risk değişimi"]);
  assert.equal(D.seriesHeading("rd", { risk_serileri: { rd: "GAYRI_NAKDI__RISK" } }), "Gayri nakdi risk");
  assert.equal(D.seriesHeading("rd", { risk_serileri: { rd: "İhracat kredisi" } }), "İhracat kredisi");
  for (const meta of [{}, null, { risk_serileri: [] }, { risk_serileri: { r: "", rd: 5, df: "  " } }]) {
    assert.deepEqual(["r", "rd", "df"].map((k) => D.seriesHeading(k, meta)), ["Risk", "İkinci risk serisi", "Risk değişimi"],
                     JSON.stringify(meta));
  }
});

test("the withheld-findings note only on a page that is not the administrator's and whose document says so", () => {
  assert.match(D.withheldNote({ bulgular_gizli: true }, false), /SQL/);
  assert.equal(D.withheldNote({ bulgular_gizli: true }, true), "");
  for (const meta of [{}, null, { bulgular_gizli: false }, { bulgular_gizli: "true" }, { bulgular_gizli: 1 }]) {
    assert.equal(D.withheldNote(meta, false), "", JSON.stringify(meta));
  }
});
