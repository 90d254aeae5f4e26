// Argument binding for the module functions, with the error texts Python callers of this
// module have always seen.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

namespace halvex::py {

struct Signature {
  const char* function;
  std::vector<const char*> names;  // all parameters, in positional order
  size_t required;                 // the first `required` have no default
};

// Fills out[i] with a borrowed reference per parameter (nullptr when not given).
// Returns false with a TypeError set on a bad call.
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, std::vector<PyObject*>& out);

// "Argument 'x' has incorrect type (expected int, got str)"; returns false.
bool argument_type_error(const char* name, const char* expected, PyObject* given);

// A number as an integer (truncated toward zero); nullopt with TypeError set otherwise.
std::optional<long long> integer_argument(const char* name, PyObject* value);
// A number as a double; nullopt with TypeError set otherwise.
std::optional<double> real_argument(const char* name, PyObject* value);

}  // namespace halvex::py
