// The one way both cores spread work over threads, and how many they use.
#pragma once

#include <cstddef>
#include <functional>

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

}  // namespace halvex
