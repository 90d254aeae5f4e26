#include "table/sort.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>

#include "common/errors.h"
#include "common/parallel.h"

namespace halvex::table {

int compare_rows(const Column& c, std::size_t i, std::size_t j) {
  bool pi = c.present(i), pj = c.present(j);
  if (!pi || !pj) return pi == pj ? 0 : (pi ? -1 : 1);
  switch (c.type()) {
    case DType::Float64: return c.f64[i] < c.f64[j] ? -1 : (c.f64[j] < c.f64[i] ? 1 : 0);
    case DType::Int64: return c.i64[i] < c.i64[j] ? -1 : (c.i64[j] < c.i64[i] ? 1 : 0);
    case DType::Bool: return static_cast<int>(c.b8[i]) - static_cast<int>(c.b8[j]);
    case DType::Text: {
      int r = c.str(i).compare(c.str(j));  // byte order
      return r < 0 ? -1 : (r > 0 ? 1 : 0);
    }
  }
  return 0;
}

namespace {

// compare_rows with the type dispatch hoisted out of the row loop for the
// common key types.
template <class Fn>
auto with_comparator(const Column& c, Fn&& fn) {
  if (c.type() == DType::Text && !c.has_mask())
    return fn([&c](std::size_t i, std::size_t j) {
      int r = c.str(i).compare(c.str(j));
      return r < 0 ? -1 : (r > 0 ? 1 : 0);
    });
  if (c.type() == DType::Int64 && !c.has_mask())
    return fn([&c](std::size_t i, std::size_t j) { return c.i64[i] < c.i64[j] ? -1 : (c.i64[j] < c.i64[i] ? 1 : 0); });
  return fn([&c](std::size_t i, std::size_t j) { return compare_rows(c, i, j); });
}

}  // namespace

bool is_sorted_by(const Column& k1, const Column& k2) {
  return with_comparator(k1, [&](auto cmp1) {
    return with_comparator(k2, [&](auto cmp2) {
      const std::size_t n = k1.size();
      std::vector<char> ok(worker_count(n), 1);
      auto ranges = even_ranges(n, ok.size());
      run_ranges(ranges, [&](const RowRange& r) {
        std::size_t k = &r - ranges.data();
        for (std::size_t i = r.begin == 0 ? 1 : r.begin; i < r.end; ++i) {
          int a = cmp1(i - 1, i);
          if (a > 0 || (a == 0 && cmp2(i - 1, i) > 0)) {
            ok[k] = 0;
            return;
          }
        }
      });
      return std::all_of(ok.begin(), ok.end(), [](char v) { return v != 0; });
    });
  });
}

std::vector<std::int64_t> stable_sort_indices(const Column& k1, const Column& k2) {
  std::vector<std::int64_t> idx(k1.size());
  std::iota(idx.begin(), idx.end(), 0);
  if (is_sorted_by(k1, k2)) return idx;
  std::stable_sort(idx.begin(), idx.end(), [&](std::int64_t a, std::int64_t b) {
    int r = compare_rows(k1, a, b);
    if (r != 0) return r < 0;
    return compare_rows(k2, a, b) < 0;
  });
  return idx;
}

Column take(const Column& c, const std::int64_t* idx, std::size_t n) {
  bool any_neg = false;
  for (std::size_t i = 0; i < n && !any_neg; ++i) any_neg = idx[i] < 0;
  switch (c.type()) {
    case DType::Float64: {
      Column out = Column::float64(n);
      parallel_rows(n, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i)
          out.f64[i] = idx[i] < 0 ? std::numeric_limits<double>::quiet_NaN() : c.f64[idx[i]];
      });
      return out;
    }
    case DType::Int64:
    case DType::Bool: {
      bool is_int = c.type() == DType::Int64;
      Column out = is_int ? Column::int64(n) : Column::boolean(n);
      out.int_width = c.int_width;
      bool mask = any_neg || c.has_mask();
      if (mask) out.ensure_mask();
      parallel_rows(n, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
          std::int64_t j = idx[i];
          if (is_int) out.i64[i] = j < 0 ? 0 : c.i64[j];
          else out.b8[i] = j < 0 ? 0 : c.b8[j];
          if (mask) out.valid[i] = j >= 0 && c.present(j);
        }
      });
      return out;
    }
    case DType::Text: {
      std::size_t bytes = 0;
      for (std::size_t i = 0; i < n; ++i)
        if (idx[i] >= 0) bytes += c.offsets[idx[i] + 1] - c.offsets[idx[i]];
      Column out = Column::text(n, bytes ? bytes : 1);
      bool mask = any_neg || c.has_mask();
      if (mask) out.ensure_mask();
      std::int64_t at = 0;
      for (std::size_t i = 0; i < n; ++i) {
        std::int64_t j = idx[i];
        if (j >= 0) {
          std::int64_t len = c.offsets[j + 1] - c.offsets[j];
          if (len) std::memcpy(out.chars.data() + at, c.chars.data() + c.offsets[j], len);
          at += len;
        }
        out.offsets[i + 1] = at;
        if (mask) out.valid[i] = j >= 0 && c.present(j);
      }
      return out;
    }
  }
  throw UnsupportedType("take");
}

Table take(const Table& t, const std::vector<std::int64_t>& idx) {
  Table out;
  for (std::size_t k = 0; k < t.num_columns(); ++k) out.set(t.names()[k], take(t.at(k), idx.data(), idx.size()));
  return out;
}

void reorder(Table& t, const std::int64_t* order, std::size_t n) {
  bool identity = n == t.num_rows();
  for (std::size_t i = 0; i < n && identity; ++i) identity = order[i] == static_cast<std::int64_t>(i);
  if (identity) return;
  Table out;
  for (std::size_t k = 0; k < t.num_columns(); ++k) {
    out.set(t.names()[k], take(t.at(k), order, n));
    t.at(k) = Column();  // release each source column as soon as it is copied
  }
  t = std::move(out);
}

}  // namespace halvex::table
