#include "common_errors.h"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "common/errors.h"

namespace halvex::py {

namespace nb = nanobind;

namespace {

PyObject* exception_type(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Type: return PyExc_TypeError;
    case ErrorKind::Key: return PyExc_KeyError;
    case ErrorKind::Overflow: return PyExc_OverflowError;
    case ErrorKind::ZeroDivision: return PyExc_ZeroDivisionError;
    case ErrorKind::Recursion: return PyExc_RecursionError;
    case ErrorKind::Os: return PyExc_OSError;
    case ErrorKind::Value:
    case ErrorKind::JsonDecode:     // both are kinds of ValueError
    case ErrorKind::UnicodeDecode:
      return PyExc_ValueError;
  }
  return PyExc_RuntimeError;
}

}  // namespace

void register_error_translation() {
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const OsError& e) {
      // OSError(errno, message, filename) picks the subclass open() would raise.
      nb::object args = nb::make_tuple(e.errnum, e.what(), e.filename);
      PyErr_SetObject(PyExc_OSError, args.ptr());
    } catch (const Error& e) {
      if (e.kind() == ErrorKind::Key) {  // the message is the key
        PyErr_SetObject(PyExc_KeyError, nb::str(e.what()).ptr());
      } else {
        PyErr_SetString(exception_type(e.kind()), e.what());
      }
    }
  });
}

}  // namespace halvex::py
