#include "pipeline/standard_page.h"

#include <memory>
#include <unordered_map>

#include "json/number_text.h"
#include "json/writer.h"
#include "pipeline/chunks.h"
#include "pipeline/row_order.h"
#include "pipeline/text_form.h"

namespace halvex::pipeline {

namespace {

constexpr uint32_t kNone = UINT32_MAX;

// Codes in order of first appearance in the document, each with a small id.
struct CodeIds {
  std::unordered_map<CodeKey, uint32_t, CodeKeyHash> ids;
  std::vector<json::Value> codes;  // first occurrence of each code, text in `arena`
  json::Arena arena;

  uint32_t id_of(const json::Value& v) {
    CodeKey key = make_code_key(v);
    auto [it, inserted] = ids.emplace(std::move(key), static_cast<uint32_t>(codes.size()));
    if (inserted) {
      json::Value kept = v;
      if (v.is_string()) kept = arena.string(v.as_string());
      if (v.kind() == json::Kind::BigInt) kept = json::Value::big_integer(arena.copy_string(v.as_string()));
      codes.push_back(kept);
    }
    return it->second;
  }
};

}  // namespace

void build_standard_rows(RowSource& rows, const std::vector<uint32_t>& kept, const RowLayout& layout,
                         const ReferenceNames& names, int64_t chunk_size, StandardRows& out) {
  const size_t n = kept.size();
  const size_t n_chunks = chunk_count(n, chunk_size);

  // Pass 1, document order: sort keys, code ids, and each row's text in two parts around the
  // region and branch positions.
  RiskOrder risk(n);
  CodeIds regions, branches;
  std::vector<uint32_t> region_id(n, kNone), branch_id(n, kNone);
  std::string text;
  text.reserve(n * 128);
  std::vector<uint64_t> start(n + 1, 0);
  std::vector<uint32_t> split(n, 0);
  rows.prepare(layout.keys);
  std::vector<json::Value> values(layout.keys.size());
  std::unique_ptr<bool[]> found(new bool[layout.keys.size()]);
  std::vector<json::Value> arr;
  json::Arena scratch;
  const Catalogue no_catalogue;
  const json::WriteOptions opts{false, true};
  for (size_t r = 0; r < n; ++r) {
    if (r + 4 < n) rows.prefetch(kept[r + 4]);
    rows.fetch(kept[r], values.data(), found.get());
    risk.add(r, values[3], found[3]);
    if (found[4] && !values[4].is_null()) region_id[r] = regions.id_of(values[4]);
    if (found[5] && !values[5].is_null()) branch_id[r] = branches.id_of(values[5]);
    encode_row_standard(layout, values.data(), found.get(), no_catalogue, scratch, arr);
    start[r] = text.size();
    text.push_back('[');
    for (size_t i = 0; i < 4; ++i) {
      json::write(text, arr[i], opts);
      text.push_back(',');
    }
    split[r] = static_cast<uint32_t>(text.size() - start[r]);
    for (size_t i = 6; i < arr.size(); ++i) {
      text.push_back(',');
      json::write(text, arr[i], opts);
    }
    text.push_back(']');
    scratch.reset();
  }
  start[n] = text.size();

  // Order, then the catalogue over the ordered rows: regions first, then branches.
  std::vector<uint32_t> pos = risk.sorted_positions();
  out.order.resize(n);
  for (size_t k = 0; k < n; ++k) out.order[k] = kept[pos[k]];

  Catalogue& cat = out.catalogue;
  std::vector<int> region_index(regions.codes.size(), -1), branch_index(branches.codes.size(), -1);
  for (uint32_t p : pos) {
    uint32_t id = region_id[p];
    if (id == kNone || region_index[id] >= 0) continue;
    const json::Value& code = regions.codes[id];
    std::string code_text = text_form(code);
    auto it = names.regions.find(code_text);
    std::string name = (it != names.regions.end() && it->second && !it->second->empty())
                           ? *it->second
                           : "Bölge " + code_text;
    region_index[id] = static_cast<int>(cat.regions.size());
    cat.region_index.emplace(make_code_key(code), region_index[id]);
    cat.regions.push_back(RegionRecord{code, std::move(name)});
  }
  for (uint32_t p : pos) {
    uint32_t id = branch_id[p];
    if (id == kNone || branch_index[id] >= 0) continue;
    const json::Value& code = branches.codes[id];
    std::string code_text = text_form(code);
    auto it = names.branches.find(code_text);
    std::optional<std::string> name = it != names.branches.end() ? it->second : std::optional<std::string>("Şube " + code_text);
    int bolge_idx = region_id[p] == kNone ? -1 : region_index[region_id[p]];
    branch_index[id] = static_cast<int>(cat.branches.size());
    cat.branch_index.emplace(make_code_key(code), branch_index[id]);
    cat.branches.push_back(BranchRecord{code, std::move(name), bolge_idx});
  }
  // The catalogue's own arena must own the code texts it lists.
  auto own_text = [&](json::Value& v) {
    if (v.is_string()) v = cat.arena.string(v.as_string());
    if (v.kind() == json::Kind::BigInt) v = json::Value::big_integer(cat.arena.copy_string(v.as_string()));
  };
  for (auto& r : cat.regions) own_text(r.kodu);
  for (auto& b : cat.branches) own_text(b.kodu);

  // Pass 2, page order: assemble the chunks.
  out.chunks.assign(n_chunks, std::string());
  if (n == 0) {
    out.chunks[0] = "[]";
    return;
  }
  const auto cs = static_cast<size_t>(chunk_size);
  for (size_t c = 0; c < n_chunks; ++c) {
    size_t from = c * cs, to = std::min(n, from + cs);
    size_t bytes = 2;
    for (size_t k = from; k < to; ++k) bytes += (start[pos[k] + 1] - start[pos[k]]) + 24;
    std::string& chunk = out.chunks[c];
    chunk.reserve(bytes);
    chunk.push_back('[');
    for (size_t k = from; k < to; ++k) {
      uint32_t p = pos[k];
      if (k != from) chunk.push_back(',');
      const char* row = text.data() + start[p];
      chunk.append(row, split[p]);
      json::append_int(chunk, region_id[p] == kNone ? -1 : region_index[region_id[p]]);
      chunk.push_back(',');
      json::append_int(chunk, branch_id[p] == kNone ? -1 : branch_index[branch_id[p]]);
      chunk.append(row + split[p], start[p + 1] - start[p] - split[p]);
    }
    chunk.push_back(']');
  }
}

}  // namespace halvex::pipeline
