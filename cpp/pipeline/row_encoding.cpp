#include "pipeline/row_encoding.h"

#include <memory>

#include "common/errors.h"
#include "json/utf8.h"
#include "pipeline/amounts.h"
#include "pipeline/constants.h"
#include "pipeline/text_form.h"

namespace halvex::pipeline {

namespace {

constexpr size_t kUnvanMax = 40;  // characters of the firm name the page shows

const char* const kMarks[] = {"_hizli_yukselen", "_rejim_degisimi", "_potansiyel_yi",
                              "_erken_sinyal",   "_yakalanan",      "_kacirilan"};

void add_period_keys(std::vector<std::string>& keys, const char* prefix,
                     const std::vector<json::Value>& periods) {
  for (const auto& d : periods) keys.push_back(prefix + text_form(d));
}

// Head positions shared by both layouts: muta, unvan (40 characters), segment index.
void encode_head(const json::Value* v, const bool* found, std::vector<json::Value>& out) {
  out.push_back(found[0] ? v[0] : json::Value::null());
  if (!found[1] || !v[1].truthy()) {
    out.push_back(json::Value::string({}));
  } else if (v[1].is_string()) {
    out.push_back(json::Value::string(json::utf8_prefix(v[1].as_string(), kUnvanMax)));
  } else {
    throw TypeError(std::string("'unvan' must be a string, not '") + json::type_name(v[1]) + "'");
  }
  int seg = -1;
  if (found[2]) {
    if (v[2].is_array() || v[2].is_object()) {
      throw TypeError(std::string("unhashable type: '") + json::type_name(v[2]) + "'");
    }
    if (v[2].is_string()) seg = segment_index(v[2].as_string());
  }
  out.push_back(json::Value::integer(seg));
}

}  // namespace

RowLayout RowLayout::standard(const std::vector<json::Value>& donemler,
                              const std::vector<json::Value>& risk_donemler) {
  RowLayout l;
  l.periods = donemler.size();
  l.risk_periods = risk_donemler.size();
  l.keys = {"muta", "unvan", "segment", "son_risk", "bolge_kodu", "sube_kodu"};
  add_period_keys(l.keys, "qvr", donemler);
  add_period_keys(l.keys, "r", risk_donemler);
  add_period_keys(l.keys, "rd", risk_donemler);
  add_period_keys(l.keys, "df", risk_donemler);
  for (const char* m : kMarks) l.keys.push_back(m);
  l.keys.push_back("_qvr_neden");
  l.keys.push_back("_ml_yi_prob");
  return l;
}

RowLayout RowLayout::compressed(const std::vector<json::Value>& donemler,
                                const std::vector<json::Value>& risk_donemler) {
  RowLayout l;
  l.periods = donemler.size();
  l.risk_periods = risk_donemler.size();
  l.compressed_page = true;
  l.keys = {"muta", "unvan", "segment", "son_risk"};
  add_period_keys(l.keys, "qvr", donemler);
  add_period_keys(l.keys, "r", risk_donemler);
  return l;
}

std::vector<json::Value> period_items(const json::Value& list, json::Arena& arena) {
  std::vector<json::Value> items;
  switch (list.kind()) {
    case json::Kind::Array:
      items.assign(list.begin_items(), list.end_items());
      break;
    case json::Kind::Object:
      for (size_t i = 0; i < list.size(); ++i) items.push_back(json::Value::string(list.member(i).key));
      break;
    case json::Kind::String: {
      std::string_view s = list.as_string();
      size_t start = 0;
      for (size_t i = 1; i <= s.size(); ++i) {
        if (i == s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
          items.push_back(arena.string(s.substr(start, i - start)));
          start = i;
        }
      }
      break;
    }
    default:
      throw TypeError(std::string("'") + json::type_name(list) + "' object is not iterable");
  }
  return items;
}

void encode_row_standard(const RowLayout& layout, const json::Value* v, const bool* found,
                         const Catalogue& catalogue, json::Arena& scratch,
                         std::vector<json::Value>& out) {
  out.clear();
  encode_head(v, found, out);
  out.push_back(found[3] ? mio(v[3], scratch) : json::Value::real(0.0));
  out.push_back(json::Value::integer(found[4] ? catalogue.region_of(&v[4]) : -1));
  out.push_back(json::Value::integer(found[5] ? catalogue.branch_of(&v[5]) : -1));
  size_t k = 6;
  for (size_t p = 0; p < layout.periods; ++p, ++k) {
    out.push_back(score_code(found[k] ? &v[k] : nullptr, scratch));
  }
  for (size_t r = 0; r < 3 * layout.risk_periods; ++r, ++k) {
    out.push_back(found[k] ? mio(v[k], scratch) : json::Value::null());
  }
  for (size_t m = 0; m < 6; ++m, ++k) {
    out.push_back(found[k] ? v[k] : json::Value::integer(0));
  }
  out.push_back(found[k] ? v[k] : json::Value::string({}));
  ++k;
  out.push_back(found[k] ? v[k] : json::Value::integer(0));
}

void encode_row_compressed(const RowLayout& layout, const json::Value* v, const bool* found,
                           json::Arena& scratch, std::vector<json::Value>& out) {
  out.clear();
  encode_head(v, found, out);
  out.push_back(found[3] ? v[3] : json::Value::integer(0));
  size_t k = 4;
  for (size_t p = 0; p < layout.periods; ++p, ++k) {
    out.push_back(score_code(found[k] ? &v[k] : nullptr, scratch));
  }
  for (size_t r = 0; r < layout.risk_periods; ++r, ++k) {
    out.push_back(found[k] ? v[k] : json::Value::null());
  }
}

json::Value encode_source_row(RowSource& rows, size_t i, const RowLayout& layout, const Catalogue& catalogue,
                              json::Arena& arena) {
  rows.prepare(layout.keys);
  std::vector<json::Value> values(layout.keys.size());
  std::unique_ptr<bool[]> found(new bool[layout.keys.size()]);
  rows.fetch(i, values.data(), found.get());
  std::vector<json::Value> out;
  if (layout.compressed_page) {
    encode_row_compressed(layout, values.data(), found.get(), arena, out);
  } else {
    encode_row_standard(layout, values.data(), found.get(), catalogue, arena, out);
  }
  return arena.array(out);
}

}  // namespace halvex::pipeline
