// A job called from Python stops part-way when a signal handler raises (SIGINT's
// KeyboardInterrupt, or the exception a host's SIGTERM handler raises): at the job's cancel
// points the calling thread runs Python's pending handlers, and what a handler raised is what
// the caller gets, once the job has unwound (and removed its temporary files).
#pragma once

#include <nanobind/nanobind.h>

#include <optional>

#include "common/cancel.h"

namespace halvex::py {
namespace nb = nanobind;

class SignalCancel {
 public:
  SignalCancel() : scope_([this] { return handlers_raised(); }) {}

  // f(), or the exception a signal handler raised while it ran. Called with the GIL held.
  template <class F>
  auto run(F&& f) -> decltype(f()) {
    try {
      auto result = f();
      if (raised_) raise();  // asked after its last cancel point: the signal still counts
      return result;
    } catch (const Error& e) {
      if (e.kind() != ErrorKind::Cancelled) throw;
      raise();
    }
  }

 private:
  bool handlers_raised() noexcept;
  [[noreturn]] void raise();
  std::optional<nb::python_error> raised_;
  CancelScope scope_;
};

}  // namespace halvex::py
