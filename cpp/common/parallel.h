// The one way both cores spread work over threads, and how many they use.
#pragma once

#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

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

// Runs f(t) for t in [0, threads), t == 0 on the calling thread, and waits for all. When any
// of them throws, the exception of the lowest t is rethrown, so which error a caller sees
// never depends on timing.
template <class F>
void run_parallel(std::size_t threads, F&& f) {
  if (threads <= 1) {
    if (threads == 1) f(std::size_t{0});
    return;
  }
  std::vector<std::exception_ptr> errors(threads);
  std::vector<std::thread> pool;
  pool.reserve(threads - 1);
  for (std::size_t t = 1; t < threads; ++t) {
    pool.emplace_back([&, t] {
      try {
        f(t);
      } catch (...) {
        errors[t] = std::current_exception();
      }
    });
  }
  try {
    f(std::size_t{0});
  } catch (...) {
    errors[0] = std::current_exception();
  }
  for (auto& th : pool) th.join();
  for (auto& e : errors)
    if (e) std::rethrow_exception(e);
}

}  // namespace halvex
