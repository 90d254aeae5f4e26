#include "table/window.h"

#include <cmath>
#include <limits>

#include "table/errors.h"

namespace halvex::table {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Reads any numeric column as double, NaN for missing.
struct NumView {
  explicit NumView(const Column& c) : c(c) {
    if (c.type() == DType::Text) throw UnsupportedType("numeric operation on a text column");
  }
  double operator[](std::size_t i) const {
    switch (c.type()) {
      case DType::Float64: return c.f64[i];
      case DType::Int64: return c.present(i) ? static_cast<double>(c.i64[i]) : kNaN;
      case DType::Bool: return c.present(i) ? static_cast<double>(c.b8[i]) : kNaN;
      default: return kNaN;
    }
  }
  const Column& c;
};

}  // namespace

Column shift(const Column& c, const RunGroups& g, int k) {
  const std::size_t n = c.size();
  const std::int32_t* avail = k >= 0 ? g.pos() : g.rem();
  const std::int32_t dist = k >= 0 ? k : -k;
  const std::ptrdiff_t step = -static_cast<std::ptrdiff_t>(k);
  switch (c.type()) {
    case DType::Float64: {
      Column out = Column::float64(n);
      parallel_groups(g, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) out.f64[i] = avail[i] >= dist ? c.f64[i + step] : kNaN;
      });
      return out;
    }
    case DType::Int64:
    case DType::Bool: {
      bool is_int = c.type() == DType::Int64;
      Column out = is_int ? Column::int64(n) : Column::boolean(n);
      out.ensure_mask();
      parallel_groups(g, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
          bool has = avail[i] >= dist && c.present(i + step);
          out.valid[i] = has;
          if (is_int) out.i64[i] = has ? c.i64[i + step] : 0;
          else out.b8[i] = has ? c.b8[i + step] : 0;
        }
      });
      return out;
    }
    case DType::Text: break;
  }
  throw UnsupportedType("shift of a text column");
}

Column shift_int(const Column& c, const RunGroups& g, int k, std::int64_t fill) {
  if (c.type() != DType::Int64 && c.type() != DType::Bool) throw UnsupportedType("shift_int needs int64 or bool");
  const std::size_t n = c.size();
  const std::int32_t* avail = k >= 0 ? g.pos() : g.rem();
  const std::int32_t dist = k >= 0 ? k : -k;
  const std::ptrdiff_t step = -static_cast<std::ptrdiff_t>(k);
  const bool is_int = c.type() == DType::Int64;
  Column out = Column::int64(n);
  parallel_groups(g, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
      if (avail[i] >= dist && c.present(i + step))
        out.i64[i] = is_int ? c.i64[i + step] : c.b8[i + step];
      else
        out.i64[i] = fill;
    }
  });
  return out;
}

Column rolling(const Column& c, const RunGroups& g, int window, WindowStat stat) {
  if (window < 1) throw ValueError("window must hold at least one row");
  const std::size_t n = c.size();
  const NumView v(c);
  const std::int32_t* pos = g.pos();
  Column out = Column::float64(n);
  parallel_groups(g, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
      std::size_t len = static_cast<std::size_t>(pos[i]) + 1;
      if (len > static_cast<std::size_t>(window)) len = window;
      std::size_t first = i + 1 - len;
      // Sums run over differences from the window's first present value, so a
      // window of equal values has mean exactly that value and spread exactly 0.
      double first_value = 0.0, max = 0.0, dsum = 0.0;
      std::size_t cnt = 0;
      for (std::size_t j = first; j <= i; ++j) {
        double x = v[j];
        if (std::isnan(x)) continue;
        if (cnt++ == 0) {
          first_value = max = x;
        } else {
          max = x > max ? x : max;
          dsum += x - first_value;
        }
      }
      if (cnt == 0) {
        out.f64[i] = kNaN;
        continue;
      }
      double dmean = dsum / static_cast<double>(cnt);
      switch (stat) {
        case WindowStat::Max: out.f64[i] = max; break;
        case WindowStat::Sum: {
          double s = 0.0;
          for (std::size_t j = first; j <= i; ++j)
            if (!std::isnan(v[j])) s += v[j];
          out.f64[i] = s;
          break;
        }
        case WindowStat::Mean: out.f64[i] = first_value + dmean; break;
        case WindowStat::Std: {
          double ss = 0.0;
          for (std::size_t j = first; j <= i; ++j) {
            double x = v[j];
            if (!std::isnan(x)) ss += (x - first_value - dmean) * (x - first_value - dmean);
          }
          out.f64[i] = std::sqrt(ss / static_cast<double>(cnt));
          break;
        }
      }
    }
  });
  return out;
}

Column running_sum(const Column& c, const RunGroups& g) {
  const std::size_t n = c.size();
  const std::int32_t* pos = g.pos();
  if (c.type() == DType::Float64) {
    Column out = Column::float64(n);
    parallel_groups(g, [&](std::size_t b, std::size_t e) {
      double acc = 0.0;
      for (std::size_t i = b; i < e; ++i) {
        if (pos[i] == 0) acc = 0.0;
        double x = c.f64[i];
        if (std::isnan(x)) {
          out.f64[i] = kNaN;
        } else {
          acc += x;
          out.f64[i] = acc;
        }
      }
    });
    return out;
  }
  if (c.type() == DType::Text) throw UnsupportedType("running sum of a text column");
  const bool is_int = c.type() == DType::Int64;
  Column out = Column::int64(n);
  if (c.has_mask()) out.ensure_mask();
  parallel_groups(g, [&](std::size_t b, std::size_t e) {
    std::int64_t acc = 0;
    for (std::size_t i = b; i < e; ++i) {
      if (pos[i] == 0) acc = 0;
      if (c.present(i)) acc += is_int ? c.i64[i] : c.b8[i];
      out.i64[i] = acc;
      if (c.has_mask()) out.valid[i] = c.valid[i];
    }
  });
  return out;
}

Column position(const RunGroups& g) {
  const std::size_t n = g.num_rows();
  Column out = Column::int64(n);
  parallel_groups(g, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) out.i64[i] = g.pos()[i];
  });
  return out;
}

}  // namespace halvex::table
