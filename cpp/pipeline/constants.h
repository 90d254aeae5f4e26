// Constants of the dashboard renderer shared by the encoders and the page data.
#pragma once

#include <array>
#include <string_view>

#include "common/segments.h"

namespace halvex::pipeline {

using halvex::SEGMENTS_LIST;
using halvex::segment_index;

inline constexpr long long DEFAULT_CHUNK_SIZE = 10000;
inline constexpr long long DEFAULT_TOP_N = 100;

// Diagnostic group name to its one-letter code on the standard page ("izleme" is "z":
// "i" belongs to "icra").
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 7> GRUP_SHORT = {{
    {"gecikme", "g"},
    {"ortak", "o"},
    {"cek_senet", "c"},
    {"diger_banka", "d"},
    {"icra", "i"},
    {"yasal", "y"},
    {"izleme", "z"},
}};

// Letter of a group, or "?" for a name without one.
inline std::string_view grup_letter(std::string_view grup) {
  for (const auto& [name, letter] : GRUP_SHORT) {
    if (name == grup) return letter;
  }
  return "?";
}

}  // namespace halvex::pipeline
