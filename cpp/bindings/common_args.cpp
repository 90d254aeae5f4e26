#include "common_args.h"

#include <cmath>
#include <cstring>

namespace halvex::py {

std::vector<nb::object> bind_arguments(const Signature& sig, const nb::args& args, const nb::kwargs& kwargs) {
  const size_t n_params = sig.names.size();
  const size_t n_pos = args.size();
  std::vector<nb::object> out(n_params);
  auto arity_error = [&]() {
    bool exact = sig.required == n_params;
    bool too_many = n_pos > n_params;
    size_t expected = too_many ? n_params : sig.required;
    const char* how = exact ? "exactly" : (too_many ? "at most" : "at least");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.function,
                 how, static_cast<Py_ssize_t>(expected), expected == 1 ? "" : "s", static_cast<Py_ssize_t>(n_pos));
    throw nb::python_error();
  };
  if (n_pos > n_params) arity_error();
  for (size_t i = 0; i < n_pos; ++i) out[i] = nb::borrow(args[i]);
  for (auto [key, value] : kwargs) {
    if (!nb::isinstance<nb::str>(key)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.function);
      throw nb::python_error();
    }
    const char* k = nb::borrow<nb::str>(key).c_str();
    size_t idx = n_params;
    for (size_t i = 0; i < n_params; ++i) {
      if (std::strcmp(sig.names[i], k) == 0) {
        idx = i;
        break;
      }
    }
    const char* problem = idx == n_params ? "got an unexpected keyword argument"
                          : out[idx].is_valid() ? "got multiple values for keyword argument"
                                                : nullptr;
    if (problem) {
      PyErr_Format(PyExc_TypeError, "%s() %s '%U'", sig.function, problem, key.ptr());
      throw nb::python_error();
    }
    out[idx] = nb::borrow(value);
  }
  for (size_t i = 0; i < sig.required; ++i) {
    if (out[i].is_valid()) continue;
    if (n_pos < sig.required && kwargs.size() == 0) arity_error();
    PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", sig.function, sig.names[i],
                 static_cast<Py_ssize_t>(i + 1));
    throw nb::python_error();
  }
  return out;
}

void argument_type_error(const char* name, const char* expected, nb::handle given) {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
               expected, Py_TYPE(given.ptr())->tp_name);
  throw nb::python_error();
}

namespace {
bool has_float(nb::handle v) {
  auto* number = Py_TYPE(v.ptr())->tp_as_number;
  return number && number->nb_float && !PyUnicode_Check(v.ptr());
}
double as_double(nb::handle v) {
  double d = PyFloat_AsDouble(v.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return d;
}
}  // namespace

long long integer_argument(const char* name, nb::handle value) {
  PyObject* v = value.ptr();
  if (PyLong_Check(v) || (PyIndex_Check(v) && !PyFloat_Check(v))) {
    nb::object i = nb::steal(PyNumber_Index(v));
    if (!i.is_valid()) throw nb::python_error();
    long long n = PyLong_AsLongLong(i.ptr());
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    return n;
  }
  if (PyFloat_Check(v) || has_float(value)) {
    double d = as_double(value);
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
  PyObject* v = value.ptr();
  if (PyFloat_Check(v) || PyLong_Check(v) || has_float(value) ||
      (!PyUnicode_Check(v) && Py_TYPE(v)->tp_as_number && Py_TYPE(v)->tp_as_number->nb_index)) {
    return as_double(value);
  }
  argument_type_error(name, "float", value);
}

std::string path_argument(nb::handle value) {
  nb::object p = nb::steal(PyOS_FSPath(value.ptr()));
  if (!p.is_valid()) throw nb::python_error();
  if (nb::isinstance<nb::bytes>(p)) {
    nb::bytes b = nb::borrow<nb::bytes>(p);
    if (std::memchr(b.c_str(), 0, b.size())) throw nb::value_error("embedded null byte");
    p = nb::steal(PyUnicode_DecodeFSDefaultAndSize(b.c_str(), static_cast<Py_ssize_t>(b.size())));
    if (!p.is_valid()) throw nb::python_error();
  }
  Py_ssize_t n = 0;
  const char* text = PyUnicode_AsUTF8AndSize(p.ptr(), &n);
  if (!text) throw nb::python_error();
  std::string out(text, static_cast<size_t>(n));
  if (out.find('\0') != std::string::npos) throw nb::value_error("embedded null byte");
  return out;
}

}  // namespace halvex::py
