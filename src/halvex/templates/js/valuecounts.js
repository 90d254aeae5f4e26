// ---------------------------------------------------------------- value counts of a header filter
// How many of the rows in view carry each of a list filter's options.
var ValueCounts = (function () {
  // rows (view positions -> row, or null for 0..n-1), codes by row, options [[label, [codes]]]
  // -> rows per option
  function count(rows, n, codes, options) {
    var top = 0;
    options.forEach(function (o) { o[1].forEach(function (c) { if (c > top) top = c; }); });
    var tally = new Float64Array(top + 2);
    for (var k = 0; k < n; k++) {
      var c = codes[rows ? rows[k] : k] + 1;
      if (c >= 0 && c < tally.length) tally[c]++;
    }
    return options.map(function (o) { return o[1].reduce(function (s, c) { return s + (tally[c + 1] || 0); }, 0); });
  }
  return { count: count };
})();
