#include "table/groups.h"

#include <cstring>
#include <limits>

#include "common/errors.h"

namespace halvex::table {

namespace {

// Whether row i continues the group of row i-1 (i > 0).
bool same_key(const Column& k, std::size_t i) {
  if (!k.present(i) || !k.present(i - 1)) return false;
  switch (k.type()) {
    case DType::Float64: return k.f64[i] == k.f64[i - 1];
    case DType::Int64: return k.i64[i] == k.i64[i - 1];
    case DType::Bool: return k.b8[i] == k.b8[i - 1];
    case DType::Text: {
      std::int64_t a0 = k.offsets[i - 1], a1 = k.offsets[i], b1 = k.offsets[i + 1];
      return a1 - a0 == b1 - a1 && std::memcmp(k.chars.data() + a0, k.chars.data() + a1, a1 - a0) == 0;
    }
  }
  return false;
}

}  // namespace

RunGroups RunGroups::of(const Column& key) {
  const std::size_t n = key.size();
  if (n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw ValueError("a table of " + std::to_string(n) + " rows is too long to group (at most " +
                     std::to_string(std::numeric_limits<std::int32_t>::max()) + ")");
  RunGroups g;
  g.pos_ = Buffer<std::int32_t>(n);
  g.rem_ = Buffer<std::int32_t>(n);
  // Positions: equality tests in parallel, then a carry across range borders.
  auto ranges = even_ranges(n, worker_count(n));
  run_ranges(ranges, [&](const RowRange& r) {
    std::int32_t p = 0;
    for (std::size_t i = r.begin; i < r.end; ++i) {
      p = (i > r.begin && same_key(key, i)) ? p + 1 : 0;
      g.pos_[i] = p;
    }
  });
  for (std::size_t k = 1; k < ranges.size(); ++k) {
    std::size_t b = ranges[k].begin;
    if (!same_key(key, b)) continue;
    std::int32_t carry = g.pos_[b - 1] + 1;
    for (std::size_t i = b; i < ranges[k].end && (i == b || g.pos_[i] != 0); ++i) g.pos_[i] += carry;
  }
  // Remaining rows: one backward pass.
  for (std::size_t i = n; i-- > 0;) {
    bool last = (i + 1 == n) || g.pos_[i + 1] == 0;
    g.rem_[i] = last ? 0 : g.rem_[i + 1] + 1;
  }
  return g;
}

std::vector<RowRange> RunGroups::ranges() const {
  const std::size_t n = num_rows();
  return at_group_starts(even_ranges(n, worker_count(n)));
}

std::vector<RowRange> RunGroups::ranges_of(std::size_t rows_each) const {
  const std::size_t n = num_rows();
  return at_group_starts(even_ranges(n, rows_each ? (n + rows_each - 1) / rows_each : 1));
}

// Each cut moved on to the next group start; ranges left empty are dropped.
std::vector<RowRange> RunGroups::at_group_starts(const std::vector<RowRange>& even) const {
  const std::size_t n = num_rows();
  std::vector<RowRange> out;
  std::size_t start = 0;
  for (const auto& r : even) {
    std::size_t end = r.end;
    while (end < n && pos_[end] != 0) ++end;  // move the cut to a group start
    if (end > start) out.push_back({start, end});
    start = end;
    if (start >= n) break;
  }
  return out;
}

}  // namespace halvex::table

