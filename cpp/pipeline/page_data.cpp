#include "pipeline/page_data.h"

#include <sys/stat.h>

#include <vector>

#include "common/errors.h"
#include "json/reader.h"
#include "json/utf8.h"
#include "pipeline/constants.h"
#include "pipeline/text_form.h"

namespace halvex::pipeline {

namespace {

std::string read_optional_text(const std::string& dir, const char* name) {
  std::string path = dir.empty() ? name : (dir.back() == '/' ? dir + name : dir + "/" + name);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return {};
  std::string text = json::read_file(path);
  json::Utf8Error err;
  if (!json::validate_utf8(text, &err)) {
    throw json::DecodeError(text.substr(err.start, err.end - err.start), err.start, err.end, err.reason);
  }
  return text;
}

bool is_admin_layer(const json::Value& finding) {
  if (!finding.is_object()) {
    throw TypeError(std::string("finding must be an object, not '") + json::type_name(finding) + "'");
  }
  const json::Value* k = finding.find("katman");
  return k && k->is_string() && (k->as_string() == "SQL" || k->as_string() == "SQL_DELTA");
}

// The findings of a period as an array; an empty non-array iterates as nothing.
const json::Value* findings_array(const json::Value& v) {
  if (v.is_array()) return &v;
  if ((v.is_object() || v.is_string()) && v.size() == 0) return nullptr;
  throw TypeError(std::string("findings must be an array, not '") + json::type_name(v) + "'");
}

// Applies f to every findings array of the index: period objects holding "bulgular", and
// periods that are arrays themselves. f returns the replacement array, or the same value when
// nothing changed; unchanged parts of the tree are shared, not copied.
template <class F>
json::Value map_findings(const json::Value& index, json::Arena& arena, F f) {
  if (!index.is_object()) return index;
  auto same = [](const json::Value& a, const json::Value& b) {
    return a.kind() == b.kind() && a.size() == b.size() && a.begin_items() == b.begin_items();
  };
  std::vector<json::Member> customers;
  bool index_changed = false;
  for (size_t c = 0; c < index.size(); ++c) {
    const json::Member& cm = index.member(c);
    json::Value customer = cm.value;
    if (customer.is_object()) {
      std::vector<json::Member> periods;
      bool changed = false;
      for (size_t p = 0; p < customer.size(); ++p) {
        json::Member pm = customer.member(p);
        if (pm.value.is_object()) {
          for (size_t k = 0; k < pm.value.size(); ++k) {
            if (pm.value.member(k).key != "bulgular") continue;
            json::Value replaced = f(pm.value.member(k).value);
            if (!same(replaced, pm.value.member(k).value)) {
              std::vector<json::Member> fields(pm.value.begin_members(), pm.value.end_members());
              fields[k].value = replaced;
              pm.value = arena.object(fields);
              changed = true;
            }
            break;
          }
        } else if (pm.value.is_array()) {
          json::Value replaced = f(pm.value);
          if (!same(replaced, pm.value)) {
            pm.value = replaced;
            changed = true;
          }
        }
        periods.push_back(pm);
      }
      if (changed) {
        customer = arena.object(periods);
        index_changed = true;
      }
    }
    customers.push_back(json::Member{cm.key, customer});
  }
  return index_changed ? arena.object(customers) : index;
}

}  // namespace

ChartLibraries read_chart_libraries(const std::string& js_dir) {
  ChartLibraries libs;
  libs.d3 = read_optional_text(js_dir, "d3.min.js");
  libs.d3_sankey = read_optional_text(js_dir, "d3-sankey.min.js");
  return libs;
}

json::Value restrict_diag_index(const json::Value& index, const std::unordered_set<std::string>& mutas,
                                json::Arena& arena) {
  if (!index.is_object()) return index;
  std::vector<json::Member> kept;
  for (const auto& m : std::vector<json::Member>(index.begin_members(), index.end_members())) {
    if (mutas.count(std::string(m.key))) kept.push_back(m);
  }
  return arena.object(kept);
}

json::Value withhold_admin_layers(const json::Value& index, json::Arena& arena) {
  return map_findings(index, arena, [&](const json::Value& findings) -> json::Value {
    const json::Value* arr = findings_array(findings);
    std::vector<json::Value> kept;
    if (arr) {
      for (size_t i = 0; i < arr->size(); ++i) {
        if (!is_admin_layer((*arr)[i])) kept.push_back((*arr)[i]);
      }
      if (kept.size() == arr->size()) return findings;
    }
    return arena.array(kept);
  });
}

json::Value strip_descriptions(const json::Value& index, json::Arena& arena) {
  return map_findings(index, arena, [&](const json::Value& findings) -> json::Value {
    const json::Value* arr = findings_array(findings);
    if (!arr) return findings;
    std::vector<json::Value> out;
    out.reserve(arr->size());
    bool changed = false;
    for (size_t i = 0; i < arr->size(); ++i) {
      const json::Value& f = (*arr)[i];
      if (!f.is_object()) {
        throw TypeError(std::string("finding must be an object, not '") + json::type_name(f) + "'");
      }
      if (!f.find("aciklama")) {
        out.push_back(f);
        continue;
      }
      changed = true;
      std::vector<json::Member> ms;
      for (const auto& m : std::vector<json::Member>(f.begin_members(), f.end_members())) {
        if (m.key != "aciklama") ms.push_back(m);
      }
      out.push_back(arena.object(ms));
    }
    return changed ? arena.array(out) : findings;
  });
}

namespace {

void append_letter(std::string& letters, const json::Value& g) {
  if (g.is_array() || g.is_object()) {
    throw TypeError(std::string("unhashable type: '") + json::type_name(g) + "'");
  }
  letters += g.is_string() ? grup_letter(g.as_string()) : std::string_view("?");
}

}  // namespace

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
