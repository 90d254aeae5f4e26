#include "pipeline/row_order.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "common/errors.h"

namespace halvex::pipeline {

void order_by_risk(RowSource& rows, std::vector<uint32_t>& order) {
  rows.prepare({"son_risk"});
  json::Value v;
  bool found;
  std::vector<double> numeric(order.size(), 0.0);
  std::vector<std::string> texts;  // filled only when a key is text
  const char* text_type = nullptr;
  const char* other_type = nullptr;
  for (size_t n = 0; n < order.size(); ++n) {
    rows.fetch(order[n], &v, &found);
    if (!found || !v.truthy()) continue;
    switch (v.kind()) {
      case json::Kind::Bool:
      case json::Kind::Int: numeric[n] = static_cast<double>(v.as_int()); other_type = "int"; break;
      case json::Kind::BigInt:
        numeric[n] = std::strtod(std::string(v.as_string()).c_str(), nullptr);
        other_type = "int";
        break;
      case json::Kind::Double:
        // NaN compares false both ways and would leave the sort order undefined: count it as 0.
        numeric[n] = std::isnan(v.as_double()) ? 0.0 : v.as_double();
        other_type = "float";
        break;
      case json::Kind::String:
        if (texts.empty()) texts.resize(order.size());
        texts[n] = std::string(v.as_string());
        text_type = "str";
        break;
      default:
        throw TypeError(std::string("'<' not supported between instances of '") +
                        json::type_name(v) + "' and 'int'");
    }
  }
  // Falsy keys count as the integer 0, so text keys can only be ordered among themselves.
  bool all_text = text_type != nullptr;
  if (all_text) {
    for (size_t n = 0; n < order.size(); ++n) {
      if (texts[n].empty()) { all_text = false; other_type = "int"; break; }
    }
  }
  if (text_type && !all_text) {
    throw TypeError(std::string("'<' not supported between instances of 'str' and '") +
                    (other_type ? other_type : "int") + "'");
  }
  std::vector<uint32_t> idx(order.size());
  for (size_t n = 0; n < idx.size(); ++n) idx[n] = static_cast<uint32_t>(n);
  if (all_text) {
    std::stable_sort(idx.begin(), idx.end(), [&](uint32_t a, uint32_t b) { return texts[a] > texts[b]; });
  } else {
    std::stable_sort(idx.begin(), idx.end(), [&](uint32_t a, uint32_t b) { return numeric[a] > numeric[b]; });
  }
  std::vector<uint32_t> sorted(order.size());
  for (size_t n = 0; n < idx.size(); ++n) sorted[n] = order[idx[n]];
  order.swap(sorted);
}

}  // namespace halvex::pipeline
