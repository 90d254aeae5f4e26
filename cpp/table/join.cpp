#include "table/join.h"

#include <algorithm>
#include <atomic>
#include <string_view>
#include <unordered_map>

#include "common/errors.h"
#include "common/parallel.h"

namespace halvex::table {

namespace {

// Second keys: text compared byte for byte, or dictionary codes.
struct TextKey {
  const Column& c;
  bool present(std::size_t i) const { return c.present(i); }
  std::string_view key(std::size_t i) const { return c.str(i); }
};
struct CodeKey {
  const std::int32_t* codes;
  bool present(std::size_t i) const { return codes[i] >= 0; }
  std::int32_t key(std::size_t i) const { return codes[i]; }
};

// The right rows are grouped by their first key (one hash entry per distinct
// value) and, within a group, ordered by the second key, stably. A left row
// then costs one hash probe per run of equal first keys (sorted tables have
// long runs) and a binary search within the group.
template <class Second>
JoinIndices join_impl(const Column& l1, const Second& l2, const Column& r1, const Second& r2,
                      const JoinRowsCounted& counted) {
  const std::size_t nl = l1.size(), nr = r1.size();

  // Group id of every right row with both keys present (-1 otherwise).
  std::unordered_map<std::string_view, std::int64_t> group_of;
  std::vector<std::int64_t> gid(nr, -1);
  std::int64_t groups = 0, last = -1;
  std::string_view last_key;
  for (std::size_t j = 0; j < nr; ++j) {
    if (!r1.present(j) || !r2.present(j)) continue;
    std::string_view k = r1.str(j);
    if (last < 0 || k != last_key) {
      auto [it, fresh] = group_of.emplace(k, groups);
      if (fresh) ++groups;
      last = it->second;
      last_key = k;
    }
    gid[j] = last;
  }
  // Rows of each group together (counting sort keeps row order), then each
  // group ordered by the second key, stably.
  std::vector<std::int64_t> start(groups + 1, 0), rows;
  for (auto v : gid)
    if (v >= 0) ++start[v + 1];
  for (std::int64_t k = 0; k < groups; ++k) start[k + 1] += start[k];
  rows.resize(start[groups]);
  {
    std::vector<std::int64_t> fill(start.begin(), start.end() - 1);
    for (std::size_t j = 0; j < nr; ++j)
      if (gid[j] >= 0) rows[fill[gid[j]]++] = static_cast<std::int64_t>(j);
  }
  auto by_second = [&](std::int64_t a, std::int64_t b) { return r2.key(a) < r2.key(b); };
  for (std::int64_t k = 0; k < groups; ++k) {
    auto first = rows.begin() + start[k], end = rows.begin() + start[k + 1];
    if (!std::is_sorted(first, end, by_second)) std::stable_sort(first, end, by_second);
  }

  // Probe: matches of each left row as a range [lo, hi) of `rows`.
  Buffer<std::int64_t> lo(nl), hi(nl);
  std::atomic<bool> multi{false};
  parallel_rows(nl, [&](std::size_t b, std::size_t e) {
    bool local_multi = false;
    std::int64_t group = -1;
    std::string_view key;
    bool have = false;
    for (std::size_t i = b; i < e; ++i) {
      lo[i] = hi[i] = 0;
      if (!l1.present(i) || !l2.present(i)) continue;
      std::string_view k = l1.str(i);
      if (!have || k != key) {
        auto it = group_of.find(k);
        group = it == group_of.end() ? -1 : it->second;
        key = k;
        have = true;
      }
      if (group < 0) continue;
      const auto second = l2.key(i);
      auto first = rows.begin() + start[group], end = rows.begin() + start[group + 1];
      auto a = std::lower_bound(first, end, second, [&](std::int64_t r, const auto& v) { return r2.key(r) < v; });
      // A few steps cover the usual one match; a long run of matches is
      // measured by a search, so counting it costs no step per match.
      auto z = a;
      for (int step = 0; step < 8 && z != end && r2.key(*z) == second; ++step) ++z;
      if (z != end && r2.key(*z) == second)
        z = std::upper_bound(z, end, second, [&](const auto& v, std::int64_t r) { return v < r2.key(r); });
      lo[i] = a - rows.begin();
      hi[i] = z - rows.begin();
      local_multi |= hi[i] - lo[i] > 1;
    }
    if (local_multi) multi.store(true);
  });

  JoinIndices out;
  if (!multi) {
    out.right = Buffer<std::int64_t>(nl);
    parallel_rows(nl, [&](std::size_t b, std::size_t e) {
      for (std::size_t i = b; i < e; ++i) out.right[i] = hi[i] > lo[i] ? rows[lo[i]] : -1;
    });
    return out;
  }
  // Some left rows match several right rows: one output row per match.
  std::size_t total = 0;
  for (std::size_t i = 0; i < nl; ++i) total += hi[i] > lo[i] ? hi[i] - lo[i] : 1;
  if (counted) counted(total);
  out.left = Buffer<std::int64_t>(total);
  out.right = Buffer<std::int64_t>(total);
  std::size_t at = 0;
  for (std::size_t i = 0; i < nl; ++i) {
    if (hi[i] == lo[i]) {
      out.left[at] = static_cast<std::int64_t>(i);
      out.right[at++] = -1;
    }
    for (std::int64_t m = lo[i]; m < hi[i]; ++m) {
      out.left[at] = static_cast<std::int64_t>(i);
      out.right[at++] = rows[m];
    }
  }
  return out;
}

// Whether the present keys ascend in byte order with every missing key after
// them (the order of a sorted fact table); `all_present` also refuses missing keys.
bool ascending_text(const Column& c, bool all_present) {
  std::atomic<bool> ok{true};
  parallel_rows(c.size(), [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b == 0 ? 1 : b; i < e && ok.load(std::memory_order_relaxed); ++i) {
      const bool prev = c.present(i - 1), cur = c.present(i);
      if (!cur ? all_present : prev && c.str(i - 1) > c.str(i)) ok = false;
      if (cur && !prev) ok = false;
    }
    if (b == 0 && e > 0 && all_present && !c.present(0)) ok = false;
  });
  return ok;
}

// Left rows [b, e) against a right side sorted by its first key, both walked
// once in order: emit(i, r) for every match r of left row i in right-row
// order, or emit(i, -1) when there is none. A left run of equal first keys
// meets the right run of that key; within the pair, rows match on codes.
//
// Without kEveryMatch, emit(i, r, n) is called once per left row instead, with
// its first match (or -1) and the number of output rows it makes, which a long
// run of matches gives without a step per match.
template <bool kEveryMatch, class Emit>
void merge_walk(const Column& l1, const std::int32_t* l2, const Column& r1, const std::int32_t* r2, std::size_t b,
                std::size_t e, Emit&& emit) {
  auto none = [&](std::size_t i) {
    if constexpr (kEveryMatch) emit(i, -1);
    else emit(i, -1, std::size_t{1});
  };
  const std::size_t nr = r1.size();
  std::size_t j = 0;
  if (b < e && l1.present(b)) {  // start at the first right row not below this range's first key
    std::size_t lo = 0, hi = nr;
    const std::string_view k = l1.str(b);
    while (lo < hi) {
      std::size_t mid = lo + (hi - lo) / 2;
      if (r1.str(mid) < k) lo = mid + 1;
      else hi = mid;
    }
    j = lo;
  }
  std::vector<std::pair<std::int32_t, std::int64_t>> by_code;  // for large runs only
  std::size_t i = b;
  while (i < e) {
    if (!l1.present(i)) {  // missing keys come last and match nothing
      none(i++);
      continue;
    }
    const std::string_view k = l1.str(i);
    std::size_t run_end = i + 1;
    while (run_end < e && l1.present(run_end) && l1.str(run_end) == k) ++run_end;
    while (j < nr && r1.str(j) < k) ++j;
    const std::size_t c = j;
    while (j < nr && r1.str(j) == k) ++j;
    const std::size_t d = j;
    if ((run_end - i) * (d - c) <= 256) {
      for (; i < run_end; ++i) {
        const std::int32_t code = l2[i];
        std::size_t matches = 0;
        std::int64_t first = -1;
        if (code >= 0)
          for (std::size_t r = c; r < d; ++r)
            if (r2[r] == code) {
              if constexpr (kEveryMatch) emit(i, static_cast<std::int64_t>(r));
              if (matches++ == 0) first = static_cast<std::int64_t>(r);
            }
        if constexpr (kEveryMatch) {
          if (matches == 0) emit(i, -1);
        } else {
          emit(i, first, matches ? matches : 1);
        }
      }
      continue;
    }
    // Long histories on both sides: the right run ordered by code, stably.
    by_code.clear();
    for (std::size_t r = c; r < d; ++r)
      if (r2[r] >= 0) by_code.emplace_back(r2[r], static_cast<std::int64_t>(r));
    std::stable_sort(by_code.begin(), by_code.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    for (; i < run_end; ++i) {
      const std::int32_t code = l2[i];
      auto lo = std::lower_bound(by_code.begin(), by_code.end(), code,
                                 [](const auto& x, std::int32_t v) { return x.first < v; });
      if (code < 0 || lo == by_code.end() || lo->first != code) {
        none(i);
        continue;
      }
      if constexpr (kEveryMatch) {
        for (; lo != by_code.end() && lo->first == code; ++lo) emit(i, lo->second);
      } else {
        auto hi = std::upper_bound(lo, by_code.end(), code,
                                   [](std::int32_t v, const auto& x) { return v < x.first; });
        emit(i, lo->second, static_cast<std::size_t>(hi - lo));
      }
    }
  }
}

// left_join_coded when both sides are sorted by their first key: no hashing,
// no per-row working arrays, one sequential pass per thread.
JoinIndices merge_join(const Column& l1, const std::int32_t* l2, const Column& r1, const std::int32_t* r2,
                       const JoinRowsCounted& counted) {
  const std::size_t nl = l1.size();
  // Ranges cut only where the first key changes, so a run stays in one range.
  std::vector<RowRange> ranges = even_ranges(nl, worker_count(nl));
  for (std::size_t k = 1; k < ranges.size(); ++k) {
    std::size_t cut = std::max(ranges[k].begin, ranges[k - 1].begin);
    while (cut < nl && l1.present(cut) && l1.present(cut - 1) && l1.str(cut) == l1.str(cut - 1)) ++cut;
    ranges[k - 1].end = ranges[k].begin = cut;
    ranges[k].end = std::max(ranges[k].end, cut);
  }
  JoinIndices out;
  out.right = Buffer<std::int64_t>(nl);
  std::vector<std::size_t> emitted(ranges.size(), 0);  // output rows of each range
  run_ranges(ranges, [&](const RowRange& rr) {
    std::size_t n = 0;
    merge_walk<false>(l1, l2, r1, r2, rr.begin, rr.end, [&](std::size_t i, std::int64_t r, std::size_t rows) {
      out.right[i] = r;
      n += rows;
    });
    emitted[&rr - ranges.data()] = n;
  });
  std::size_t total = 0;
  for (std::size_t n : emitted) total += n;
  if (total == nl) return out;
  // Some left rows match several right rows: one output row per match.
  if (counted) counted(total);
  out.right = Buffer<std::int64_t>();
  out.left = Buffer<std::int64_t>(total);
  out.right = Buffer<std::int64_t>(total);
  std::size_t at = 0;
  merge_walk<true>(l1, l2, r1, r2, 0, nl, [&](std::size_t i, std::int64_t r) {
    out.left[at] = static_cast<std::int64_t>(i);
    out.right[at++] = r;
  });
  return out;
}

}  // namespace

JoinIndices left_join(const Column& l1, const Column& l2, const Column& r1, const Column& r2,
                      const JoinRowsCounted& counted) {
  for (const Column* c : {&l1, &l2, &r1, &r2})
    if (c->type() != DType::Text) throw UnsupportedType("join keys must be text");
  return join_impl(l1, TextKey{l2}, r1, TextKey{r2}, counted);
}

JoinIndices left_join_coded(const Column& l1, const std::int32_t* l2, const Column& r1, const std::int32_t* r2,
                            const JoinRowsCounted& counted) {
  for (const Column* c : {&l1, &r1})
    if (c->type() != DType::Text) throw UnsupportedType("join keys must be text");
  if (ascending_text(r1, true) && ascending_text(l1, false)) return merge_join(l1, l2, r1, r2, counted);
  return join_impl(l1, CodeKey{l2}, r1, CodeKey{r2}, counted);
}

}  // namespace halvex::table
