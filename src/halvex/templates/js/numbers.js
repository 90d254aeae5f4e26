// ---------------------------------------------------------------- numbers typed in a filter
// Numbers as a Turkish analyst types them: the comma is the decimal separator; a dot followed
// by exactly three digits groups thousands ("1.000", "1.000.000"), any other dot is a decimal
// point ("1.5"); "%" may lead or trail in a percentage field. Whatever is not such a number
// is refused with a reason, never read as another number: "1.000" is a thousand, not one.
var NumberText = (function () {
  var GROUPED = /^\d{1,3}(?:\.\d{3})+$/;     // 1.000 or 12.345.678: thousands only
  var DIGITS = /^\d+$/;
  var HINT = "ondalık için virgül, binlik için nokta: 1.000 ya da 2,5";

  function refuse(why) { return { value: NaN, error: why + " (" + HINT + ")" }; }

  // text -> { value } (NaN for an empty field: no bound) or { value: NaN, error }
  function parse(text, percent) {
    var s = String(text == null ? "" : text).trim();
    if (s === "") return { value: NaN };
    if (s.charAt(0) === "%" || s.charAt(s.length - 1) === "%") {
      if (!percent) return refuse("Bu alanda % kullanılmaz");
      s = s.charAt(0) === "%" ? s.slice(1) : s.slice(0, -1);
      s = s.trim();
      if (s.indexOf("%") >= 0) return refuse("% işareti bir kez yazılır");
    }
    var sign = 1;
    if (s.charAt(0) === "-" || s.charAt(0) === "\u2212") { sign = -1; s = s.slice(1); }
    var whole = s, frac = "";
    var comma = s.indexOf(",");
    if (comma >= 0) {
      if (s.indexOf(",", comma + 1) >= 0) return refuse("Birden çok virgül");
      whole = s.slice(0, comma);
      frac = s.slice(comma + 1);
      if (!DIGITS.test(frac)) return refuse("Virgülden sonra rakam olmalı");
      if (whole.indexOf(".") >= 0 && !GROUPED.test(whole)) return refuse("Virgülden önceki nokta binlik ayırıcısı olmalı");
      if (whole === "") whole = "0";
    } else {
      // the last dot is a decimal point unless three digits follow it; every dot before it
      // must group thousands
      var last = s.lastIndexOf(".");
      if (last >= 0 && !(s.length - last - 1 === 3 && DIGITS.test(s.slice(last + 1)))) {
        whole = s.slice(0, last);
        frac = s.slice(last + 1);
        if (!DIGITS.test(frac)) return refuse("Noktadan sonra rakam olmalı");
        if (whole.indexOf(".") >= 0 && !GROUPED.test(whole)) return refuse("Birden çok ondalık nokta");
        if (whole === "") whole = "0";
      }
    }
    if (whole.indexOf(".") >= 0) {
      if (!GROUPED.test(whole)) return refuse("Binlik gruplar üç haneli olmalı");
      // "0.125" is neither a thousands group nor, by the rule, a fraction
      if (whole.charAt(0) === "0") return refuse("Sıfırla başlayan binlik grup");
      whole = whole.replace(/\./g, "");
    }
    if (!DIGITS.test(whole)) return refuse("Sayı okunamadı");
    var x = Number(whole + (frac ? "." + frac : ""));
    return isFinite(x) ? { value: sign * x } : refuse("Sayı çok büyük");
  }

  // A number as the field shows it again (comma decimal, no grouping), read back as the same
  // number by parse.
  function format(x) {
    if (typeof x !== "number" || !isFinite(x)) return "";
    var s = String(x);
    if (/e/i.test(s)) s = x.toLocaleString("en-US", { useGrouping: false, maximumFractionDigits: 20 });
    return s.replace(".", ",");
  }

  return { parse: parse, format: format };
})();
