#include "common/parallel.h"

#include <cerrno>
#include <cstdlib>

namespace halvex {

unsigned worker_threads() {
  if (const char* env = std::getenv("HALVEX_THREADS")) {
    errno = 0;
    long v = std::strtol(env, nullptr, 10);
    if (errno == ERANGE && v > 0) return kMaxThreads;
    if (v < 1) return 1;
    return v > static_cast<long>(kMaxThreads) ? kMaxThreads : static_cast<unsigned>(v);
  }
  unsigned hw = std::thread::hardware_concurrency();
  if (hw == 0) return 1;
  return hw > kDefaultMaxThreads ? kDefaultMaxThreads : hw;
}

}  // namespace halvex
