#include "pipeline/row_slots.h"

namespace halvex::pipeline {

std::vector<std::pair<const char*, size_t>> row_slots(const RowLayout& layout) {
  const size_t P = layout.periods, R = layout.risk_periods;
  if (layout.compressed_page) {
    return {{"muta", 0}, {"unvan", 1}, {"segment", 2}, {"risk", 3},
            {"scores", 4}, {"r", 4 + P}, {"width", 4 + P + R}};
  }
  const size_t marks = 6 + P + 3 * R;
  return {{"muta", 0},
          {"unvan", 1},
          {"segment", 2},
          {"risk", 3},
          {"bolge", 4},
          {"sube", 5},
          {"scores", 6},
          {"r", 6 + P},
          {"rd", 6 + P + R},
          {"df", 6 + P + 2 * R},
          {"hizli_yukselen", marks},
          {"rejim_degisimi", marks + 1},
          {"potansiyel_yi", marks + 2},
          {"erken_sinyal", marks + 3},
          {"yakalanan", marks + 4},
          {"kacirilan", marks + 5},
          {"qvr_neden", marks + 6},
          {"ml_yi_prob", marks + 7},
          {"width", marks + 8}};
}

std::string row_slots_json(const RowLayout& layout) {
  std::string out = std::string("{\"layout\":\"") + (layout.compressed_page ? "v300" : "v316") + "\",\"P\":" +
                    std::to_string(layout.periods) + ",\"R\":" + std::to_string(layout.risk_periods);
  for (const auto& [name, position] : row_slots(layout)) {
    out += ",\"";
    out += name;
    out += "\":" + std::to_string(position);
  }
  return out + "}";
}

}  // namespace halvex::pipeline
