// Work split over a few threads.
#pragma once

#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace halvex::pipeline {

// Runs f(t) for t in [0, threads), t == 0 on the calling thread; rethrows the first exception
// once all have finished.
template <class F>
void run_parallel(unsigned threads, F f) {
  std::exception_ptr error;
  std::mutex mu;
  auto guarded = [&](unsigned t) {
    try {
      f(t);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mu);
      if (!error) error = std::current_exception();
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) pool.emplace_back(guarded, t);
  guarded(0);
  for (auto& th : pool) th.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace halvex::pipeline
