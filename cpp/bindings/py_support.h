// Small helpers of the bindings: owned references, exception translation, printing, paths.
#pragma once

#include <Python.h>

#include <string>
#include <utility>

#include "py_convert.h"

namespace halvex::py {

// An owned reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* p) : p_(p) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    Py_XDECREF(p_);
    p_ = std::exchange(o.p_, nullptr);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Throws PythonError when p is null (a Python error is set).
inline PyObject* check(PyObject* p) {
  if (!p) throw PythonError();
  return p;
}
inline Ref own(PyObject* p) { return Ref(check(p)); }

// Runs f, turning core exceptions into the matching Python exceptions; nullptr on error.
template <class F>
PyObject* guarded(F&& f);

// print(line) through Python, so the line goes wherever sys.stdout points.
void print_line(const std::string& line);

// A Python str from UTF-8.
Ref str_from(std::string_view s);

// os.fspath(obj) as UTF-8 text (bytes paths decoded with the file-system encoding).
std::string fspath_text(PyObject* obj);

// pathlib operations, so path texts read exactly as Python would print them.
std::string path_text(const std::string& p);                              // str(Path(p))
std::string path_parent(const std::string& p);                            // str(Path(p).parent)
std::string path_name(const std::string& p);                              // Path(p).name
std::string path_join(const std::string& a, const std::string& b);       // str(Path(a) / b)

void set_python_error_from_current_exception();

template <class F>
PyObject* guarded(F&& f) {
  try {
    return f();
  } catch (...) {
    set_python_error_from_current_exception();
    return nullptr;
  }
}

}  // namespace halvex::py
