// Statistics of a trailing window of rows. The feature builder walks each
// group's rows itself (one pass for several windows) and asks for the
// statistics of each window here.
#pragma once

#include <cstddef>

namespace halvex::table {

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

}  // namespace halvex::table
