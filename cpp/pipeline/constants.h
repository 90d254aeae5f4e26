// Constants of the dashboard renderer shared by the encoders and the page data.
#pragma once

#include <array>
#include <string_view>

namespace halvex::pipeline {

// Segment codes in page order; a row's segment index is its position here.
inline constexpr std::array<std::string_view, 4> SEGMENTS_LIST = {"KUR-TIC", "KOBI", "MIKRO", "ESKK"};

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

// Index in SEGMENTS_LIST, or -1.
inline int segment_index(std::string_view code) {
  for (size_t i = 0; i < SEGMENTS_LIST.size(); ++i) {
    if (SEGMENTS_LIST[i] == code) return static_cast<int>(i);
  }
  return -1;
}

// Letter of a group, or "?" for a name without one.
inline std::string_view grup_letter(std::string_view grup) {
  for (const auto& [name, letter] : GRUP_SHORT) {
    if (name == grup) return letter;
  }
  return "?";
}

}  // namespace halvex::pipeline
