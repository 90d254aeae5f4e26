// Stage timings on standard error when HALVEX_TIMING is set; for profiling.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace halvex::table {

class StageTimer {
 public:
  StageTimer() : on_(std::getenv("HALVEX_TIMING") != nullptr), t_(std::chrono::steady_clock::now()) {}
  void mark(const char* what) {
    if (!on_) return;
    auto now = std::chrono::steady_clock::now();
    std::fprintf(stderr, "  [time] %-28s %8.1f ms\n", what, std::chrono::duration<double, std::milli>(now - t_).count());
    t_ = now;
  }

 private:
  bool on_;
  std::chrono::steady_clock::time_point t_;
};

}  // namespace halvex::table
