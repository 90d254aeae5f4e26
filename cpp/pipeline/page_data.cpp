#include "pipeline/page_data.h"

#include <sys/stat.h>

#include <memory>
#include <unordered_map>
#include <vector>

#include "common/errors.h"
#include "json/document_file.h"
#include "json/parser.h"
#include "pipeline/constants.h"
#include "pipeline/text_form.h"

namespace halvex::pipeline {

namespace {

std::string script_path(const std::string& dir, const char* name) {
  return dir.empty() ? name : (dir.back() == '/' ? dir + name : dir + "/" + name);
}

std::string read_optional_text(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return {};
  std::string text = json::read_file(path);
  json::check_utf8(text);
  return text;
}

}  // namespace

ChartLibraries read_chart_libraries(const std::string& js_dir) {
  ChartLibraries libs;
  libs.d3_path = script_path(js_dir, "d3.min.js");
  libs.d3_sankey_path = script_path(js_dir, "d3-sankey.min.js");
  libs.d3 = read_optional_text(libs.d3_path);
  libs.d3_sankey = read_optional_text(libs.d3_sankey_path);
  return libs;
}

namespace {

void append_letter(std::string& letters, const json::Value& g) {
  if (g.is_array() || g.is_object()) {
    throw TypeError(std::string("unhashable type: '") + json::type_name(g) + "'");
  }
  letters += g.is_string() ? grup_letter(g.as_string()) : std::string_view("?");
}

}  // namespace

GroupResolver remember_groups(GroupResolver ask) {
  auto known = std::make_shared<std::unordered_map<std::string, json::Value>>();
  return [ask = std::move(ask), known](const json::Value& k) {
    if (!k.is_string()) return ask(k);
    std::string code(k.as_string());
    auto it = known->find(code);
    if (it == known->end()) it = known->emplace(code, ask(k)).first;
    return it->second;
  };
}

json::Value slim_diag_index(const json::Value& index, const GroupResolver& resolve, json::Arena& arena) {
  if (!index.is_object()) {
    throw TypeError(std::string("diag_index must be an object, not '") + json::type_name(index) + "'");
  }
  std::vector<json::Member> result;
  for (size_t c = 0; c < index.size(); ++c) {
    const json::Member& cm = index.member(c);
    if (!cm.value.is_object()) {
      throw TypeError(std::string("'") + json::type_name(cm.value) + "' object has no attribute 'items'");
    }
    std::vector<json::Member> periods;
    for (size_t p = 0; p < cm.value.size(); ++p) {
      const json::Member& pm = cm.value.member(p);
      if (!pm.value.is_object()) continue;
      std::string letters;
      const json::Value* yg = pm.value.find("yeni_gruplar");
      if (yg && yg->truthy()) {
        if (yg->is_array()) {
          for (size_t i = 0; i < yg->size(); ++i) append_letter(letters, (*yg)[i]);
        } else if (yg->is_object()) {
          for (size_t i = 0; i < yg->size(); ++i) letters += grup_letter(yg->member(i).key);
        } else if (yg->is_string()) {
          std::string_view s = yg->as_string();
          for (size_t i = 0; i < s.size(); ++i) {
            size_t len = 1;
            while (i + len < s.size() && (static_cast<unsigned char>(s[i + len]) & 0xC0) == 0x80) ++len;
            letters += grup_letter(s.substr(i, len));
            i += len - 1;
          }
        } else {
          throw TypeError(std::string("'") + json::type_name(*yg) + "' object is not iterable");
        }
      } else {
        const json::Value* bulgular = pm.value.find("bulgular");
        if (bulgular && bulgular->is_array()) {
          std::vector<json::Value> seen;
          for (size_t i = 0; i < bulgular->size(); ++i) {
            const json::Value& b = (*bulgular)[i];
            if (!b.is_object()) {
              throw TypeError(std::string("'") + json::type_name(b) + "' object has no attribute 'get'");
            }
            const json::Value* gp = b.find("grup");
            json::Value g = gp ? *gp : json::Value::null();
            if (!g.truthy()) {
              const json::Value* kp = b.find("kriter");
              json::Value k = kp ? *kp : json::Value::string({});
              g = resolve ? resolve(k) : json::Value::null();
            }
            if (!g.truthy()) continue;
            bool dup = false;
            for (const auto& s : seen) {
              if (json::equal(s, g)) { dup = true; break; }
            }
            if (!dup) seen.push_back(g);
          }
          for (const auto& g : seen) append_letter(letters, g);
        }
      }
      if (!letters.empty()) periods.push_back(json::Member{pm.key, arena.string(letters)});
    }
    if (!periods.empty()) result.push_back(json::Member{cm.key, arena.object(periods)});
  }
  return arena.object(result);
}

}  // namespace halvex::pipeline
