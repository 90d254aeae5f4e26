// Argument binding shared by the extension modules, with the error texts
// Python callers of these modules have always seen.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace halvex::py {

namespace nb = nanobind;

struct Signature {
  const char* function;
  std::vector<const char*> names;  // all parameters, in positional order
  size_t required;                 // the first `required` have no default
};

// One object per parameter, in positional order; an invalid nb::object
// (!is_valid()) where none was given. Raises TypeError on a bad call.
std::vector<nb::object> bind_arguments(const Signature& sig, const nb::args& args, const nb::kwargs& kwargs);

// "Argument 'x' has incorrect type (expected int, got str)"
[[noreturn]] void argument_type_error(const char* name, const char* expected, nb::handle given);

// A number as an integer (truncated toward zero); TypeError otherwise.
long long integer_argument(const char* name, nb::handle value);
// A number as a double; TypeError otherwise.
double real_argument(const char* name, nb::handle value);

// The text of os.fspath(value) as UTF-8 (bytes decoded like os.fsdecode); an
// embedded NUL raises ValueError("embedded null byte"), as open() does.
std::string path_argument(nb::handle value);

}  // namespace halvex::py
