#include "table/join.h"

#include <atomic>
#include <string_view>
#include <unordered_map>

#include "table/errors.h"
#include "table/parallel.h"

namespace halvex::table {

namespace {

struct Key {
  std::string_view a, b;
  bool operator==(const Key& o) const { return a == o.a && b == o.b; }
};

struct KeyHash {
  std::size_t operator()(const Key& k) const {
    std::size_t h1 = std::hash<std::string_view>()(k.a), h2 = std::hash<std::string_view>()(k.b);
    return h1 ^ (h2 + 0x9e3779b97f4a7c15ULL + (h1 << 6) + (h1 >> 2));
  }
};

}  // namespace

JoinIndices left_join(const Column& l1, const Column& l2, const Column& r1, const Column& r2) {
  for (const Column* c : {&l1, &l2, &r1, &r2})
    if (c->type() != DType::Text) throw UnsupportedType("join keys must be text");
  const std::size_t nl = l1.size(), nr = r1.size();

  // Right rows by key: first row, and a chain to the next row of the same key.
  std::unordered_map<Key, std::int64_t, KeyHash> first;
  first.reserve(nr);
  std::vector<std::int64_t> next(nr, -1), last_of(nr, -1);
  for (std::size_t j = 0; j < nr; ++j) {
    if (!r1.present(j) || !r2.present(j)) continue;
    auto [it, fresh] = first.emplace(Key{r1.str(j), r2.str(j)}, static_cast<std::int64_t>(j));
    if (fresh) {
      last_of[j] = static_cast<std::int64_t>(j);
    } else {
      std::int64_t head = it->second;
      next[last_of[head]] = static_cast<std::int64_t>(j);
      last_of[head] = static_cast<std::int64_t>(j);
    }
  }

  JoinIndices out;
  out.right.resize(nl);
  std::atomic<bool> multi{false};
  parallel_rows(nl, [&](std::size_t b, std::size_t e) {
    bool local_multi = false;
    for (std::size_t i = b; i < e; ++i) {
      std::int64_t m = -1;
      if (l1.present(i) && l2.present(i)) {
        auto it = first.find(Key{l1.str(i), l2.str(i)});
        if (it != first.end()) {
          m = it->second;
          local_multi |= next[m] >= 0;
        }
      }
      out.right[i] = m;
    }
    if (local_multi) multi.store(true);
  });
  if (!multi) return out;

  // Some left rows match several right rows: expand.
  std::vector<std::int64_t> first_match = std::move(out.right);
  out.right.clear();
  out.right.reserve(nl);
  out.left.reserve(nl);
  for (std::size_t i = 0; i < nl; ++i) {
    std::int64_t m = first_match[i];
    do {
      out.left.push_back(static_cast<std::int64_t>(i));
      out.right.push_back(m);
      m = m >= 0 ? next[m] : -1;
    } while (m >= 0);
  }
  return out;
}

}  // namespace halvex::table
