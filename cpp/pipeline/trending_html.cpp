#include "pipeline/page_data.h"

#include <cmath>
#include <cstdlib>
#include <string_view>

#include "common/errors.h"
#include "common/number_text.h"
#include "pipeline/text_form.h"

namespace halvex::pipeline {

namespace {

// The section's markup, character for character.
constexpr std::string_view kSectionOpening =
    "\n"
    "    <div id=\"qvr-trending-section\" style=\"\n"
    "        margin:20px auto;max-width:1400px;padding:20px;\n"
    "        font-family:-apple-system,BlinkMacSystemFont,'Segoe UI',Roboto,sans-serif;\n"
    "        background:#fff;border:1px solid #e0e0e0;border-radius:8px;\n"
    "        box-shadow:0 1px 3px rgba(0,0,0,0.08)\">\n"
    "      <div style=\"display:flex;justify-content:space-between;align-items:center;margin-bottom:16px;\n"
    "                  border-bottom:2px solid #2c3e50;padding-bottom:12px\">\n"
    "        <h2 style=\"margin:0;font-size:20px;color:#2c3e50\">Trending Listeler</h2>\n"
    "        <button onclick=\"document.getElementById('qvr-trending-cards').style.display=\n"
    "          document.getElementById('qvr-trending-cards').style.display==='none'?'block':'none'\"\n"
    "          style=\"padding:6px 16px;border:1px solid #ccc;border-radius:4px;background:#f8f9fa;\n"
    "                 cursor:pointer;font-size:13px\">Gizle/Göster</button>\n"
    "      </div>\n"
    "      <div id=\"qvr-trending-cards\">\n"
    "        ";
constexpr std::string_view kSectionClosing =
    "\n"
    "      </div>\n"
    "    </div>";
constexpr std::string_view kCardOpening =
    "\n"
    "        <div style=\"margin-bottom:24px\">\n"
    "          <div style=\"display:flex;align-items:center;gap:8px;margin-bottom:8px\">\n"
    "            <span style=\"display:inline-block;width:4px;height:20px;background:";
constexpr std::string_view kAfterColour =
    ";border-radius:2px\"></span>\n"
    "            <h3 style=\"margin:0;font-size:16px;color:#333\">";
constexpr std::string_view kAfterTitle =
    "</h3>\n"
    "            <span style=\"font-size:13px;color:#888\">(";
constexpr std::string_view kAfterCount =
    " firma)</span>\n"
    "          </div>\n"
    "          <p style=\"margin:0 0 8px 12px;font-size:13px;color:#666\">";
constexpr std::string_view kTableHead =
    "</p>\n"
    "          <table style=\"width:100%;border-collapse:collapse;font-size:13px\">\n"
    "            <thead>\n"
    "              <tr style=\"background:#f8f9fa;border-bottom:2px solid #dee2e6\">\n"
    "                <th style=\"text-align:left;padding:6px 8px;width:100px\">MUTA</th>\n"
    "                <th style=\"text-align:left;padding:6px 8px\">Unvan</th>\n"
    "                <th style=\"text-align:right;padding:6px 8px;width:80px\">QVR Skor</th>\n"
    "                <th style=\"text-align:right;padding:6px 8px;width:100px\">Risk (Mio)</th>\n"
    "                <th style=\"text-align:left;padding:6px 8px\">Neden</th>\n"
    "              </tr>\n"
    "            </thead>\n"
    "            <tbody>";
constexpr std::string_view kCardClosing =
    "</tbody>\n"
    "          </table>\n"
    "        </div>";
constexpr std::string_view kRowOpening =
    "<tr>\n"
    "              <td style=\"font-weight:600\">";
constexpr std::string_view kAfterMuta =
    "</td>\n"
    "              <td>";
constexpr std::string_view kBeforeRightCell =
    "</td>\n"
    "              <td style=\"text-align:right\">";
constexpr std::string_view kBeforeReason =
    "</td>\n"
    "              <td style=\"color:#666;font-size:12px\">";
constexpr std::string_view kRowClosing =
    "</td>\n"
    "            </tr>";

struct CardDefinition {
  std::string_view key, title, description, colour;
};
constexpr CardDefinition kSections[] = {
    {"fastest_rising", "En Hizli Yükselenler", "Son 3 dönemde en çok artan QVR skorları", "#e74c3c"},
    {"regime_change", "Rejim Degisimi", "EUS bandından YIS bandına geçen firmalar", "#e67e22"},
    {"persistent_high", "Kalici Yüksek Risk", "Uzun süredir yüksek QVR skoru taşıyan firmalar", "#c0392b"},
    {"low_but_rising", "Düsük ama Yükselen", "Düşük skorlu ama hızla yükselen firmalar", "#f39c12"},
};

// Firm names and reasons come from upstream data: escape them so that no value can add markup.
void append_escaped(std::string& out, std::string_view s) {
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#x27;"; break;
      default: out.push_back(c);
    }
  }
}

void append_value(std::string& out, const json::Value& v) { append_escaped(out, text_form(v)); }

double number_of(const json::Value& v) {
  switch (v.kind()) {
    case json::Kind::Bool:
    case json::Kind::Int: return static_cast<double>(v.as_int());
    case json::Kind::BigInt: return std::strtod(std::string(v.as_string()).c_str(), nullptr);
    case json::Kind::Double: return v.as_double();
    default:
      throw TypeError(std::string("unsupported operand type(s) for /: '") + json::type_name(v) + "' and 'int'");
  }
}

}  // namespace

std::string build_trending_html(const json::Value& trending) {
  if (!trending.is_object()) {
    throw TypeError(std::string("Argument 'trending' has incorrect type (expected dict, got ") +
                    json::type_name(trending) + ")");
  }
  std::string cards;
  for (const auto& def : kSections) {
    const json::Value* items = trending.find(def.key);
    if (!items || !items->truthy()) continue;
    if (!items->is_array()) {
      throw TypeError(std::string("trending list '") + std::string(def.key) + "' must be an array, not '" +
                      json::type_name(*items) + "'");
    }
    std::string rows;
    for (size_t i = 0; i < items->size(); ++i) {
      const json::Value& item = (*items)[i];
      if (!item.is_object()) {
        throw TypeError(std::string("trending item must be an object, not '") + json::type_name(item) + "'");
      }
      const json::Value* muta = item.find("muta");
      const json::Value* unvan = item.find("unvan");
      const json::Value* son_risk = item.find("son_risk");
      const json::Value* score = item.find("score_last");
      const json::Value* reason = item.find("reason");
      rows += kRowOpening;
      if (muta) append_value(rows, *muta);
      rows += kAfterMuta;
      if (unvan && unvan->truthy()) append_value(rows, *unvan);
      rows += kBeforeRightCell;
      if (score) append_value(rows, *score);
      rows += kBeforeRightCell;
      if (son_risk && son_risk->truthy()) {
        double risk = halvex::round_decimals(number_of(*son_risk) / 1000000.0, 2);
        append_escaped(rows, halvex::double_repr(risk, false));
      } else {
        rows += "0";
      }
      rows += kBeforeReason;
      if (reason) append_value(rows, *reason);
      rows += kRowClosing;
    }
    cards += kCardOpening;
    cards += def.colour;
    cards += kAfterColour;
    cards += def.title;
    cards += kAfterTitle;
    cards += std::to_string(items->size());
    cards += kAfterCount;
    cards += def.description;
    cards += kTableHead;
    cards += rows;
    cards += kCardClosing;
  }
  if (cards.empty()) return {};
  std::string out;
  out.reserve(kSectionOpening.size() + cards.size() + kSectionClosing.size());
  out += kSectionOpening;
  out += cards;
  out += kSectionClosing;
  return out;
}

}  // namespace halvex::pipeline
