#include "py_args.h"

#include <cmath>
#include <cstring>

namespace halvex::py {

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, std::vector<PyObject*>& out) {
  const size_t n_params = sig.names.size();
  out.assign(n_params, nullptr);
  const Py_ssize_t n_pos = args ? PyTuple_GET_SIZE(args) : 0;
  auto arity_error = [&]() {
    bool exact = sig.required == n_params;
    bool too_many = static_cast<size_t>(n_pos) > n_params;
    size_t expected = too_many ? n_params : sig.required;
    const char* how = exact ? "exactly" : (too_many ? "at most" : "at least");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.function, how, static_cast<Py_ssize_t>(expected), expected == 1 ? "" : "s",
                 n_pos);
    return false;
  };
  if (static_cast<size_t>(n_pos) > n_params) return arity_error();
  for (Py_ssize_t i = 0; i < n_pos; ++i) out[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.function);
        return false;
      }
      const char* k = PyUnicode_AsUTF8(key);
      if (!k) return false;
      size_t idx = n_params;
      for (size_t i = 0; i < n_params; ++i) {
        if (std::strcmp(sig.names[i], k) == 0) { idx = i; break; }
      }
      if (idx == n_params) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
        return false;
      }
      if (out[idx]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.function, key);
        return false;
      }
      out[idx] = value;
    }
  }
  for (size_t i = 0; i < sig.required; ++i) {
    if (!out[i]) {
      if (static_cast<size_t>(n_pos) < sig.required && (!kwargs || PyDict_GET_SIZE(kwargs) == 0)) {
        return arity_error();
      }
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", sig.function,
                   sig.names[i], static_cast<Py_ssize_t>(i + 1));
      return false;
    }
  }
  return true;
}

bool argument_type_error(const char* name, const char* expected, PyObject* given) {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               name, expected, Py_TYPE(given)->tp_name);
  return false;
}

std::optional<long long> integer_argument(const char* name, PyObject* value) {
  if (PyLong_Check(value) || (PyIndex_Check(value) && !PyFloat_Check(value))) {
    PyObject* i = PyNumber_Index(value);
    if (!i) return std::nullopt;
    long long v = PyLong_AsLongLong(i);
    Py_DECREF(i);
    if (v == -1 && PyErr_Occurred()) return std::nullopt;
    return v;
  }
  if (PyFloat_Check(value) || (Py_TYPE(value)->tp_as_number && Py_TYPE(value)->tp_as_number->nb_float &&
                               !PyUnicode_Check(value))) {
    double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) return std::nullopt;
    if (std::isnan(d)) {
      PyErr_SetString(PyExc_ValueError, "cannot convert float NaN to integer");
      return std::nullopt;
    }
    if (std::isinf(d) || std::fabs(d) >= 9.2e18) {
      PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
      return std::nullopt;
    }
    return static_cast<long long>(std::trunc(d));
  }
  argument_type_error(name, "int", value);
  return std::nullopt;
}

std::optional<double> real_argument(const char* name, PyObject* value) {
  if (PyFloat_Check(value) || PyLong_Check(value) ||
      (!PyUnicode_Check(value) && Py_TYPE(value)->tp_as_number &&
       (Py_TYPE(value)->tp_as_number->nb_float || Py_TYPE(value)->tp_as_number->nb_index))) {
    double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) return std::nullopt;
    return d;
  }
  argument_type_error(name, "float", value);
  return std::nullopt;
}

}  // namespace halvex::py
