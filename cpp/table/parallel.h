// Row-range parallelism for whole-column operations.
//
// Work is split into contiguous row ranges; every row's result depends only
// on rows of its own range (ranges are cut at group starts where history
// matters), so results never depend on the number of threads.
#pragma once

#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace halvex::table {

struct RowRange {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// Below this many rows a second thread costs more than it saves.
inline constexpr std::size_t kMinRowsPerThread = 200000;

// Threads to use for n rows: HALVEX_THREADS if set (at least 1), else the
// hardware concurrency, capped at 8.
std::size_t worker_count(std::size_t rows);

// `parts` ranges of about equal size covering [0, n).
std::vector<RowRange> even_ranges(std::size_t n, std::size_t parts);

// Runs fn(range) for every range, the first on the calling thread. The first
// exception thrown by any range is rethrown after all have finished.
template <class Fn>
void run_ranges(const std::vector<RowRange>& ranges, Fn&& fn) {
  if (ranges.size() <= 1) {
    for (const auto& r : ranges) fn(r);
    return;
  }
  std::vector<std::exception_ptr> errors(ranges.size());
  std::vector<std::thread> threads;
  threads.reserve(ranges.size() - 1);
  for (std::size_t k = 1; k < ranges.size(); ++k) {
    threads.emplace_back([&, k] {
      try {
        fn(ranges[k]);
      } catch (...) {
        errors[k] = std::current_exception();
      }
    });
  }
  try {
    fn(ranges[0]);
  } catch (...) {
    errors[0] = std::current_exception();
  }
  for (auto& t : threads) t.join();
  for (auto& e : errors)
    if (e) std::rethrow_exception(e);
}

// fn(begin, end) over [0, n) split evenly across the worker threads.
template <class Fn>
void parallel_rows(std::size_t n, Fn&& fn) {
  run_ranges(even_ranges(n, worker_count(n)), [&](const RowRange& r) { fn(r.begin, r.end); });
}

}  // namespace halvex::table
