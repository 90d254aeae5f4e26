#include "common/parallel.h"

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

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

std::size_t worker_count(std::size_t rows) {
  std::size_t want = worker_threads();
  std::size_t by_size = rows / kMinRowsPerThread;
  if (by_size < 1) by_size = 1;
  return want < by_size ? want : by_size;
}

std::vector<RowRange> even_ranges(std::size_t n, std::size_t parts) {
  if (parts < 1) parts = 1;
  std::vector<RowRange> out;
  std::size_t start = 0;
  for (std::size_t k = 0; k < parts; ++k) {
    std::size_t end = n * (k + 1) / parts;
    if (end > start) out.push_back({start, end});
    start = end;
  }
  return out;
}

namespace detail {

void run_threads(std::size_t threads, const std::function<void(std::size_t)>& f) {
  CancelScope* scope = CancelScope::current();
  std::vector<std::exception_ptr> errors(threads);
  std::mutex m;
  std::condition_variable done;
  std::size_t running = threads - 1;
  std::vector<std::thread> pool;
  pool.reserve(threads - 1);
  for (std::size_t t = 1; t < threads; ++t) {
    pool.emplace_back([&, t] {
      {
        CancelScope::Join join(scope);
        try {
          f(t);
        } catch (...) {
          errors[t] = std::current_exception();
        }
      }
      std::lock_guard lock(m);
      --running;
      done.notify_one();
    });
  }
  try {
    f(std::size_t{0});
  } catch (...) {
    errors[0] = std::current_exception();
  }
  // The caller's share may end long before the others: it keeps asking while it waits.
  std::unique_lock lock(m);
  while (!done.wait_for(lock, CancelScope::kCheckInterval, [&] { return running == 0; })) {
    lock.unlock();
    poll_cancel();
    lock.lock();
  }
  lock.unlock();
  for (auto& th : pool) th.join();
  for (auto& e : errors)
    if (e) std::rethrow_exception(e);
}

}  // namespace detail

}  // namespace halvex
