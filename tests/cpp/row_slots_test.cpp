// The slot table the page script reads must say where the encoders really put each value:
// each member is given alone and the one position it changes must be the slot named for it.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "json/value.h"
#include "json/writer.h"
#include "pipeline/catalogue.h"
#include "pipeline/code_key.h"
#include "pipeline/row_encoding.h"
#include "pipeline/row_slots.h"

using namespace halvex;
using namespace halvex::pipeline;

namespace {

std::vector<json::Value> periods(std::initializer_list<const char*> names) {
  std::vector<json::Value> out;
  for (const char* n : names) out.push_back(json::Value::string(n));
  return out;
}

// The slot a member of the layout is written to.
std::string slot_of(const std::string& key, const RowLayout& layout, size_t index) {
  static const std::map<std::string, std::string> fixed = {
      {"muta", "muta"}, {"unvan", "unvan"}, {"segment", "segment"}, {"son_risk", "risk"},
      {"bolge_kodu", "bolge"}, {"sube_kodu", "sube"}, {"_hizli_yukselen", "hizli_yukselen"},
      {"_rejim_degisimi", "rejim_degisimi"}, {"_potansiyel_yi", "potansiyel_yi"},
      {"_erken_sinyal", "erken_sinyal"}, {"_yakalanan", "yakalanan"}, {"_kacirilan", "kacirilan"},
      {"_qvr_neden", "qvr_neden"}, {"_ml_yi_prob", "ml_yi_prob"}};
  if (auto it = fixed.find(key); it != fixed.end()) return it->second;
  // Period members: qvr<P>, then r<R>, rd<R>, df<R>, in the order the layout lists them.
  const size_t first_period = layout.compressed_page ? 4 : 6;
  size_t k = index - first_period;
  if (k < layout.periods) return "scores+" + std::to_string(k);
  k -= layout.periods;
  const char* groups[] = {"r", "rd", "df"};
  return std::string(groups[k / layout.risk_periods]) + "+" + std::to_string(k % layout.risk_periods);
}

json::Value sample(const std::string& key) {
  if (key == "muta") return json::Value::integer(777);
  if (key == "unvan" || key == "_qvr_neden") return json::Value::string("text");
  if (key == "segment") return json::Value::string("MIKRO");
  if (key == "bolge_kodu" || key == "sube_kodu") return json::Value::string("07");
  if (key == "_ml_yi_prob") return json::Value::real(0.5);
  if (key[0] == '_') return json::Value::integer(1);
  return json::Value::integer(5000000);
}

void check_layout(const RowLayout& layout) {
  std::map<std::string, size_t> slots;
  for (const auto& [name, pos] : row_slots(layout)) slots[name] = pos;
  Catalogue cat;
  cat.region_index[make_code_key(json::Value::string("07"))] = 3;
  cat.branch_index[make_code_key(json::Value::string("07"))] = 4;
  json::Arena arena;
  auto encode = [&](const std::vector<json::Value>& values, const std::vector<char>& found) {
    std::vector<json::Value> out;
    const bool* f = reinterpret_cast<const bool*>(found.data());
    if (layout.compressed_page) {
      encode_row_compressed(layout, values.data(), f, arena, out);
    } else {
      encode_row_standard(layout, values.data(), f, cat, arena, out);
    }
    std::vector<std::string> texts;
    for (const auto& v : out) texts.push_back(json::to_json(v, json::WriteOptions{false, false}));
    return texts;
  };
  const size_t n = layout.keys.size();
  std::vector<json::Value> none(n, json::Value::null());
  const auto base = encode(none, std::vector<char>(n, 0));
  EXPECT_EQ(slots["width"], base.size());
  for (size_t k = 0; k < n; ++k) {
    std::vector<json::Value> values = none;
    std::vector<char> found(n, 0);
    values[k] = sample(layout.keys[k]);
    found[k] = 1;
    const auto row = encode(values, found);
    ASSERT_EQ(row.size(), base.size());
    std::vector<size_t> changed;
    for (size_t i = 0; i < row.size(); ++i) {
      if (row[i] != base[i]) changed.push_back(i);
    }
    ASSERT_EQ(changed.size(), 1u) << layout.keys[k];
    std::string slot = slot_of(layout.keys[k], layout, k);
    size_t plus = slot.find('+');
    size_t expected = plus == std::string::npos ? slots.at(slot)
                                                : slots.at(slot.substr(0, plus)) + std::stoul(slot.substr(plus + 1));
    EXPECT_EQ(changed[0], expected) << layout.keys[k] << " -> " << slot;
  }
}

}  // namespace

TEST(RowSlots, StandardSlotsAreWhereTheEncoderWrites) {
  check_layout(RowLayout::standard(periods({"2025-01", "2025-02", "2025-03"}), periods({"2025-02", "2025-03"})));
  check_layout(RowLayout::standard(periods({"a"}), periods({"a"})));
}

TEST(RowSlots, CompressedSlotsAreWhereTheEncoderWrites) {
  check_layout(RowLayout::compressed(periods({"2025-01", "2025-02", "2025-03", "2025-04"}), periods({"2025-04"})));
}

TEST(RowSlots, JsonText) {
  EXPECT_EQ(row_slots_json(RowLayout::compressed(periods({"a", "b"}), periods({"b"}))),
            R"({"layout":"v300","P":2,"R":1,"muta":0,"unvan":1,"segment":2,"risk":3,"scores":4,"r":6,"width":7})");
  EXPECT_EQ(row_slots_json(RowLayout::standard(periods({"a", "b"}), periods({"b"}))),
            R"({"layout":"v316","P":2,"R":1,"muta":0,"unvan":1,"segment":2,"risk":3,"bolge":4,"sube":5,)"
            R"("scores":6,"r":8,"rd":9,"df":10,"hizli_yukselen":11,"rejim_degisimi":12,"potansiyel_yi":13,)"
            R"("erken_sinyal":14,"yakalanan":15,"kacirilan":16,"qvr_neden":17,"ml_yi_prob":18,"width":19})");
}
