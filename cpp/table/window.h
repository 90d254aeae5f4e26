// Per-group history operations over run groups (see groups.h): shifts,
// trailing windows, running sums and positions. All are one pass over the
// rows, never look across a group border and run on the group-aligned ranges
// of the worker threads.
#pragma once

#include <cstdint>

#include "table/column.h"
#include "table/groups.h"

namespace halvex::table {

// Value of the row k rows earlier (k > 0) or -k rows later (k < 0) in the
// same group; missing where there is no such row. Float64 stays Float64;
// Int64 and Bool get a presence mask.
Column shift(const Column& c, const RunGroups& g, int k);
// Like shift for Int64 and Bool columns, with `fill` where there is no such
// row (the result is Int64 without a mask).
Column shift_int(const Column& c, const RunGroups& g, int k, std::int64_t fill);

enum class WindowStat { Max, Mean, Std, Sum };

// Exact statistics of the present (non-NaN) values of x[0..len).
struct WindowStats {
  std::size_t count = 0;
  double max = 0.0, mean = 0.0, std = 0.0;
};
inline WindowStats window_stats(const double* x, std::size_t len) {
  // Sums run over differences from the first present value, so a window of
  // equal values has mean exactly that value and spread exactly 0.
  WindowStats w;
  double first = 0.0, dsum = 0.0;
  for (std::size_t j = 0; j < len; ++j) {
    double v = x[j];
    if (v != v) continue;
    if (w.count++ == 0) {
      first = w.max = v;
    } else {
      w.max = v > w.max ? v : w.max;
      dsum += v - first;
    }
  }
  if (w.count == 0) return w;
  double dmean = dsum / static_cast<double>(w.count), ss = 0.0;
  for (std::size_t j = 0; j < len; ++j) {
    double v = x[j];
    if (v == v) ss += (v - first - dmean) * (v - first - dmean);
  }
  w.mean = first + dmean;
  w.std = __builtin_sqrt(ss / static_cast<double>(w.count));
  return w;
}

// Statistic over the trailing window of `window` rows ending at each row
// (fewer at the start of a group), skipping missing values; missing where the
// window holds no present value. Std is the population standard deviation,
// computed exactly from the window's values (equal values give exactly 0).
// The input may be Float64, Int64 or Bool; the result is Float64.
Column rolling(const Column& c, const RunGroups& g, int window, WindowStat stat);

// Running sum within each group, in row order (missing values add nothing
// and stay missing in Float64 input). Int64/Bool input gives Int64.
Column running_sum(const Column& c, const RunGroups& g);

// 0-based position of each row within its group, as Int64.
Column position(const RunGroups& g);

}  // namespace halvex::table
