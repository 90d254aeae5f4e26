#include "py_support.h"

#include <cerrno>
#include <new>

#include "common/errors.h"
#include "json/reader.h"

namespace halvex::py {

void print_line(const std::string& line) {
  Ref builtins = own(PyImport_ImportModule("builtins"));
  Ref print = own(PyObject_GetAttrString(builtins.get(), "print"));
  Ref text = str_from(line);
  Ref result = own(PyObject_CallOneArg(print.get(), text.get()));
}

Ref str_from(std::string_view s) {
  return own(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
}

std::string fspath_text(PyObject* obj) {
  Ref p = own(PyOS_FSPath(obj));
  if (PyBytes_Check(p.get())) {
    Ref s = own(PyUnicode_DecodeFSDefault(PyBytes_AS_STRING(p.get())));
    return std::string(utf8_view(s.get()));
  }
  return std::string(utf8_view(p.get()));
}

namespace {

Ref make_path(const std::string& p) {
  Ref pathlib = own(PyImport_ImportModule("pathlib"));
  Ref cls = own(PyObject_GetAttrString(pathlib.get(), "Path"));
  Ref text = str_from(p);
  return own(PyObject_CallOneArg(cls.get(), text.get()));
}

std::string to_text(PyObject* o) {
  Ref s = own(PyObject_Str(o));
  return std::string(utf8_view(s.get()));
}

}  // namespace

std::string path_text(const std::string& p) { return to_text(make_path(p).get()); }

std::string path_parent(const std::string& p) {
  Ref path = make_path(p);
  Ref parent = own(PyObject_GetAttrString(path.get(), "parent"));
  return to_text(parent.get());
}

std::string path_name(const std::string& p) {
  Ref path = make_path(p);
  Ref name = own(PyObject_GetAttrString(path.get(), "name"));
  return to_text(name.get());
}

std::string path_join(const std::string& a, const std::string& b) {
  Ref path = make_path(a);
  Ref part = str_from(b);
  Ref joined = own(PyNumber_TrueDivide(path.get(), part.get()));
  return to_text(joined.get());
}

void set_python_error_from_current_exception() {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "unknown Python error");
  } catch (const TypeError& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const ValueError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const KeyError& e) {
    Ref key = str_from(e.what());
    PyErr_SetObject(PyExc_KeyError, key.get());
  } catch (const OverflowError& e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const ZeroDivisionError& e) {
    PyErr_SetString(PyExc_ZeroDivisionError, e.what());
  } catch (const RecursionError& e) {
    PyErr_SetString(PyExc_RecursionError, e.what());
  } catch (const OsError& e) {
    errno = e.errnum;
    PyObject* name = PyUnicode_DecodeFSDefault(e.filename.c_str());
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
    Py_XDECREF(name);
  } catch (const json::ParseError& e) {
    // json.JSONDecodeError, built without the document text (it may be hundreds of MB).
    PyObject* json_mod = PyImport_ImportModule("json");
    PyObject* cls = json_mod ? PyObject_GetAttrString(json_mod, "JSONDecodeError") : nullptr;
    Py_XDECREF(json_mod);
    if (!cls) return;
    PyObject* exc = PyObject_CallMethod(PyExc_ValueError, "__new__", "O", cls);
    if (exc) {
      auto set = [&](const char* name, PyObject* value) {  // steals `value`
        if (value) {
          PyObject_SetAttrString(exc, name, value);
          Py_DECREF(value);
        }
      };
      set("args", Py_BuildValue("(s)", e.what()));
      set("msg", PyUnicode_FromString(e.msg().c_str()));
      set("doc", PyUnicode_FromString(""));
      set("pos", PyLong_FromSize_t(e.pos()));
      set("lineno", PyLong_FromSize_t(e.line()));
      set("colno", PyLong_FromSize_t(e.column()));
      PyErr_SetObject(cls, exc);
      Py_DECREF(exc);
    }
    Py_DECREF(cls);
  } catch (const json::DecodeError& e) {
    PyObject* exc = PyUnicodeDecodeError_Create(
        "utf-8", e.bytes().data(), static_cast<Py_ssize_t>(e.bytes().size()), 0,
        static_cast<Py_ssize_t>(e.end() - e.start()), e.reason().c_str());
    if (exc) {
      PyErr_SetObject(PyExc_UnicodeDecodeError, exc);
      Py_DECREF(exc);
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
}

}  // namespace halvex::py
