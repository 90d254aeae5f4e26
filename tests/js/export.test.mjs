// Cells and headings of the exports (exporttext.js) and the .xlsx writer (xlsx.js), loaded
// as the page loads them. The workbook is read back by Python's zipfile, as a spreadsheet
// program would read the archive.
import { test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { loadScripts } from "./page_scripts.mjs";

const { ExportText, Xlsx } = loadScripts(["exporttext", "xlsx"], ["ExportText", "Xlsx"]);
const FORMULAS = ["=1+1", "+90 555", "-2+3+cmd|' /C calc'!A0", "@SUM(A1)", "\tsekme", "\rsatır"];

test("a formula-like text is guarded in every format, a number text is left a number", () => {
  for (const f of FORMULAS) {
    assert.equal(ExportText.csvText(f), '"' + ("'" + f).replace(/"/g, '""') + '"', f);
    assert.ok(ExportText.tsvText(f).startsWith("'"), f);
    assert.ok(!/[\t\r\n]/.test(ExportText.tsvText(f)), f);            // one cell stays one cell
  }
  for (const n of ["-12", "+3", "0,5", "12.5", "9007199254740993"]) {
    assert.equal(ExportText.csvText(n), n);
    assert.equal(ExportText.tsvText(n), n);
  }
  assert.equal(ExportText.csvText('A "B" C'), '"A ""B"" C"');
  assert.equal(ExportText.csvText(null), "");
  assert.equal(ExportText.tsvText("a\r\nb\tc"), "a b c");
});

test("a number's text has at most six decimals and a decimal comma in a spreadsheet", () => {
  const cases = [[2, "2"], [-1.5, "-1.5"], [0.1, "0.1"], [0.1 + 0.2, "0.3"], [1 / 3, "0.333333"],
                 [123456.123456, "123456.123456"], [1e-7, "0"], [1e21, "1e+21"], [NaN, ""], [Infinity, ""],
                 [null, ""], ["5", ""]];
  for (const [v, want] of cases) assert.equal(ExportText.numText(v), want, String(v));
  // whole numbers and tenths take a quicker way to the same text
  const some = [0, -0, 0.5, -0.5, 1.1, -2.7, 0.7, 214748363.9, -214748363.9, 214748364.5, 99999.9, 1e15 + 0.5];
  for (let k = 0; k < 20000; k++) some.push(Math.round((Math.random() - 0.5) * 2e6) / 10, (Math.random() - 0.5) * 1e4);
  for (const v of some) {
    const s = String(v);
    const want = s.includes("e") || s.length - s.indexOf(".") > 7 && s.includes(".") ? String(Number(v.toFixed(6))) : s;
    assert.equal(ExportText.numText(v), want === "-0" ? "0" : want, String(v));
  }
  assert.equal(ExportText.csvCell("-1.5", true), "-1,5");
  assert.equal(ExportText.tsvCell("0.25", true), "0,25");
  assert.equal(ExportText.csvCell("", true), "");
});

test("every export starts with the data date, the filters and the row count", () => {
  const info = { dataDate: "2025-06", filters: "Segment: KOBI; =cmd", rows: 42 };
  assert.equal(ExportText.csvHeading(info),
    '"Veri tarihi";"2025-06"\r\n"Filtreler";"Segment: KOBI; =cmd"\r\n"Satır sayısı";42\r\n\r\n');
  assert.equal(ExportText.tsvHeading({ dataDate: "", filters: "=x", rows: 0 }),
    "Veri tarihi\tbilinmiyor\r\nFiltreler\t'=x\r\nSatır sayısı\t0\r\n\r\n");
});

test("CRC-32 and column names", () => {
  const bytes = new TextEncoder().encode("123456789");
  assert.equal(Xlsx.crc32(bytes), 0xcbf43926);
  assert.equal(Xlsx.crc32(bytes.subarray(4), Xlsx.crc32(bytes.subarray(0, 4))), 0xcbf43926);
  assert.equal(Xlsx.crc32(new Uint8Array(0)), 0);
  assert.deepEqual([0, 25, 26, 51, 701, 702, 16383].map(Xlsx.colName), ["A", "Z", "AA", "AZ", "ZZ", "AAA", "XFD"]);
});

// The workbook as bytes, read by Python: the archive's CRCs, its entries and the sheet's cells.
function readBack(parts) {
  const buf = Buffer.concat(parts.map((p) => Buffer.from(p.buffer, p.byteOffset, p.byteLength)));
  const py = `
import io, json, sys, zipfile, xml.etree.ElementTree as ET
z = zipfile.ZipFile(io.BytesIO(sys.stdin.buffer.read()))
assert z.testzip() is None
ns = {"m": "http://schemas.openxmlformats.org/spreadsheetml/2006/main"}
for name in z.namelist():
    if name.endswith(".xml") or name.endswith(".rels"):
        ET.fromstring(z.read(name))
rows = []
for row in ET.fromstring(z.read("xl/worksheets/sheet1.xml")).iterfind("m:sheetData/m:row", ns):
    cells = []
    for c in row:
        v = c.find("m:v", ns)
        cells.append([c.get("r"), float(v.text) if v is not None else "".join(c.find("m:is", ns).itertext())])
    rows.append(cells)
print(json.dumps({"names": z.namelist(), "rows": rows}))
`;
  return JSON.parse(execFileSync("python3", ["-c", py], { input: buf }).toString());
}

test("a workbook written in pieces opens, with numbers as numbers and texts guarded", () => {
  const book = Xlsx.book(3);
  book.rows([["Veri tarihi", "2025-06"], [], ["MUTA", "Unvan", "Risk"]]);
  book.rows([["9007199254740993", "=HYPERLINK(\"x\")", "12.5"], ["00123", "A & B <c>", ""]], [false, false, true]);
  book.rows([["42", "bell\u0007 \ud800 end", "-3"], ["\rCR", "a\r\nb", "x"]], [false, false, true]);
  const got = readBack(book.finish());
  assert.deepEqual(got.names.sort(), ["[Content_Types].xml", "_rels/.rels", "xl/_rels/workbook.xml.rels",
    "xl/styles.xml", "xl/workbook.xml", "xl/worksheets/sheet1.xml"]);
  assert.deepEqual(got.rows, [
    [["A1", "Veri tarihi"], ["B1", "2025-06"]],
    [],
    [["A3", "MUTA"], ["B3", "Unvan"], ["C3", "Risk"]],
    [["A4", "9007199254740993"], ["B4", "'=HYPERLINK(\"x\")"], ["C4", 12.5]],   // beyond 2^53: text
    [["A5", "00123"], ["B5", "A & B <c>"]],                                      // missing: no cell
    [["A6", 42], ["B6", "bell\ufffd \ufffd end"], ["C6", -3]],
    [["A7", "'\rCR"], ["B7", "a\r\nb"], ["C7", "x"]],     // kept as written; no number, so text
  ]);
});
