// A path as the C library will see it. An embedded NUL would cut the path short there, so it
// is refused as Python's open() refuses it.
#pragma once

#include <string_view>

#include "common/errors.h"

namespace halvex {

inline void check_path_text(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) throw ValueError("embedded null byte");
}

}  // namespace halvex
