// What the extension modules share: argument binding, with the error texts their Python
// callers have always seen, and the one place where the cores' errors become Python exceptions.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "common/arguments.h"

namespace halvex::py {
namespace nb = nanobind;
using halvex::Signature;

// One object per parameter, in positional order; an invalid nb::object (!is_valid()) where none was given.
// Raises TypeError with the texts the module has always used (arity, unexpected/multiple keyword, missing).
using Arguments = std::vector<nb::object>;
Arguments bind_arguments(const Signature& sig, const nb::args& args, const nb::kwargs& kwargs);

// "Argument 'x' has incorrect type (expected int, got str)"
[[noreturn]] void argument_type_error(const char* name, const char* expected, nb::handle given);

// A number as an integer, truncated toward zero (floats and objects with __float__ too).
// With `clamp`, a value beyond the 64-bit range takes its nearest end instead of raising
// OverflowError, and the NaN error names the argument.
long long integer_argument(const char* name, nb::handle value, bool clamp = false);
// A number as a double (anything with __float__ or __index__ but a str).
double real_argument(const char* name, nb::handle value);

// os.fspath text as UTF-8 (bytes decoded with the file-system encoding); an embedded NUL
// raises ValueError("embedded null byte") as open() does.
std::string path_argument(nb::handle value);

// Given and not None.
inline bool given(const nb::object& o) { return o.is_valid() && !o.is_none(); }

// The one translation of the cores' failures: halvex::Error by its kind (json.JSONDecodeError,
// UnicodeDecodeError and OSError with errno and file name included), the standard library's
// std::bad_alloc as MemoryError and std::length_error as ValueError; a pending Python error
// passes through. Called once in each module's initialisation.
void register_error_translation();

}  // namespace halvex::py
