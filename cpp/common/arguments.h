// Call arguments matched to a function's parameters, with the error texts CPython gives for
// functions written in C ("f() takes at most 2 positional arguments (3 given)"), so that the
// extension modules' argument errors read as they always have.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace halvex {

struct Signature {
  const char* function;
  std::vector<std::string> names;  // all parameters, in positional order
  size_t required;                 // the first `required` have no default
  // A missing argument reads as too few positional ones even when keywords are given (the
  // text some functions have always raised) rather than naming it.
  bool missing_is_arity = false;
};

// For each parameter, where its value comes from: -1 when none was given, i < n_positional
// for the i-th positional argument, n_positional + j for the j-th of `keywords` (in the
// caller's order). Throws TypeError for too many positional arguments, an unexpected or
// repeated keyword and a missing required argument.
std::vector<int> match_arguments(const Signature& sig, size_t n_positional,
                                 const std::vector<std::string_view>& keywords);

// "def f(a: int, b: str = '') -> returns" of the parameters' kinds (as help() shows them) and
// defaults' texts (ignored for the required ones); "def f(a, b='')" without `returns`.
std::string signature_text(const Signature& sig, const char* returns, const std::vector<std::string>& kinds,
                           const std::vector<std::string>& defaults);

// A real number truncated toward zero. NaN is a ValueError ("cannot convert float NaN to
// integer", after `nan_prefix`); beyond the 64-bit range the nearest end when `clamp`, else
// OverflowError.
long long truncate_real(double d, bool clamp, const char* nan_prefix = "");

}  // namespace halvex
