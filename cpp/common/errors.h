// Error kinds of the core. The bindings map each to the Python exception of the same name,
// so callers see the exception type they would expect from a Python implementation.
#pragma once

#include <stdexcept>
#include <string>

namespace halvex {

struct TypeError : std::runtime_error { using std::runtime_error::runtime_error; };
struct ValueError : std::runtime_error { using std::runtime_error::runtime_error; };
struct KeyError : std::runtime_error { using std::runtime_error::runtime_error; };
struct OverflowError : std::runtime_error { using std::runtime_error::runtime_error; };
struct ZeroDivisionError : std::runtime_error { using std::runtime_error::runtime_error; };

// An operating-system failure on a path; errno is kept for the binding.
struct OsError : std::runtime_error {
  OsError(int err, std::string message, std::string path)
      : std::runtime_error(std::move(message)), errnum(err), filename(std::move(path)) {}
  int errnum;
  std::string filename;
};

}  // namespace halvex
