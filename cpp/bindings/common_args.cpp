#include "common_args.h"

#include <cstring>
#include <limits>
#include <string_view>

#include "common/errors.h"
#include "common/path_text.h"

namespace halvex::py {

std::vector<nb::object> bind_arguments(const Signature& sig, const std::vector<nb::object>& defaults,
                                       const nb::args& args, const nb::kwargs& kwargs) {
  std::vector<nb::object> values;
  for (nb::handle a : args) values.push_back(nb::borrow(a));
  // Keyword names are str: the interpreter refuses any other before the call reaches us.
  std::vector<std::string_view> keywords;  // point into the keys, which kwargs holds
  for (auto [key, value] : kwargs) {
    keywords.push_back(utf8_view(key.ptr()));
    values.push_back(nb::borrow(value));
  }
  std::vector<nb::object> out = defaults;
  const std::vector<int> slots = match_arguments(sig, args.size(), keywords);
  for (size_t i = 0; i < slots.size(); ++i)
    if (slots[i] >= 0) out[i] = values[slots[i]];
  return out;
}

void argument_type_error(const char* name, const char* expected, nb::handle given) {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
               expected, Py_TYPE(given.ptr())->tp_name);
  throw nb::python_error();
}

std::string_view utf8_view(PyObject* str) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(str, &n);
  if (!p) throw nb::python_error();
  return {p, static_cast<size_t>(n)};
}

bool has_float(nb::handle v) {
  auto* number = Py_TYPE(v.ptr())->tp_as_number;
  return number && number->nb_float && !PyUnicode_Check(v.ptr());
}

double as_double(nb::handle v) {
  double d = PyFloat_AsDouble(v.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return d;
}

namespace {
// A number as an integer, truncated toward zero (floats and objects with __float__ too).
// With `clamp`, a value beyond the 64-bit range takes its nearest end instead of raising
// OverflowError, and the NaN error names the argument.
long long integer_argument(const char* name, nb::handle value, bool clamp) {
  PyObject* v = value.ptr();
  if (PyLong_Check(v) || (PyIndex_Check(v) && !PyFloat_Check(v))) {
    nb::object i = nb::steal(check(PyNumber_Index(v)));
    int overflow = 0;
    long long n = clamp ? PyLong_AsLongLongAndOverflow(i.ptr(), &overflow) : PyLong_AsLongLong(i.ptr());
    if (n == -1 && !overflow && PyErr_Occurred()) throw nb::python_error();
    if (overflow) return overflow > 0 ? std::numeric_limits<long long>::max() : std::numeric_limits<long long>::min();
    return n;
  }
  if (PyFloat_Check(v) || has_float(value)) {
    const std::string nan_prefix = clamp ? std::string(name) + ": " : "";
    return truncate_real(as_double(value), clamp, nan_prefix.c_str());
  }
  argument_type_error(name, "int", value);
}

}  // namespace

void convert(const char*, nb::handle v, nb::object& out) { out = nb::borrow(v); }
void convert(const char* name, nb::handle v, long long& out) { out = integer_argument(name, v, false); }
void convert(const char*, nb::handle v, Horizon& out) { out.periods = integer_argument("target_horizon", v, true); }
void convert(const char*, nb::handle v, Path& out) { out.assign(path_argument(v)); }

void convert(const char* name, nb::handle value, double& out) {
  PyObject* v = value.ptr();
  if (!has_float(value) && (PyUnicode_Check(v) || !PyIndex_Check(v))) argument_type_error(name, "float", value);
  out = as_double(value);
}

void convert(const char* name, nb::handle v, nb::str& out) {
  if (!PyUnicode_Check(v.ptr())) argument_type_error(name, "str", v);
  out = nb::borrow<nb::str>(v);
}

std::string path_argument(nb::handle value) {
  nb::object p = nb::steal(check(PyOS_FSPath(value.ptr())));
  if (nb::isinstance<nb::bytes>(p)) {
    nb::bytes b = nb::borrow<nb::bytes>(p);
    check_path_text(std::string_view(b.c_str(), b.size()));
    p = nb::steal(check(PyUnicode_DecodeFSDefaultAndSize(b.c_str(), static_cast<Py_ssize_t>(b.size()))));
  }
  std::string out(utf8_view(p.ptr()));
  check_path_text(out);
  return out;
}

void convert(const char*, nb::handle v, UnreadPath& out) {
  if (v.is_none()) return;
  try {
    out.path = path_argument(v);
  } catch (const nb::python_error&) {
  } catch (const ValueError&) {  // an embedded NUL
  }
}

void convert(const char*, nb::handle v, DictOrPath& out) {
  if (PyDict_Check(v.ptr())) {
    out.dict = nb::borrow(v);
  } else {
    out.path = path_argument(v);
  }
}

}  // namespace halvex::py
