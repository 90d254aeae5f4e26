// The customer segment codes, shared by the renderer and the feature builder.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace halvex {

// In page order: a row's segment index on the dashboard is its code's position here.
inline constexpr std::array<std::string_view, 4> SEGMENTS_LIST = {"KUR-TIC", "KOBI", "MIKRO", "ESKK"};

// Position of `code` in SEGMENTS_LIST (exact match), or -1.
inline int segment_index(std::string_view code) {
  for (std::size_t i = 0; i < SEGMENTS_LIST.size(); ++i) {
    if (SEGMENTS_LIST[i] == code) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace halvex
