// The one way both cores spread work over threads, and how many they use.
//
// Whole-column work is split into contiguous row ranges; every row's result depends only on
// rows of its own range (ranges are cut at group starts where history matters), so results
// never depend on the number of threads.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "common/cancel.h"

namespace halvex {

// More threads than this are never started, whatever HALVEX_THREADS asks (the renderer keeps
// a byte per row for the thread that read it).
inline constexpr unsigned kMaxThreads = 64;
// Without HALVEX_THREADS: the hardware concurrency, but no more than this.
inline constexpr unsigned kDefaultMaxThreads = 16;

// Threads for work that can use every core: HALVEX_THREADS when set (a number; anything
// below 1, or not a number, is 1), else the hardware concurrency capped at
// kDefaultMaxThreads; always between 1 and kMaxThreads. Read on every call.
unsigned worker_threads();

namespace detail {
void run_threads(std::size_t threads, const std::function<void(std::size_t)>& f);
}

// Runs f(t) for t in [0, threads), t == 0 on the calling thread, and waits for all. When any
// of them throws, the exception of the lowest t is rethrown, so which error a caller sees
// never depends on timing. The workers belong to the caller's run (common/cancel.h); while
// the calling thread waits for them it keeps asking whether the run is cancelled (it throws
// nothing itself: the workers stop at their own cancel points).
template <class F>
void run_parallel(std::size_t threads, F&& f) {
  if (threads <= 1) {
    if (threads == 1) f(std::size_t{0});
    return;
  }
  detail::run_threads(threads, std::function<void(std::size_t)>(std::ref(f)));
}

struct RowRange {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// Below this many rows a second thread costs more than it saves.
inline constexpr std::size_t kMinRowsPerThread = 200000;

// Threads to use for n rows: worker_threads(), but no more than one per kMinRowsPerThread
// rows (and at least 1).
std::size_t worker_count(std::size_t rows);

// `parts` ranges of about equal size covering [0, n).
std::vector<RowRange> even_ranges(std::size_t n, std::size_t parts);

// Runs fn(range) for every range, the first on the calling thread. The exception of the
// first failing range is rethrown after all have finished. A cancelled run
// (common/cancel.h) stops before its ranges start.
template <class Fn>
void run_ranges(const std::vector<RowRange>& ranges, Fn&& fn) {
  run_parallel(ranges.size(), [&](std::size_t k) {
    cancel_point();
    fn(ranges[k]);
  });
}

// fn(begin, end) over [0, n) split evenly across the worker threads.
template <class Fn>
void parallel_rows(std::size_t n, Fn&& fn) {
  run_ranges(even_ranges(n, worker_count(n)), [&](const RowRange& r) { fn(r.begin, r.end); });
}

}  // namespace halvex
