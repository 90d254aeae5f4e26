// Stopping a run part-way (SIGINT, SIGTERM): the run's long loops and stage boundaries call
// cancel_point(), which throws Cancelled once the run is cancelled, so the stack unwinds as for
// any other error and every AtomicFile on it removes its temporary file.
//
// A run is what a CancelScope spans on the thread that opened it (the host's call into a job).
// The scope is the calling thread's and, through run_parallel, its workers': runs on other
// threads of the process are not affected. The host decides what cancels: on the opening
// thread cancel_point() asks the scope's check, at most every kCheckInterval, and cancels when
// it says so (a Python host runs its signal handlers there).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>

#include "common/errors.h"

namespace halvex {

// Row loops poll once per this many rows: a fraction of a millisecond of work.
inline constexpr std::size_t kRowsPerCancelPoint = 4096;

struct Cancelled : Error {
  Cancelled() : Error(ErrorKind::Cancelled, "cancelled") {}
};

class CancelScope {
 public:
  // How often at most the check runs: often enough to stop within a fraction of a second,
  // rarely enough that a check that waits for a lock costs the run next to nothing.
  static constexpr std::chrono::milliseconds kCheckInterval{50};

  // Opens a run on this thread (a scope already open here stays the one its workers see;
  // this one nests inside it). `check` returns true to cancel; it runs on this thread only
  // and must not throw (a host keeps what it has to report and returns true).
  explicit CancelScope(std::function<bool()> check = {});
  ~CancelScope();
  CancelScope(const CancelScope&) = delete;
  CancelScope& operator=(const CancelScope&) = delete;

  // Cancels the run: its threads throw Cancelled at their next cancel_point(). Any thread.
  void cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }
  bool cancelled() const noexcept { return cancelled_.load(std::memory_order_relaxed); }

  // The scope of the calling thread's run, or null outside one.
  static CancelScope* current() noexcept;

  // Makes `scope` the calling thread's (a worker of a run) for its lifetime; null is no run.
  class Join {
   public:
    explicit Join(CancelScope* scope) noexcept;
    ~Join();
    Join(const Join&) = delete;
    Join& operator=(const Join&) = delete;

   private:
    CancelScope* outer_;
    bool outer_owner_;
  };

 private:
  friend void cancel_point();
  friend void cancel_point_now();
  friend void poll_cancel() noexcept;
  void ask(bool owner, bool now) noexcept;
  void throw_if_cancelled() const;
  std::atomic<bool> cancelled_{false};
  std::function<bool()> check_;
  std::chrono::steady_clock::time_point next_check_;
  CancelScope* outer_;
  bool outer_owner_;
};

// Throws Cancelled when the calling thread's run is cancelled (nothing outside a run). Cheap:
// loops call it every few thousand rows and at every stage boundary.
void cancel_point();

// cancel_point(), but the check runs whether it is due or not: before a step that cannot be
// taken back (AtomicFile::commit), so a signal that came while the file was written stops it.
void cancel_point_now();

// Runs the check of the calling thread's run when it is due, without throwing: for a thread
// that waits for others (they stop at their own cancel points).
void poll_cancel() noexcept;

}  // namespace halvex
