#include "common_cancel.h"

namespace halvex::py {

bool SignalCancel::handlers_raised() noexcept {
  nb::gil_scoped_acquire gil;  // also where the job runs with the GIL released
  if (PyErr_CheckSignals() == 0) {
    // A handler's exception that Python code swallowed (a callback that cannot raise) is
    // not lost: the command line keeps it until the run ends.
    nb::object pending = nb::steal(PyImport_ImportModule("halvex._interrupt"));
    if (pending.is_valid()) pending = nb::steal(PyObject_CallMethod(pending.ptr(), "check_pending", nullptr));
    if (pending.is_valid()) return false;
  }
  raised_.emplace();  // takes the handler's exception
  return true;
}

void SignalCancel::raise() {
  if (raised_) {
    nb::python_error e = std::move(*raised_);
    raised_.reset();
    throw e;
  }
  // Cancelled by no handler of ours (an outer run's): what Python raises for an interrupt.
  PyErr_SetNone(PyExc_KeyboardInterrupt);
  throw nb::python_error();
}

}  // namespace halvex::py
