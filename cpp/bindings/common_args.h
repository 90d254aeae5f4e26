// What the extension modules share: argument binding, with the error texts their Python
// callers have always seen, and the one place where the cores' errors become Python exceptions.
//
// A parameter's C++ type says how its value is converted (one `convert` overload per kind
// below) and how help() shows it (one `shown` overload). Functions whose argument errors must
// read as CPython's own are defined with `def` below; the others with nanobind's m.def, where
// Path and Horizon have casters that convert the same way.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/arguments.h"

namespace halvex::py {
namespace nb = nanobind;
using halvex::Signature;

// "Argument 'x' has incorrect type (expected int, got str)"
[[noreturn]] void argument_type_error(const char* name, const char* expected, nb::handle given);

// --- the kinds of parameter -------------------------------------------------------------------

// os.fspath text as UTF-8 (bytes decoded with the file-system encoding); an embedded NUL
// raises ValueError("embedded null byte") as open() does.
struct Path : std::string {};
// A path the callee takes but does not read: any other value, or one with a NUL, is ignored.
struct UnreadPath {
  std::optional<std::string> path;
};
// A caller's document dict, or else the path of a document file.
struct DictOrPath {
  nb::object dict;  // invalid for a path
  std::string path;
};
// target_horizon: a number truncated toward zero, clamped to the 64-bit range (no entity has
// that many periods); the NaN error names it.
struct Horizon {
  std::int64_t periods;
};

// A text usable as a template argument: how help() shows a parameter of type Typed<Shown>.
template <size_t N>
struct Text {
  char s[N];
  constexpr Text(const char (&text)[N]) { std::copy_n(text, N, s); }
};
// The caller's object as given (with `dict_only`, TypeError unless a dict).
template <Text Shown, bool dict_only = false>
struct Typed : nb::object {};

inline constexpr char kPathShown[] = "str | bytes | os.PathLike[str] | os.PathLike[bytes]";
using Mapping = Typed<"collections.abc.Mapping[str, typing.Any]">;
using Dict = Typed<"collections.abc.Mapping[str, typing.Any]", true>;

// A number as an integer, truncated toward zero (floats and objects with __float__ too).
// With `clamp`, a value beyond the 64-bit range takes its nearest end instead of raising
// OverflowError, and the NaN error names the argument.
long long integer_argument(const char* name, nb::handle value, bool clamp = false);
std::string path_argument(nb::handle value);

inline void convert(const char*, nb::handle v, nb::object& out) { out = nb::borrow(v); }
inline void convert(const char* name, nb::handle v, long long& out) { out = integer_argument(name, v); }
void convert(const char* name, nb::handle v, double& out);  // anything with __float__ or __index__ but a str
void convert(const char* name, nb::handle v, nb::str& out);
inline void convert(const char*, nb::handle v, Path& out) { out.assign(path_argument(v)); }
void convert(const char*, nb::handle v, UnreadPath& out);
void convert(const char*, nb::handle v, DictOrPath& out);
inline void convert(const char*, nb::handle v, Horizon& out) {
  out.periods = integer_argument("target_horizon", v, true);
}
template <Text Shown, bool dict_only>
void convert(const char* name, nb::handle v, Typed<Shown, dict_only>& out) {
  if (dict_only && !PyDict_Check(v.ptr())) argument_type_error(name, "dict", v);
  static_cast<nb::object&>(out) = nb::borrow(v);
}
// None is none given.
template <class T>
void convert(const char* name, nb::handle v, std::optional<T>& out) {
  if (!v.is_none()) convert(name, v, out.emplace());
}

template <class T>
using Of = std::type_identity<T>;
template <Text Shown, bool dict_only>
std::string shown(Of<Typed<Shown, dict_only>>) { return Shown.s; }
inline std::string shown(Of<nb::object>) { return "object"; }
inline std::string shown(Of<long long>) { return "int"; }
inline std::string shown(Of<double>) { return "float"; }
inline std::string shown(Of<nb::str>) { return "str"; }
inline std::string shown(Of<Path>) { return kPathShown; }
inline std::string shown(Of<UnreadPath>) { return shown(Of<Path>()) + " | None"; }
inline std::string shown(Of<DictOrPath>) { return shown(Of<Mapping>()) + " | " + kPathShown; }
inline std::string shown(Of<Horizon>) { return "int"; }
template <class T>
std::string shown(Of<std::optional<T>>) { return shown(Of<T>()) + " | None"; }

// --- functions with CPython's argument errors -------------------------------------------------

// One object per parameter, in positional order; an invalid nb::object (!is_valid()) where none was given.
// Raises TypeError with the texts the module has always used (arity, unexpected/multiple keyword, missing).
using Arguments = std::vector<nb::object>;
Arguments bind_arguments(const Signature& sig, const nb::args& args, const nb::kwargs& kwargs);

struct Function {
  const char* name;
  const char* doc;
  const char* returns = nullptr;  // the return annotation; none for a signature without annotations
  bool missing_is_arity = false;  // see Signature
};

// "def name(a: int, b: str = '') -> returns" from the parameters' names, types and defaults.
std::string signature_text(const Function& fn, const Signature& sig, const std::vector<std::string>& types,
                           const Arguments& defaults);

template <class A>
nb::object default_of(const A& param) {
  if constexpr (nb::detail::arg_traits<A>::has_default) return param.value;
  return nb::object();
}

template <class T>
T converted(const std::string& name, nb::handle value) {
  T out{};
  convert(name.c_str(), value, out);
  return out;
}

// m.def of f(T...) taking *args and **kwargs, bound by `params` (nanobind's "name"_a, with
// "name"_a = default for the optional ones); defaults are converted as given values are,
// every value in parameter order before f runs.
template <class R, class... T, class... A>
void def(nb::module_& m, const Function& fn, R (*f)(T...), const A&... params) {
  static_assert(sizeof...(T) == sizeof...(A), "one nanobind argument per parameter");
  Signature sig{fn.name, {params.name_...}, 0, fn.missing_is_arity};
  Arguments defaults{default_of(params)...};
  while (sig.required < defaults.size() && !defaults[sig.required].is_valid()) ++sig.required;
  const std::string text = signature_text(fn, sig, {shown(Of<std::decay_t<T>>())...}, defaults);
  auto bound = [sig, defaults, f](const nb::args& args, const nb::kwargs& kwargs) -> R {
    Arguments a = bind_arguments(sig, args, kwargs);
    return [&]<size_t... I>(std::index_sequence<I...>) {
      std::tuple<std::decay_t<T>...> values{
          converted<std::decay_t<T>>(sig.names[I], a[I].is_valid() ? a[I] : defaults[I])...};
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

// For nanobind's own binding: a Path or Horizon is converted when the function is called,
// not while nanobind matches arguments (where it could not raise), so that a wrong value raises
// the binder's error rather than nanobind's "incompatible function arguments". Shown as object.
namespace nanobind::detail {
template <class T>
struct converted_on_call {
  static constexpr auto Name = const_name("object");
  template <class>
  using Cast = T;
  template <class>
  static constexpr bool can_cast() { return true; }
  bool from_python(handle h, uint32_t, cleanup_list*) noexcept {
    src = borrow(h);
    return true;
  }
  explicit operator T() { return halvex::py::converted<T>("", src); }
  object src;
};
template <> struct type_caster<halvex::py::Path> : converted_on_call<halvex::py::Path> {};
template <> struct type_caster<std::optional<halvex::py::Path>> : converted_on_call<std::optional<halvex::py::Path>> {};
template <> struct type_caster<halvex::py::Horizon> : converted_on_call<halvex::py::Horizon> {};
}  // namespace nanobind::detail
