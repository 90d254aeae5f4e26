// What the extension modules share: argument binding, with the error texts their Python
// callers have always seen, the C API helpers it rests on, and the one place where the cores'
// errors become Python exceptions.
//
// A parameter's C++ type says how its value is converted (its `convert` overload) and how
// help() shows it (its `shown` overload). Functions whose argument errors read as CPython's
// own, or that take a path, are defined with `def` below; the others with nanobind's m.def.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "common/arguments.h"

namespace halvex::py {
namespace nb = nanobind;

// The C API's new reference, or its pending Python error thrown.
inline PyObject* check(PyObject* p) {
  if (!p) throw nb::python_error();
  return p;
}
// Text of a Python str as UTF-8: valid only while the str lives.
std::string_view utf8_view(PyObject* str);
// Whether float(v) is defined (a str's own __float__ aside), and its value.
bool has_float(nb::handle v);
double as_double(nb::handle v);

// "Argument 'x' has incorrect type (expected int, got str)"
[[noreturn]] void argument_type_error(const char* name, const char* expected, nb::handle given);

// os.fspath text as UTF-8 (bytes decoded with the file-system encoding); an embedded NUL
// raises ValueError("embedded null byte") as open() does.
std::string path_argument(nb::handle value);

// The kinds of parameter besides nb::object (as given), nb::str (a str, as given), long long
// (a number truncated toward zero; OverflowError past 64 bits), double (anything with
// __float__ or __index__ but a str) and std::optional of a kind (None is none given).
struct Path : std::string {};  // path_argument
struct UnreadPath {            // a path the callee does not read: any other value, or a NUL in it, is ignored
  std::optional<std::string> path;
};
struct DictOrPath {  // a caller's document dict, or else a document file's path
  nb::object dict;   // invalid for a path
  std::string path;
};
struct Horizon {  // target_horizon: truncated toward zero, clamped to 64 bits (no entity has so many periods)
  long long periods;
};
// The caller's object (with `dict_only` TypeError unless a dict), shown in help() as `Shown`.
template <size_t N>
struct Text {
  constexpr Text(const char (&text)[N]) { std::copy_n(text, N, s); }
  char s[N];
};
template <Text Shown, bool dict_only = false>
struct Typed : nb::object {};
using Mapping = Typed<"collections.abc.Mapping[str, typing.Any]">;
using Dict = Typed<"collections.abc.Mapping[str, typing.Any]", true>;

void convert(const char* name, nb::handle v, nb::object& out);
void convert(const char* name, nb::handle v, nb::str& out);
void convert(const char* name, nb::handle v, long long& out);
void convert(const char* name, nb::handle v, double& out);
void convert(const char* name, nb::handle v, Path& out);
void convert(const char* name, nb::handle v, UnreadPath& out);
void convert(const char* name, nb::handle v, DictOrPath& out);
void convert(const char* name, nb::handle v, Horizon& out);
template <Text Shown, bool dict_only>
void convert(const char* name, nb::handle v, Typed<Shown, dict_only>& out) {
  if (dict_only && !PyDict_Check(v.ptr())) argument_type_error(name, "dict", v);
  convert(name, v, static_cast<nb::object&>(out));
}
template <class T>
void convert(const char* name, nb::handle v, std::optional<T>& out) {
  if (!v.is_none()) convert(name, v, out.emplace());
}

template <class T>
using Of = std::type_identity<T>;
template <Text Shown, bool dict_only>
std::string shown(Of<Typed<Shown, dict_only>>) { return Shown.s; }
inline std::string shown(Of<nb::object>) { return "object"; }
inline std::string shown(Of<nb::str>) { return "str"; }
inline std::string shown(Of<long long>) { return "int"; }
inline std::string shown(Of<Horizon>) { return "int"; }
inline std::string shown(Of<double>) { return "float"; }
inline std::string shown(Of<Path>) { return "str | bytes | os.PathLike[str] | os.PathLike[bytes]"; }
inline std::string shown(Of<UnreadPath>) { return shown(Of<Path>()) + " | None"; }
inline std::string shown(Of<DictOrPath>) { return shown(Of<Mapping>()) + " | " + shown(Of<Path>()); }
template <class T>
std::string shown(Of<std::optional<T>>) { return shown(Of<T>()) + " | None"; }

template <class T>
T converted(const std::string& name, nb::handle value) {
  T out{};
  convert(name.c_str(), value, out);
  return out;
}

// The value of each parameter, in positional order, its default where none was given. Raises
// TypeError with the texts the module has always used (arity, unexpected/multiple keyword, missing).
std::vector<nb::object> bind_arguments(const Signature& sig, const std::vector<nb::object>& defaults,
                                       const nb::args& args, const nb::kwargs& kwargs);

struct Function {
  const char* name;
  const char* doc;
  const char* returns = nullptr;  // the return annotation; none for a signature without annotations
  bool missing_is_arity = false;  // see Signature
};

template <class A>
nb::object default_of(const A& param) {
  if constexpr (nb::detail::arg_traits<A>::has_default) return param.value;
  return nb::object();
}

// m.def of f(T...) taking *args and **kwargs, bound by `params` (nanobind's "name"_a, and
// "name"_a = default for the optional ones). Every value, a default too, is converted by its
// parameter's kind, in parameter order, before f runs.
template <class R, class... T, class... A>
void def(nb::module_& m, const Function& fn, R (*f)(T...), const A&... params) {
  static_assert(sizeof...(T) == sizeof...(A), "one nanobind argument per parameter");
  Signature sig{fn.name, {params.name_...}, 0, fn.missing_is_arity};
  const std::vector<nb::object> defaults{default_of(params)...};
  while (sig.required < defaults.size() && !defaults[sig.required].is_valid()) ++sig.required;
  std::vector<std::string> default_texts;
  for (const nb::object& d : defaults) default_texts.emplace_back(d.is_valid() ? nb::repr(d).c_str() : "");
  const std::string text = signature_text(sig, fn.returns, {shown(Of<std::decay_t<T>>())...}, default_texts);
  auto bound = [sig, defaults, f](const nb::args& args, const nb::kwargs& kwargs) -> R {
    const std::vector<nb::object> a = bind_arguments(sig, defaults, args, kwargs);
    return [&]<size_t... I>(std::index_sequence<I...>) {
      std::tuple<std::decay_t<T>...> values{converted<std::decay_t<T>>(sig.names[I], a[I])...};
      return std::apply(f, std::move(values));
    }(std::index_sequence_for<T...>());
  };
  m.def(fn.name, bound, nb::sig(text.c_str()), fn.doc);
}

// The one translation of the cores' failures: halvex::Error by its kind (json.JSONDecodeError,
// UnicodeDecodeError and OSError with errno and file name included), the standard library's
// std::bad_alloc as MemoryError and std::length_error as ValueError; a pending Python error
// passes through. Called once in each module's initialisation.
void register_error_translation();

}  // namespace halvex::py
