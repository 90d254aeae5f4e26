// ---------------------------------------------------------------- .xlsx writer
// A workbook of one sheet, written in the page with no library: SpreadsheetML parts in a
// zip whose entries are stored (no compression: the page holds the data already, and a
// deflater would be the larger part of this file). Texts are inline strings, so there is no
// shared-string table to build; the sheet arrives in pieces (book.rows) so that a caller can
// write it a slice at a time without blocking the page.
var Xlsx = (function () {
  var MAX_ROWS = 100000;                  // beyond this, the page offers CSV only
  var ZIP_LIMIT = 0xffffffff;             // a plain (not zip64) archive's largest size or offset
  var SHEET_NAME = "Firmalar";
  var NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
  var REL_NS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
  var PKG_NS = "http://schemas.openxmlformats.org/package/2006/relationships";
  var XML_HEAD = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n';
  var FIXED = [
    ["[Content_Types].xml", XML_HEAD + '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">' +
      '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>' +
      '<Default Extension="xml" ContentType="application/xml"/>' +
      '<Override PartName="/xl/workbook.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>' +
      '<Override PartName="/xl/worksheets/sheet1.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>' +
      '<Override PartName="/xl/styles.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml"/>' +
      "</Types>"],
    ["_rels/.rels", XML_HEAD + '<Relationships xmlns="' + PKG_NS + '">' +
      '<Relationship Id="rId1" Type="' + REL_NS + '/officeDocument" Target="xl/workbook.xml"/></Relationships>'],
    ["xl/workbook.xml", XML_HEAD + '<workbook xmlns="' + NS + '" xmlns:r="' + REL_NS + '"><sheets>' +
      '<sheet name="' + SHEET_NAME + '" sheetId="1" r:id="rId1"/></sheets></workbook>'],
    ["xl/_rels/workbook.xml.rels", XML_HEAD + '<Relationships xmlns="' + PKG_NS + '">' +
      '<Relationship Id="rId1" Type="' + REL_NS + '/worksheet" Target="worksheets/sheet1.xml"/>' +
      '<Relationship Id="rId2" Type="' + REL_NS + '/styles" Target="styles.xml"/></Relationships>'],
    ["xl/styles.xml", XML_HEAD + '<styleSheet xmlns="' + NS + '">' +
      '<fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts>' +
      '<fills count="1"><fill><patternFill patternType="none"/></fill></fills>' +
      '<borders count="1"><border/></borders>' +
      '<cellStyleXfs count="1"><xf/></cellStyleXfs><cellXfs count="1"><xf xfId="0"/></cellXfs></styleSheet>']
  ];
  var SHEET_HEAD = XML_HEAD + '<worksheet xmlns="' + NS + '"><sheetData>';
  var SHEET_TAIL = "</sheetData></worksheet>";

  var CRC_TABLE = (function () {
    var t = new Int32Array(256);
    for (var n = 0; n < 256; n++) {
      var c = n;
      for (var k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
      t[n] = c;
    }
    return t;
  })();
  // CRC-32 of bytes, going on from the CRC of the bytes before them (0 at the start)
  function crc32(bytes, crc) {
    var c = (crc || 0) ^ -1;
    for (var i = 0; i < bytes.length; i++) c = CRC_TABLE[(c ^ bytes[i]) & 0xff] ^ (c >>> 8);
    return (c ^ -1) >>> 0;
  }
  // column letters: 0 -> A, 25 -> Z, 26 -> AA
  function colName(k) {
    var s = "";
    for (k++; k > 0; k = Math.floor((k - 1) / 26)) s = String.fromCharCode(65 + (k - 1) % 26) + s;
    return s;
  }
  // Text as XML 1.0 may hold it: markup characters escaped, a carriage return as a reference
  // (a reader would make a bare one a line feed), the control characters XML forbids (a
  // file with one would not open) replaced.
  var XML_REF = { "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "\r": "&#13;" };
  function xmlText(s) {
    return s.replace(/[&<>"\r]/g, function (c) { return XML_REF[c]; })
            .replace(/[\u0000-\u0008\u000b\u000c\u000e-\u001f\ufffe\uffff]/g, "\ufffd");
  }
  // A cell: a number when its column's texts are numbers (and this one is written as a
  // number may be), or when the text is one that reads back as the same text (so a customer
  // number beyond 2^53 or with leading zeros stays text); else guarded inline text.
  var XML_NUMBER = /^-?\d+(?:\.\d+)?(?:e[+-]?\d+)?$/;
  function cell(ref, s, num) {
    if (s === "") return "";
    if ((num && XML_NUMBER.test(s)) || (ExportText.isNumberText(s) && s.indexOf(",") < 0 && String(Number(s)) === s.replace(/^\+/, ""))) {
      return '<c r="' + ref + '"><v>' + s + "</v></c>";
    }
    return '<c r="' + ref + '" t="inlineStr"><is><t xml:space="preserve">' + xmlText(ExportText.guard(s)) + "</t></is></c>";
  }

  // A stored zip of the entries [{ name, parts: [Uint8Array], crc, size }], as Blob parts.
  function zip(entries) {
    var out = [], central = [], offset = 0, enc = new TextEncoder();
    entries.forEach(function (e) {
      var name = enc.encode(e.name), h = new DataView(new ArrayBuffer(30));
      h.setUint32(0, 0x04034b50, true); h.setUint16(4, 20, true); h.setUint16(8, 0, true);
      h.setUint16(12, 0x21, true);                    // 1980-01-01: the same file for the same data
      h.setUint32(14, e.crc, true); h.setUint32(18, e.size, true); h.setUint32(22, e.size, true);
      h.setUint16(26, name.length, true);
      var c = new DataView(new ArrayBuffer(46));
      c.setUint32(0, 0x02014b50, true); c.setUint16(4, 20, true); c.setUint16(6, 20, true);
      c.setUint16(14, 0x21, true);
      c.setUint32(16, e.crc, true); c.setUint32(20, e.size, true); c.setUint32(24, e.size, true);
      c.setUint16(28, name.length, true); c.setUint32(42, offset, true);
      central.push(new Uint8Array(c.buffer), name);
      out.push(new Uint8Array(h.buffer), name);
      e.parts.forEach(function (p) { out.push(p); });
      offset += 30 + name.length + e.size;
      if (offset > ZIP_LIMIT) throw new Error("xlsx: dosya 4 GB sınırını aşıyor");
    });
    var cdSize = central.reduce(function (s, p) { return s + p.length; }, 0);
    var end = new DataView(new ArrayBuffer(22));
    end.setUint32(0, 0x06054b50, true);
    end.setUint16(8, entries.length, true); end.setUint16(10, entries.length, true);
    end.setUint32(12, cdSize, true); end.setUint32(16, offset, true);
    return out.concat(central, [new Uint8Array(end.buffer)]);
  }
  function entry(name, text, enc) {
    var b = enc.encode(text);
    return { name: name, parts: [b], crc: crc32(b, 0), size: b.length };
  }

  // A workbook being written: rows(...) as often as needed, then finish() -> Blob parts.
  function book(numCols) {
    var enc = new TextEncoder(), sheet = { name: "xl/worksheets/sheet1.xml", parts: [], crc: 0, size: 0 };
    var refs = [], rowNo = 0;
    for (var k = 0; k < numCols; k++) refs.push(colName(k));
    function ref(k) { return refs[k] || (refs[k] = colName(k)); }
    function put(text) {
      var b = enc.encode(text);
      sheet.crc = crc32(b, sheet.crc);
      sheet.size += b.length;
      sheet.parts.push(b);
    }
    put(SHEET_HEAD);
    return {
      // rows: arrays of cell texts; nums (optional): by column, true where the texts are numbers
      rows: function (rows, nums) {
        var xml = "";
        for (var j = 0; j < rows.length; j++) {
          var r = rows[j], n = ++rowNo;
          xml += '<row r="' + n + '">';
          for (var k = 0; k < r.length; k++) xml += cell(ref(k) + n, r[k], nums ? nums[k] : false);
          xml += "</row>";
        }
        put(xml);
      },
      finish: function () {
        put(SHEET_TAIL);
        return zip(FIXED.map(function (f) { return entry(f[0], f[1], enc); }).concat([sheet]));
      }
    };
  }
  return { MAX_ROWS: MAX_ROWS, crc32: crc32, colName: colName, xmlText: xmlText, book: book, zip: zip };
})();
