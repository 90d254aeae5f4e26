#include "vitrum_values.h"

#include <algorithm>
#include <cstring>

#include "common/errors.h"
#include "common_args.h"
#include "json/writer.h"

namespace halvex::py {

namespace {

json::Value int_value(PyObject* obj, json::Arena& arena) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  if (!overflow) return json::Value::integer(v);
  // int.__repr__, as json.dumps: a subclass's own __str__ could give any text.
  nb::object digits = nb::steal(check(PyLong_Type.tp_repr(obj)));
  return json::Value::big_integer(arena.copy_string(utf8_view(digits.ptr())));
}


// A str holding lone surrogates has no UTF-8 form: it is kept in the generalised form a
// document file's "\\ud800" escape is read into, so that, as there, only writing it fails.
std::string_view text_with_surrogates(PyObject* str, json::Arena& arena) {
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
  PyErr_Clear();
  nb::object bytes = nb::steal(check(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass")));
  return arena.copy_string({PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr()))});
}

// Values whose conversion runs no Python code.
bool plain(PyObject* o) {
  PyTypeObject* t = Py_TYPE(o);
  return t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyLong_Type || t == &PyBool_Type || o == Py_None;
}

// One deep conversion. Containers on the way down are remembered to refuse a cycle and
// counted against the interpreter's recursion limit, as json.dumps does. Texts are copied
// into the arena unless `keep` is given: then they point into the str objects, each of which
// `keep` holds.
class Converter {
 public:
  Converter(json::Arena& arena, Unserialisable mode, std::vector<nb::object>* keep)
      : arena_(arena), mode_(mode), keep_(keep) {}

  json::Value value(PyObject* obj);
  std::string_view key(PyObject* key);

 private:
  std::string_view text(PyObject* str) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(str, &n);
    if (!p) return text_with_surrogates(str, arena_);
    if (!keep_) return arena_.copy_string({p, static_cast<size_t>(n)});
    keep_->push_back(nb::borrow(str));
    return {p, static_cast<size_t>(n)};
  }
  json::Value container(PyObject* obj);
  json::Value other(PyObject* obj);

  json::Arena& arena_;
  Unserialisable mode_;
  std::vector<nb::object>* keep_;
  std::vector<PyObject*> open_;  // containers being converted
};

// json.dumps' rule for dict keys.
std::string_view Converter::key(PyObject* key) {
  if (PyUnicode_Check(key)) return text(key);
  // Other keys are written as json.dumps writes such a value.
  if (PyLong_Check(key) || PyFloat_Check(key) || key == Py_None) return arena_.copy_string(json::to_json(value(key)));
  PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %s",
               Py_TYPE(key)->tp_name);
  throw nb::python_error();
}

json::Value Converter::value(PyObject* obj) {
  if (obj == Py_None) return json::Value::null();
  if (obj == Py_True) return json::Value::boolean(true);
  if (obj == Py_False) return json::Value::boolean(false);
  if (PyUnicode_Check(obj)) return json::Value::string(text(obj));
  if (PyLong_Check(obj)) return int_value(obj, arena_);
  if (PyFloat_Check(obj)) return json::Value::real(PyFloat_AS_DOUBLE(obj));
  if (PyDict_Check(obj) || PyList_Check(obj) || PyTuple_Check(obj)) return container(obj);
  return other(obj);
}

// A container met again inside itself is a cycle, and nesting counts against the recursion
// limit. Every key and item that may run code is held while it is converted; a list is
// measured again at each step, since converting an item may run code that changes it.
json::Value Converter::container(PyObject* obj) {
  if (std::find(open_.begin(), open_.end(), obj) != open_.end()) throw ValueError("Circular reference detected");
  if (Py_EnterRecursiveCall(" while encoding a JSON object")) throw nb::python_error();
  open_.push_back(obj);
  struct Leave {
    std::vector<PyObject*>& open;
    ~Leave() { open.pop_back(), Py_LeaveRecursiveCall(); }
  } leave{open_};
  if (PyDict_Check(obj)) {
    std::vector<json::Member> ms;
    ms.reserve(static_cast<size_t>(PyDict_GET_SIZE(obj)));
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(obj, &pos, &k, &v)) {
      nb::object hk, hv;  // taking references only where needed saves a write per value
      if (!PyUnicode_CheckExact(k) || !plain(v)) hk = nb::borrow(k), hv = nb::borrow(v);
      std::string_view name = key(k);
      ms.push_back(json::Member{name, value(v)});
    }
    return arena_.object(ms);
  }
  std::vector<json::Value> items;
  items.reserve(static_cast<size_t>(Py_SIZE(obj)));
  for (Py_ssize_t i = 0; i < Py_SIZE(obj); ++i) {
    PyObject* item = PyList_Check(obj) ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i);
    nb::object held;
    if (!plain(item)) held = nb::borrow(item);
    items.push_back(value(item));
  }
  return arena_.array(items);
}

json::Value Converter::other(PyObject* obj) {
  const bool numpy = std::strncmp(Py_TYPE(obj)->tp_name, "numpy.", 6) == 0;
  if (numpy && std::strncmp(Py_TYPE(obj)->tp_name, "numpy.bool", 10) == 0)  // numpy.bool, numpy.bool_
    return json::Value::boolean(static_cast<bool>(nb::bool_(nb::handle(obj))));
  if (numpy && PyIndex_Check(obj)) return int_value(nb::steal(check(PyNumber_Index(obj))).ptr(), arena_);
  // numpy's floats, and other numbers (Decimal, Fraction, ...), take part in amounts and
  // scores as floats would.
  if ((numpy || mode_ == Unserialisable::Raise) && has_float(obj)) return json::Value::real(as_double(obj));
  if (mode_ == Unserialisable::AsText) {
    nb::object str = nb::steal(check(PyObject_Str(obj)));
    return json::Value::string(text(str.ptr()));
  }
  if (mode_ == Unserialisable::Opaque) return json::Value::opaque(arena_.copy_string(Py_TYPE(obj)->tp_name));
  PyErr_Format(PyExc_TypeError, "Object of type %s is not JSON serializable", Py_TYPE(obj)->tp_name);
  throw nb::python_error();
}

// A text of the core (always valid UTF-8 but for lone surrogates written by a caller) as str.
nb::object text_object(std::string_view s) {
  return nb::steal(check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass")));
}

}  // namespace

std::string_view key_text(PyObject* key, json::Arena& arena) {
  return Converter(arena, Unserialisable::Raise, nullptr).key(key);
}

json::Value to_value(PyObject* obj, json::Arena& arena, Unserialisable mode) {
  nb::object held = nb::borrow(obj);
  return Converter(arena, mode, nullptr).value(obj);
}

nb::object to_python(const json::Value& v) {
  using json::Kind;
  switch (v.kind()) {
    case Kind::Null: return nb::none();
    case Kind::Bool: return nb::bool_(v.as_bool());
    case Kind::Int: return nb::int_(v.as_int());
    case Kind::BigInt: return nb::steal(check(PyLong_FromString(std::string(v.as_string()).c_str(), nullptr, 10)));
    case Kind::Double: return nb::float_(v.as_double());
    case Kind::Opaque:
      throw TypeError("a value of type " + std::string(v.as_string()) + " cannot be handed back");
    case Kind::String: return text_object(v.as_string());
    case Kind::Array: {
      nb::list list;
      for (size_t i = 0; i < v.size(); ++i) list.append(to_python(v[i]));
      return list;
    }
    case Kind::Object: {
      nb::dict dict;
      for (size_t i = 0; i < v.size(); ++i) dict[text_object(v.member(i).key)] = to_python(v.member(i).value);
      return dict;
    }
  }
  return nb::none();
}

PyRowSource::PyRowSource(PyObject* rows) {
  nb::object seq = nb::steal(check(PySequence_Fast(rows, "'rows' must be a list")));
  items_.reserve(static_cast<size_t>(PySequence_Fast_GET_SIZE(seq.ptr())));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i)
    items_.push_back(nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), i)));
}

void PyRowSource::prepare(const std::vector<std::string>& keys) {
  keys_.clear();
  for (const auto& k : keys) {
    PyObject* s = check(PyUnicode_DecodeUTF8(k.data(), static_cast<Py_ssize_t>(k.size()), "surrogatepass"));
    PyUnicode_InternInPlace(&s);
    keys_.push_back(nb::steal(s));
  }
}

void PyRowSource::fetch(size_t i, json::Value* values, bool* found) {
  // The previous row's values and the texts they point into are let go only now.
  arena_.reset();
  scratch_.clear();
  kept_.clear();
  PyObject* row = items_[i].ptr();
  if (!PyDict_Check(row)) pipeline::throw_row_not_object(Py_TYPE(row)->tp_name);
  // All of the row's values are held before any is converted: converting one may run code
  // that changes the row.
  scratch_.resize(keys_.size());
  // A first pass over the entries (plain C, no code can run) asks for the values' memory, so
  // that the look-ups below do not wait for each value in turn: rows a caller sorted, or a
  // document rendered a second time (its rows are left in page order), lie scattered in memory.
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(row, &pos, &key, &value)) __builtin_prefetch(value, 1);
  for (size_t k = 0; k < keys_.size(); ++k) {
    PyObject* v = PyDict_GetItemWithError(row, keys_[k].ptr());
    if (!v && PyErr_Occurred()) throw nb::python_error();
    scratch_[k] = nb::borrow(v);
  }
  Converter convert(arena_, Unserialisable::Raise, &kept_);
  for (size_t k = 0; k < keys_.size(); ++k) {
    found[k] = scratch_[k].is_valid();
    values[k] = found[k] ? convert.value(scratch_[k].ptr()) : json::Value::null();
  }
}

}  // namespace halvex::py
