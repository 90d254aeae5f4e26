// Grouping by runs: a group is a maximal run of consecutive rows with equal
// key values, so a table sorted by its key has one run per key value. A row
// whose key is missing is a group of its own (it has no history).
#pragma once

#include <cstdint>
#include <vector>

#include "common/parallel.h"
#include "table/buffer.h"
#include "table/column.h"

namespace halvex::table {

class RunGroups {
 public:
  static RunGroups of(const Column& key);

  std::size_t num_rows() const { return pos_.size(); }
  // 0-based position of each row within its group.
  const std::int32_t* pos() const { return pos_.data(); }
  // Number of rows after each row within its group.
  const std::int32_t* rem() const { return rem_.data(); }

  // Row ranges for the worker threads, each starting at a group start.
  std::vector<RowRange> ranges() const;
  // Row ranges of about `rows_each` rows (more where a group crosses a cut), each starting
  // at a group start.
  std::vector<RowRange> ranges_of(std::size_t rows_each) const;

 private:
  Buffer<std::int32_t> pos_;
  Buffer<std::int32_t> rem_;
  std::vector<RowRange> at_group_starts(const std::vector<RowRange>& even) const;
};

// fn(begin, end) over the group-aligned ranges of g.
template <class Fn>
void parallel_groups(const RunGroups& g, Fn&& fn) {
  run_ranges(g.ranges(), [&](const RowRange& r) { fn(r.begin, r.end); });
}

}  // namespace halvex::table
