// Row-range parallelism for whole-column operations, on the threads of common/parallel.h.
//
// Work is split into contiguous row ranges; every row's result depends only
// on rows of its own range (ranges are cut at group starts where history
// matters), so results never depend on the number of threads.
#pragma once

#include <cstddef>
#include <vector>

#include "common/parallel.h"

namespace halvex::table {

struct RowRange {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// Below this many rows a second thread costs more than it saves.
inline constexpr std::size_t kMinRowsPerThread = 200000;

// Threads to use for n rows: halvex::worker_threads(), but no more than one
// per kMinRowsPerThread rows (and at least 1).
std::size_t worker_count(std::size_t rows);

// `parts` ranges of about equal size covering [0, n).
std::vector<RowRange> even_ranges(std::size_t n, std::size_t parts);

// Runs fn(range) for every range, the first on the calling thread. The
// exception of the first failing range is rethrown after all have finished.
// A cancelled run (common/cancel.h) stops before its ranges start.
template <class Fn>
void run_ranges(const std::vector<RowRange>& ranges, Fn&& fn) {
  halvex::run_parallel(ranges.size(), [&](std::size_t k) {
    halvex::cancel_point();
    fn(ranges[k]);
  });
}

// fn(begin, end) over [0, n) split evenly across the worker threads.
template <class Fn>
void parallel_rows(std::size_t n, Fn&& fn) {
  run_ranges(even_ranges(n, worker_count(n)), [&](const RowRange& r) { fn(r.begin, r.end); });
}

}  // namespace halvex::table
