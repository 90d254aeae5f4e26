#include "scoreboard/findings_index.h"

#include <algorithm>
#include <utility>

#include "scoreboard/table_values.h"
#include "table/text_form.h"

namespace halvex::scoreboard {

using table::Column;

namespace {

// The layers the standard page withholds when its diagnostic settings say so.
bool admin_only_layer(std::string_view katman) { return katman == "SQL" || katman == "SQL_DELTA"; }

}  // namespace

FindingsIndex findings_index(const table::Table& findings, const std::vector<std::string>& mutas,
                             const std::unordered_map<std::string, int>& period_of,
                             const std::vector<std::string>& periods, json::Arena& arena) {
  FindingsIndex out;
  const Column& ent = findings.at("entity_id");
  const Column& donem = findings.at("donem");
  static const char* const kMembers[] = {"katman", "kriter", "grup", "deger", "aciklama"};
  std::vector<std::pair<const char*, const Column*>> members;
  for (const char* m : kMembers)
    if (findings.has(m)) members.emplace_back(m, &findings.at(m));
  const Column* grup = findings.has("grup") ? &findings.at("grup") : nullptr;
  const Column& katman = findings.at("katman");

  // (period, row) per borrower, in the table's row order.
  std::unordered_map<std::string, std::vector<std::pair<int, std::size_t>>> by_muta;
  for (const auto& m : mutas) by_muta.emplace(m, std::vector<std::pair<int, std::size_t>>{});
  std::string key, when;
  for (std::size_t i = 0; i < findings.num_rows(); ++i) {
    key.clear();
    when.clear();
    if (!table::append_text_form(ent, i, key) || !table::append_text_form(donem, i, when)) continue;
    auto it = by_muta.find(key);
    if (it == by_muta.end()) continue;
    auto p = period_of.find(when);
    if (p == period_of.end()) continue;
    it->second.emplace_back(p->second, i);
  }

  std::vector<json::Member> customers;
  for (const auto& m : mutas) {
    auto& rows = by_muta[m];
    if (rows.empty()) continue;
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<json::Member> per_period;
    std::vector<std::string_view> seen_groups;
    for (std::size_t k = 0; k < rows.size();) {
      const int p = rows[k].first;
      std::vector<json::Value> bulgular;
      std::vector<json::Value> new_groups;
      for (; k < rows.size() && rows[k].first == p; ++k) {
        const std::size_t r = rows[k].second;
        std::vector<json::Member> f;
        for (const auto& [name, col] : members)
          if (col->present(r)) f.push_back({name, cell_value(*col, r)});
        bulgular.push_back(arena.object(f));
        if (katman.present(r) && katman.type() == table::DType::Text && admin_only_layer(katman.str(r)))
          out.admin_only_found = true;
        if (grup && grup->present(r) && grup->type() == table::DType::Text && !grup->str(r).empty()) {
          const std::string_view g = grup->str(r);
          if (std::find(seen_groups.begin(), seen_groups.end(), g) == seen_groups.end()) {
            seen_groups.push_back(g);
            new_groups.push_back(json::Value::string(g));
          }
        }
      }
      json::Value period = arena.object({{"bulgular", arena.array(bulgular)}, {"yeni_gruplar", arena.array(new_groups)}});
      per_period.push_back({periods[p], period});
    }
    customers.push_back({arena.copy_string(m), arena.object(per_period)});
  }
  out.index = arena.object(customers);
  return out;
}

}  // namespace halvex::scoreboard
