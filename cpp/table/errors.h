// Exceptions raised by Table operations; the Python binding maps each to the
// matching built-in exception type.
#pragma once

#include <stdexcept>
#include <string>

namespace halvex::table {

// A named column that the table does not have (KeyError in Python).
class ColumnNotFound : public std::runtime_error {
 public:
  explicit ColumnNotFound(const std::string& name) : std::runtime_error(name), name_(name) {}
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

// A value that a strict conversion cannot turn into the requested type
// (ValueError in Python).
class ConversionError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A column type that an operation or an input bridge does not handle
// (TypeError in Python).
class UnsupportedType : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace halvex::table
