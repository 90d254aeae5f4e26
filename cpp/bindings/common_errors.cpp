#include "common_args.h"

#include <nanobind/nanobind.h>

#include <cerrno>
#include <new>
#include <stdexcept>

#include "common/errors.h"
#include "json/parser.h"

namespace halvex::py {
namespace nb = nanobind;

namespace {

void set_error(PyObject* type, const std::string& message) { PyErr_SetString(type, message.c_str()); }

// json.JSONDecodeError, built without the document text (it may be hundreds of MB).
void set_json_decode_error(const json::ParseError& e) {
  nb::object cls = nb::module_::import_("json").attr("JSONDecodeError");
  nb::object exc = nb::steal(check(PyObject_CallMethod(PyExc_ValueError, "__new__", "O", cls.ptr())));
  exc.attr("args") = nb::make_tuple(nb::str(e.what()));
  exc.attr("msg") = nb::str(e.msg().c_str());
  exc.attr("doc") = nb::str("");
  exc.attr("pos") = nb::int_(e.pos());
  exc.attr("lineno") = nb::int_(e.line());
  exc.attr("colno") = nb::int_(e.column());
  PyErr_SetObject(cls.ptr(), exc.ptr());
}

// UnicodeDecodeError over the input up to the fault, so that start, end and the text are the
// ones Python's own decoding of the file gives.
void set_unicode_decode_error(const json::DecodeError& e) {
  nb::object exc = nb::steal(check(PyUnicodeDecodeError_Create(
      "utf-8", e.bytes().data(), static_cast<Py_ssize_t>(e.bytes().size()), static_cast<Py_ssize_t>(e.start()),
      static_cast<Py_ssize_t>(e.end()), e.reason().c_str())));
  PyErr_SetObject(PyExc_UnicodeDecodeError, exc.ptr());
}

void set_os_error(const OsError& e) {
  nb::object name = nb::steal(check(PyUnicode_DecodeFSDefault(e.filename.c_str())));
  errno = e.errnum;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
}

// The one table of what the cores' errors become in Python. Kinds whose exception carries
// more than its message (the key, errno and file name, the decoding position) are built by
// the setters above.
void set_python_error(const Error& e) {
  switch (e.kind()) {
    case ErrorKind::Type: return set_error(PyExc_TypeError, e.what());
    case ErrorKind::Value: return set_error(PyExc_ValueError, e.what());
    case ErrorKind::Key: return PyErr_SetObject(PyExc_KeyError, nb::str(e.what()).ptr());
    case ErrorKind::Overflow: return set_error(PyExc_OverflowError, e.what());
    case ErrorKind::ZeroDivision: return set_error(PyExc_ZeroDivisionError, e.what());
    case ErrorKind::Recursion: return set_error(PyExc_RecursionError, e.what());
    case ErrorKind::Os: return set_os_error(dynamic_cast<const OsError&>(e));
    case ErrorKind::JsonDecode: return set_json_decode_error(dynamic_cast<const json::ParseError&>(e));
    case ErrorKind::UnicodeDecode: return set_unicode_decode_error(dynamic_cast<const json::DecodeError&>(e));
    case ErrorKind::Memory: return set_error(PyExc_MemoryError, e.what());
    case ErrorKind::Runtime: break;
    case ErrorKind::Cancelled: return PyErr_SetNone(PyExc_KeyboardInterrupt);  // the host raises what stopped it
  }
  set_error(PyExc_RuntimeError, e.what());
}

void translate(const std::exception_ptr& p, void*) {
  try {
    std::rethrow_exception(p);
  } catch (const Error& e) {
    try {
      set_python_error(e);
    } catch (nb::python_error& failed) {
      failed.restore();  // building the exception failed: that error is reported instead
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();  // the standard library's allocations
  } catch (const std::length_error& e) {
    set_error(PyExc_ValueError, e.what());  // a size past what a standard container holds
  }
}

}  // namespace

void register_error_translation() { nb::register_exception_translator(translate); }

}  // namespace halvex::py
