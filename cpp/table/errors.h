// Failures of Table operations, as kinds of the common error hierarchy.
#pragma once

#include <string>

#include "common/errors.h"

namespace halvex::table {

// A named column that the table does not have.
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

}  // namespace halvex::table
