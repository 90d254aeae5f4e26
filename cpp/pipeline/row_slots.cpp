#include "pipeline/row_slots.h"

namespace halvex::pipeline {

namespace {

void add(std::string& out, const char* key, size_t value) {
  out += ",\"";
  out += key;
  out += "\":";
  out += std::to_string(value);
}

}  // namespace

std::string row_slots_json(const RowLayout& layout) {
  const size_t P = layout.periods, R = layout.risk_periods;
  std::string out = layout.v300 ? "{\"layout\":\"v300\"" : "{\"layout\":\"v316\"";
  add(out, "P", P);
  add(out, "R", R);
  add(out, "muta", 0);
  add(out, "unvan", 1);
  add(out, "segment", 2);
  add(out, "risk", 3);
  if (layout.v300) {
    add(out, "scores", 4);
    add(out, "r", 4 + P);
    add(out, "width", 4 + P + R);
  } else {
    static const char* const kTail[] = {"hizli_yukselen", "rejim_degisimi", "potansiyel_yi", "erken_sinyal",
                                        "yakalanan",      "kacirilan",      "qvr_neden",     "ml_yi_prob"};
    add(out, "bolge", 4);
    add(out, "sube", 5);
    add(out, "scores", 6);
    add(out, "r", 6 + P);
    add(out, "rd", 6 + P + R);
    add(out, "df", 6 + P + 2 * R);
    size_t pos = 6 + P + 3 * R;
    for (const char* key : kTail) add(out, key, pos++);
    add(out, "width", pos);
  }
  out += "}";
  return out;
}

}  // namespace halvex::pipeline
