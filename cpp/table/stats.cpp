#include "table/stats.h"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "common/errors.h"
#include "common/parallel.h"

namespace halvex::table {

namespace {

// Per-range sets merged at the end. Runs of equal neighbours are skipped,
// and a small direct-mapped cache of recent values answers most repeats
// (periods cycle through a few values) before the set is asked.
template <class T, class Get>
std::size_t distinct_with(const Column& c, Get get) {
  const std::size_t n = c.size();
  auto ranges = even_ranges(n, worker_count(n));
  std::vector<std::unordered_set<T>> sets(ranges.size());
  run_ranges(ranges, [&](const RowRange& r) {
    auto& s = sets[&r - ranges.data()];
    constexpr std::size_t kCache = 256;
    T cache[kCache];
    bool used[kCache] = {};
    auto slot_of = [](const T& v) -> std::size_t {
      std::uint64_t h;
      if constexpr (std::is_same_v<T, std::string_view>) {
        // Cheap: length and up to the first 8 bytes; the set does real hashing.
        h = v.size();
        std::uint64_t w = 0;
        std::memcpy(&w, v.data(), v.size() < 8 ? v.size() : 8);
        h ^= w;
        if (v.size() > 8) {
          std::memcpy(&w, v.data() + v.size() - 8, 8);
          h ^= w * 31;
        }
      } else {
        std::memcpy(&h, &v, sizeof h);
      }
      return (h * 0x9E3779B97F4A7C15ULL) >> 56;
    };
    bool have_prev = false;
    T prev{};
    for (std::size_t i = r.begin; i < r.end; ++i) {
      if (!c.present(i)) continue;
      T v = get(i);
      if (have_prev && v == prev) continue;
      prev = v;
      have_prev = true;
      std::size_t slot = slot_of(v);
      if (used[slot] && cache[slot] == v) continue;
      s.insert(v);
      cache[slot] = v;
      used[slot] = true;
    }
  });
  for (std::size_t k = 1; k < sets.size(); ++k) sets[0].insert(sets[k].begin(), sets[k].end());
  return sets.empty() ? 0 : sets[0].size();
}

}  // namespace

namespace {

// Distinct count of a text column that turns out to be in ascending order
// (a sorted key column): the number of value changes, without hashing.
// Returns false when the column is not sorted or has missing values.
bool distinct_if_sorted(const Column& c, std::size_t& out) {
  if (c.type() != DType::Text || c.has_mask() || c.size() == 0) return false;
  const std::size_t n = c.size();
  auto ranges = even_ranges(n, worker_count(n));
  std::vector<std::size_t> changes(ranges.size(), 0);
  std::vector<char> sorted(ranges.size(), 1);
  run_ranges(ranges, [&](const RowRange& r) {
    std::size_t k = &r - ranges.data(), ch = 0;
    for (std::size_t i = r.begin == 0 ? 1 : r.begin; i < r.end; ++i) {
      int cmp = c.str(i - 1).compare(c.str(i));
      if (cmp > 0) {
        sorted[k] = 0;
        return;
      }
      ch += cmp != 0;
    }
    changes[k] = ch;
  });
  for (char s : sorted)
    if (!s) return false;
  out = 1;
  for (auto ch : changes) out += ch;
  return true;
}

}  // namespace

std::size_t count_distinct(const Column& c) {
  std::size_t sorted_count = 0;
  if (distinct_if_sorted(c, sorted_count)) return sorted_count;
  switch (c.type()) {
    case DType::Float64:
      return distinct_with<double>(c, [&](std::size_t i) { return c.f64[i] == 0.0 ? 0.0 : c.f64[i]; });
    case DType::Int64: return distinct_with<std::int64_t>(c, [&](std::size_t i) { return c.i64[i]; });
    case DType::Bool: return distinct_with<std::int64_t>(c, [&](std::size_t i) { return std::int64_t{c.b8[i]}; });
    case DType::Text: return distinct_with<std::string_view>(c, [&](std::size_t i) { return c.str(i); });
  }
  return 0;
}

double sum(const Column& c) {
  double s = 0.0;
  for (std::size_t i = 0; i < c.size(); ++i) {
    if (!c.present(i)) continue;
    switch (c.type()) {
      case DType::Float64: s += c.f64[i]; break;
      case DType::Int64: s += static_cast<double>(c.i64[i]); break;
      case DType::Bool: s += c.b8[i]; break;
      case DType::Text: throw UnsupportedType("sum of a text column");
    }
  }
  return s;
}

}  // namespace halvex::table
