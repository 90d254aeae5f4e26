#include "common_args.h"

#include <nanobind/stl/string.h>

#include <cmath>

namespace halvex::py {

namespace {

[[noreturn]] void type_error(const std::string& message) { throw nb::type_error(message.c_str()); }

}  // namespace

std::vector<nb::object> bind_arguments(const Signature& sig, const nb::args& args, const nb::kwargs& kwargs) {
  const size_t n_params = sig.names.size();
  const size_t n_pos = args.size();
  std::vector<nb::object> out(n_params);
  auto arity_error = [&]() {
    const bool exact = sig.required == n_params;
    const bool too_many = n_pos > n_params;
    const size_t expected = too_many ? n_params : sig.required;
    type_error(std::string(sig.function) + "() takes " + (exact ? "exactly" : too_many ? "at most" : "at least") +
               " " + std::to_string(expected) + " positional argument" + (expected == 1 ? "" : "s") + " (" +
               std::to_string(n_pos) + " given)");
  };
  if (n_pos > n_params) arity_error();
  for (size_t i = 0; i < n_pos; ++i) out[i] = nb::borrow(args[i]);
  for (auto [key, value] : kwargs) {
    if (!PyUnicode_Check(key.ptr())) type_error(std::string(sig.function) + "() keywords must be strings");
    const std::string k = nb::cast<std::string>(key);
    size_t idx = n_params;
    for (size_t i = 0; i < n_params; ++i)
      if (k == sig.names[i]) idx = i;
    if (idx == n_params) type_error(std::string(sig.function) + "() got an unexpected keyword argument '" + k + "'");
    if (out[idx].is_valid())
      type_error(std::string(sig.function) + "() got multiple values for keyword argument '" + k + "'");
    out[idx] = nb::borrow(value);
  }
  for (size_t i = 0; i < sig.required; ++i) {
    if (out[i].is_valid()) continue;
    if (n_pos < sig.required && kwargs.size() == 0) arity_error();
    type_error(std::string(sig.function) + "() missing required argument '" + sig.names[i] + "' (pos " +
               std::to_string(i + 1) + ")");
  }
  return out;
}

void argument_type_error(const char* name, const char* expected, nb::handle given) {
  type_error(std::string("Argument '") + name + "' has incorrect type (expected " + expected + ", got " +
             Py_TYPE(given.ptr())->tp_name + ")");
}

long long integer_argument(const char* name, nb::handle value) {
  PyObject* o = value.ptr();
  if (PyLong_Check(o) || (PyIndex_Check(o) && !PyFloat_Check(o))) {
    nb::object i = nb::steal(PyNumber_Index(o));
    if (!i.is_valid()) throw nb::python_error();
    long long v = PyLong_AsLongLong(i.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
  }
  PyNumberMethods* num = Py_TYPE(o)->tp_as_number;
  if (PyFloat_Check(o) || (num && num->nb_float && !PyUnicode_Check(o))) {
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    if (std::isnan(d)) throw nb::value_error("cannot convert float NaN to integer");
    if (std::isinf(d) || std::fabs(d) >= 9.2e18) {
      PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
      throw nb::python_error();
    }
    return static_cast<long long>(std::trunc(d));
  }
  argument_type_error(name, "int", value);
}

double real_argument(const char* name, nb::handle value) {
  PyObject* o = value.ptr();
  PyNumberMethods* num = Py_TYPE(o)->tp_as_number;
  if (PyFloat_Check(o) || PyLong_Check(o) || (!PyUnicode_Check(o) && num && (num->nb_float || num->nb_index))) {
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
  }
  argument_type_error(name, "float", value);
}

std::string path_argument(nb::handle value) {
  nb::module_ os = nb::module_::import_("os");
  nb::object text = os.attr("fsdecode")(os.attr("fspath")(value));
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!utf8) throw nb::python_error();
  std::string path(utf8, static_cast<size_t>(size));
  if (path.find('\0') != std::string::npos) throw nb::value_error("embedded null byte");
  return path;
}

}  // namespace halvex::py
