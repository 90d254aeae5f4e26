#include "pipeline/catalogue.h"

#include <sys/stat.h>

#include "pipeline/reference_csv.h"
#include "pipeline/text_form.h"

namespace halvex::pipeline {

int64_t Catalogue::lookup(const IndexMap& m, const json::Value* code) {
  if (!code || code->is_null()) return -1;
  auto it = m.find(make_code_key(*code));
  return it == m.end() ? -1 : it->second;
}

json::Value Catalogue::region_list(json::Arena& a) const {
  std::vector<json::Value> items;
  items.reserve(regions.size());
  for (const auto& r : regions) {
    std::vector<json::Member> ms = {{"kodu", r.kodu}, {"adi", a.string(r.adi)}};
    items.push_back(a.object(ms));
  }
  return a.array(items);
}

json::Value Catalogue::branch_list(json::Arena& a) const {
  std::vector<json::Value> items;
  items.reserve(branches.size());
  for (const auto& b : branches) {
    std::vector<json::Member> ms = {
        {"kodu", b.kodu},
        {"adi", b.adi ? a.string(*b.adi) : json::Value::null()},
        {"bolge_idx", json::Value::integer(b.bolge_idx)}};
    items.push_back(a.object(ms));
  }
  return a.array(items);
}

ReferenceNames read_reference_names(const std::optional<std::string>& ref_csv_path) {
  ReferenceNames names;
  if (!ref_csv_path || ref_csv_path->empty()) return names;
  struct stat st;
  if (::stat(ref_csv_path->c_str(), &st) != 0) return names;  // no file: generated names
  CsvTable csv = read_csv_file(*ref_csv_path);
  int c_bk = csv.column("bolge_kodu"), c_ba = csv.column("bolge_adi");
  int c_sk = csv.column("sube_kodu"), c_sa = csv.column("sube_adi");
  // A column the header lacks reads as "" on every line; a short line gives nullopt.
  auto field = [](const std::vector<std::optional<std::string>>& row, int c) -> std::optional<std::string> {
    if (c < 0) return std::string();
    return row[static_cast<size_t>(c)];
  };
  for (const auto& row : csv.rows) {
    auto bk = field(row, c_bk);
    if (bk && !bk->empty() && !names.regions.count(*bk)) names.regions.emplace(*bk, field(row, c_ba));
    auto sk = field(row, c_sk);
    if (sk && !sk->empty() && !names.branches.count(*sk)) names.branches.emplace(*sk, field(row, c_sa));
  }
  return names;
}

std::string region_name(const ReferenceNames& names, const std::string& code_text) {
  auto it = names.regions.find(code_text);
  if (it != names.regions.end() && it->second && !it->second->empty()) return *it->second;
  return "Bölge " + code_text;
}

std::optional<std::string> branch_name(const ReferenceNames& names, const std::string& code_text) {
  auto it = names.branches.find(code_text);
  if (it != names.branches.end()) return it->second;
  return "Şube " + code_text;
}

namespace {

json::Value keep_code(const json::Value& v, json::Arena& arena) {
  if (v.is_string()) return arena.string(v.as_string());
  if (v.kind() == json::Kind::BigInt) return json::Value::big_integer(arena.copy_string(v.as_string()));
  return v;
}

}  // namespace

void build_catalogue(RowSource& rows, const std::vector<uint32_t>& order,
                     const ReferenceNames& names, Catalogue& out) {
  rows.prepare({"bolge_kodu", "sube_kodu"});
  json::Value vals[2];
  bool found[2];
  // Regions first, over all rows.
  for (uint32_t i : order) {
    rows.fetch(i, vals, found);
    if (!found[0] || vals[0].is_null()) continue;
    CodeKey key = make_code_key(vals[0]);
    if (out.region_index.count(key)) continue;
    std::string name = region_name(names, text_form(vals[0]));
    out.region_index.emplace(std::move(key), static_cast<int64_t>(out.regions.size()));
    out.regions.push_back(RegionRecord{keep_code(vals[0], out.arena), std::move(name)});
  }
  // Then branches, each keeping the region of the first row it occurs in.
  for (uint32_t i : order) {
    rows.fetch(i, vals, found);
    if (!found[1] || vals[1].is_null()) continue;
    CodeKey key = make_code_key(vals[1]);
    if (out.branch_index.count(key)) continue;
    std::optional<std::string> name = branch_name(names, text_form(vals[1]));
    int64_t bolge_idx = found[0] ? out.region_of(&vals[0]) : -1;
    out.branch_index.emplace(std::move(key), static_cast<int64_t>(out.branches.size()));
    out.branches.push_back(BranchRecord{keep_code(vals[1], out.arena), std::move(name), bolge_idx});
  }
}

}  // namespace halvex::pipeline
