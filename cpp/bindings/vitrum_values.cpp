#include "vitrum_values.h"

#include <algorithm>
#include <cstring>

#include "common/errors.h"
#include "common/number_text.h"

namespace halvex::py {

namespace {

bool is_numpy_scalar(PyObject* obj) {
  const char* name = Py_TYPE(obj)->tp_name;
  return std::strncmp(name, "numpy.", 6) == 0;
}

[[noreturn]] void raise_not_serialisable(PyObject* obj) {
  PyErr_Format(PyExc_TypeError, "Object of type %s is not JSON serializable", Py_TYPE(obj)->tp_name);
  throw PythonError();
}

json::Value int_value(PyObject* obj, json::Arena& arena) {
#if PY_VERSION_HEX < 0x030C0000
  // Small ints (up to two 30-bit digits) read straight from the object.
  {
    auto* lo = reinterpret_cast<PyLongObject*>(obj);
    Py_ssize_t size = Py_SIZE(obj);
    if (size == 0) return json::Value::integer(0);
    if (size == 1) return json::Value::integer(static_cast<int64_t>(lo->ob_digit[0]));
    if (size == -1) return json::Value::integer(-static_cast<int64_t>(lo->ob_digit[0]));
    if (size == 2 || size == -2) {
      int64_t v = static_cast<int64_t>(lo->ob_digit[0]) | (static_cast<int64_t>(lo->ob_digit[1]) << PyLong_SHIFT);
      return json::Value::integer(size < 0 ? -v : v);
    }
  }
#endif
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (v == -1 && PyErr_Occurred()) throw PythonError();
  if (!overflow) return json::Value::integer(v);
  PyObject* text = PyObject_Str(obj);
  if (!text) throw PythonError();
  std::string_view digits = utf8_view(text);
  json::Value out = json::Value::big_integer(arena.copy_string(digits));
  Py_DECREF(text);
  return out;
}

}  // namespace

std::string_view utf8_view(PyObject* str) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(str, &n);
  if (!p) throw PythonError();
  return {p, static_cast<size_t>(n)};
}

namespace {

// A new reference, or the pending Python error thrown.
PyObject* check(PyObject* p) {
  if (!p) throw PythonError();
  return p;
}

// A str holding lone surrogates has no UTF-8 form: it is kept in the generalised form a
// document file's "\\ud800" escape is read into, so that, as there, only writing it fails.
std::string_view text_with_surrogates(PyObject* str, json::Arena& arena) {
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonError();
  PyErr_Clear();
  nb::object bytes = nb::steal(check(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass")));
  return arena.copy_string({PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr()))});
}

// A strong reference for the length of a scope: Python code run by a conversion (__float__,
// __str__, another thread) may drop the container's own reference to the object.
struct Hold {
  explicit Hold(PyObject* o) : p(o) { Py_INCREF(o); }
  ~Hold() { Py_DECREF(p); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
  PyObject* p;
};

// Values whose conversion runs no Python code.
bool plain(PyObject* o) {
  PyTypeObject* t = Py_TYPE(o);
  return t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyLong_Type || t == &PyBool_Type || o == Py_None;
}

// One deep conversion. Containers on the way down are remembered to refuse a cycle and
// counted against the interpreter's recursion limit, as json.dumps does. Texts are copied
// into the arena unless `keep` is given: then they point into the str objects, and a strong
// reference to each such str is added to `keep`. `epoch`, when given, moves on before any
// Python code of a value's own (__float__, __str__, __index__) is run.
class Converter {
 public:
  Converter(json::Arena& arena, Unserialisable mode, std::vector<PyObject*>* keep, uint64_t* epoch = nullptr)
      : arena_(arena), mode_(mode), keep_(keep), epoch_(epoch) {}

  json::Value value(PyObject* obj);
  std::string_view key(PyObject* key);

 private:
  std::string_view text(PyObject* str) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(str, &n);
    if (!p) return text_with_surrogates(str, arena_);
    if (!keep_) return arena_.copy_string({p, static_cast<size_t>(n)});
    Py_INCREF(str);
    keep_->push_back(str);
    return {p, static_cast<size_t>(n)};
  }
  json::Value container(PyObject* obj);
  json::Value other(PyObject* obj);

  json::Arena& arena_;
  Unserialisable mode_;
  std::vector<PyObject*>* keep_;
  uint64_t* epoch_;
  std::vector<PyObject*> open_;  // containers being converted
};

// Enters one container level: refuses a cycle and nesting past the recursion limit.
class Level {
 public:
  Level(std::vector<PyObject*>& open, PyObject* obj) : open_(open) {
    for (PyObject* o : open_) {
      if (o == obj) throw ValueError("Circular reference detected");
    }
    if (Py_EnterRecursiveCall(" while encoding a JSON object")) throw PythonError();
    open_.push_back(obj);
  }
  ~Level() {
    open_.pop_back();
    Py_LeaveRecursiveCall();
  }

 private:
  std::vector<PyObject*>& open_;
};

// json.dumps' rule for dict keys.
std::string_view Converter::key(PyObject* key) {
  if (PyUnicode_Check(key)) return text(key);
  if (key == Py_True) return "true";
  if (key == Py_False) return "false";
  if (key == Py_None) return "null";
  if (PyLong_Check(key)) {
    json::Value v = int_value(key, arena_);
    if (v.kind() == json::Kind::BigInt) return v.as_string();
    std::string s;
    halvex::append_int(s, v.as_int());
    return arena_.copy_string(s);
  }
  if (PyFloat_Check(key)) return arena_.copy_string(halvex::double_repr(PyFloat_AS_DOUBLE(key)));
  PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %s",
               Py_TYPE(key)->tp_name);
  throw PythonError();
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

// Every key and item that may run code is held while it is converted; a list is measured
// again at each step, since converting an item may run code that changes it.
json::Value Converter::container(PyObject* obj) {
  Level level(open_, obj);
  if (PyDict_Check(obj)) {
    std::vector<json::Member> ms;
    ms.reserve(static_cast<size_t>(PyDict_GET_SIZE(obj)));
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(obj, &pos, &k, &v)) {
      if (PyUnicode_CheckExact(k) && plain(v)) {
        std::string_view name = key(k);
        ms.push_back(json::Member{name, value(v)});
        continue;
      }
      Hold hk(k), hv(v);
      std::string_view name = key(k);
      ms.push_back(json::Member{name, value(v)});
    }
    return arena_.object(ms);
  }
  std::vector<json::Value> items;
  items.reserve(static_cast<size_t>(Py_SIZE(obj)));
  for (Py_ssize_t i = 0; i < Py_SIZE(obj); ++i) {
    PyObject* item = PyList_Check(obj) ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i);
    if (plain(item)) {
      items.push_back(value(item));
      continue;
    }
    Hold held(item);
    items.push_back(value(item));
  }
  return arena_.array(items);
}

json::Value Converter::other(PyObject* obj) {
  if (epoch_) ++*epoch_;
  if (is_numpy_scalar(obj)) {
    const char* name = Py_TYPE(obj)->tp_name;
    if (std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0) {
      int t = PyObject_IsTrue(obj);
      if (t < 0) throw PythonError();
      return json::Value::boolean(t != 0);
    }
    if (PyIndex_Check(obj)) {
      PyObject* i = PyNumber_Index(obj);
      if (!i) throw PythonError();
      json::Value v = int_value(i, arena_);
      Py_DECREF(i);
      return v;
    }
    if (Py_TYPE(obj)->tp_as_number && Py_TYPE(obj)->tp_as_number->nb_float) {
      double d = PyFloat_AsDouble(obj);
      if (d == -1.0 && PyErr_Occurred()) throw PythonError();
      return json::Value::real(d);
    }
  }
  // Other numbers (Decimal, Fraction, ...) take part in amounts and scores as floats would.
  if (mode_ == Unserialisable::Raise && Py_TYPE(obj)->tp_as_number && Py_TYPE(obj)->tp_as_number->nb_float) {
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) throw PythonError();
    return json::Value::real(d);
  }
  if (mode_ == Unserialisable::AsText) {
    PyObject* str = PyObject_Str(obj);
    if (!str) throw PythonError();
    Hold h(str);
    Py_DECREF(str);
    return json::Value::string(text(str));
  }
  if (mode_ == Unserialisable::Opaque) return json::Value::opaque(arena_.copy_string(Py_TYPE(obj)->tp_name));
  raise_not_serialisable(obj);
}

}  // namespace

std::string_view key_text(PyObject* key, json::Arena& arena) {
  return Converter(arena, Unserialisable::Raise, nullptr).key(key);
}

json::Value to_value(PyObject* obj, json::Arena& arena, Unserialisable mode) {
  Hold h(obj);
  return Converter(arena, mode, nullptr).value(obj);
}

namespace {
// A text of the core (always valid UTF-8 but for lone surrogates written by a caller) as str.
nb::object text_object(std::string_view s) {
  return nb::steal(check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass")));
}
}  // namespace

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
  PyObject* seq = PySequence_Fast(rows, "'rows' must be a list");
  if (!seq) throw PythonError();
  Hold h(seq);
  Py_DECREF(seq);
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  items_.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq, i);
    Py_INCREF(item);
    items_.push_back(item);
  }
}

void PyRowSource::release(std::vector<PyObject*>& refs) {
  for (PyObject*& o : refs) {
    if (o && Py_REFCNT(o) == 1) ++epoch_;
    Py_CLEAR(o);
  }
}

namespace {
// Before 3.12 every change to a dict gives it a new version tag: a row dict whose tag is
// unchanged still holds the values looked up ahead, so they are kept as borrowed pointers and
// taken (a reference count written) only when fetched, by then from the cache. Later
// interpreters deprecate the tag; there the look-ups ahead hold strong references.
#if PY_VERSION_HEX < 0x030C0000
constexpr bool kBorrowAhead = true;
uint64_t dict_version(PyObject* d) { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }
#else
constexpr bool kBorrowAhead = false;
uint64_t dict_version(PyObject*) { return 0; }
#endif
}  // namespace

void PyRowSource::drop(Ahead& a) {
  a.row = SIZE_MAX;
  if (kBorrowAhead) {
    std::fill(a.values.begin(), a.values.end(), nullptr);
  } else {
    release(a.values);
  }
}

PyRowSource::~PyRowSource() {
  for (Ahead& a : ahead_) drop(a);
  release(items_);
  release(keys_);
  release(kept_);
  release(scratch_);
}

void PyRowSource::prepare(const std::vector<std::string>& keys) {
  for (Ahead& a : ahead_) drop(a);
  release(keys_);
  keys_.clear();
  for (const auto& k : keys) {
    PyObject* s = PyUnicode_DecodeUTF8(k.data(), static_cast<Py_ssize_t>(k.size()), "surrogatepass");
    if (!s) throw PythonError();
    PyUnicode_InternInPlace(&s);
    keys_.push_back(s);
  }
}

// The values of row i in key order (nullptr for an absent member), as strong references or,
// when `borrow`, as the dict's own.
void PyRowSource::look_up(size_t i, std::vector<PyObject*>& out, bool borrow) {
  if (!borrow) release(out);
  out.resize(keys_.size(), nullptr);
  PyObject* row = items_[i];
  if (!PyDict_Check(row)) pipeline::throw_row_not_object(Py_TYPE(row)->tp_name);
  for (size_t k = 0; k < keys_.size(); ++k) {
    PyObject* v = PyDict_GetItemWithError(row, keys_[k]);
    if (!v && PyErr_Occurred()) throw PythonError();
    if (!borrow) Py_XINCREF(v);
    out[k] = v;
  }
}

void PyRowSource::fetch(size_t i, json::Value* values, bool* found) {
  // The previous row's values and the texts they point into are let go only now.
  arena_.reset();
  release(scratch_);
  release(kept_);
  kept_.clear();
  const size_t n = keys_.size();
  bool looked_up = false;
  for (Ahead& a : ahead_) {
    if (a.row != i) continue;
    if (a.epoch == epoch_ && a.version == dict_version(items_[i])) {
      scratch_.resize(n);
      for (size_t k = 0; k < n; ++k) {
        if (kBorrowAhead) Py_XINCREF(a.values[k]);
        scratch_[k] = a.values[k];
        a.values[k] = nullptr;
      }
      looked_up = true;
    }
    drop(a);
    break;
  }
  if (!looked_up) look_up(i, scratch_, false);
  Converter convert(arena_, Unserialisable::Raise, &kept_, &epoch_);
  for (size_t k = 0; k < n; ++k) {
    PyObject* v = scratch_[k];
    found[k] = v != nullptr;
    values[k] = v ? convert.value(v) : json::Value::null();
  }
}

// The values of a row fetched soon are scattered over the heap: they are looked up now and
// their memory asked for, so that fetch() does not wait for each in turn.
void PyRowSource::prefetch(size_t i) {
  if (i >= items_.size()) return;
  Ahead& a = ahead_[next_ahead_];
  next_ahead_ = (next_ahead_ + 1) % ahead_.size();
  drop(a);
  PyObject* row = items_[i];
  if (!PyDict_Check(row)) return;  // fetch() reports it, in its turn
  // Taken first: a change made while looking up (a key's own __eq__) then shows too.
  const uint64_t version = dict_version(row);
  try {
    look_up(i, a.values, kBorrowAhead);
  } catch (const PythonError&) {
    drop(a);
    return;  // likewise
  }
  for (PyObject* v : a.values) {
    if (v) __builtin_prefetch(v);
  }
  a.row = i;
  a.epoch = epoch_;
  a.version = version;
}

}  // namespace halvex::py
