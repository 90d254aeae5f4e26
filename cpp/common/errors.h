// The one error hierarchy of both cores. Every failure a caller may see is an Error with a
// kind; the bindings map each kind to one Python exception type, in one place, so callers
// get the exception type they would expect from a Python implementation. The cores throw
// nothing else of their own (the standard library's std::bad_alloc aside).
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace halvex {

enum class ErrorKind {
  Type,          // TypeError
  Value,         // ValueError
  Key,           // KeyError (the message is the key)
  Overflow,      // OverflowError
  ZeroDivision,  // ZeroDivisionError
  Recursion,     // RecursionError: nesting past the depth limit
  Os,            // OSError with errno and file name (see OsError)
  JsonDecode,    // json.JSONDecodeError (see json::ParseError)
  UnicodeDecode, // UnicodeDecodeError (see json::DecodeError)
  Memory,        // MemoryError: the work would need more memory than is left
  Runtime,       // RuntimeError: a library or a data source below failed, not the input
  Cancelled,     // the run was stopped (see common/cancel.h); the host raises what stopped it
};

class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  ErrorKind kind() const { return kind_; }

 private:
  ErrorKind kind_;
};

struct TypeError : Error { explicit TypeError(const std::string& m) : Error(ErrorKind::Type, m) {} };
struct ValueError : Error { explicit ValueError(const std::string& m) : Error(ErrorKind::Value, m) {} };
struct KeyError : Error { explicit KeyError(const std::string& key) : Error(ErrorKind::Key, key) {} };
struct OverflowError : Error { explicit OverflowError(const std::string& m) : Error(ErrorKind::Overflow, m) {} };
struct ZeroDivisionError : Error {
  explicit ZeroDivisionError(const std::string& m) : Error(ErrorKind::ZeroDivision, m) {}
};
struct RecursionError : Error {
  explicit RecursionError(const std::string& m) : Error(ErrorKind::Recursion, m) {}
};

struct MemoryError : Error { explicit MemoryError(const std::string& m) : Error(ErrorKind::Memory, m) {} };
struct RuntimeError : Error { explicit RuntimeError(const std::string& m) : Error(ErrorKind::Runtime, m) {} };

// An allocation of `bytes` that the system refused.
[[noreturn]] inline void throw_no_memory(std::size_t bytes) {
  throw MemoryError("cannot allocate " + std::to_string(bytes) + " bytes");
}

// An operating-system failure on a path; errno is kept so the binding can build the same
// OSError subclass (FileNotFoundError, IsADirectoryError, ...) that Python's open would.
struct OsError : Error {
  OsError(int err, const std::string& message, std::string path)
      : Error(ErrorKind::Os, message), errnum(err), filename(std::move(path)) {}
  int errnum;
  std::string filename;
};

// A named column that a table does not have.
class ColumnNotFound : public KeyError {
 public:
  explicit ColumnNotFound(const std::string& name) : KeyError(name), name_(name) {}
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

// A value that a strict conversion cannot turn into the requested type.
struct ConversionError : ValueError {
  using ValueError::ValueError;
};

// A column type that an operation or an input bridge does not handle.
struct UnsupportedType : TypeError {
  using TypeError::TypeError;
};

}  // namespace halvex
