// The region ("bolge") and branch ("sube") catalogue of one render: the codes that occur in
// the rows, in first-appearance order, with names from the reference file or generated ones.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "json/value.h"
#include "pipeline/code_key.h"
#include "pipeline/row_source.h"

namespace halvex::pipeline {

struct RegionRecord {
  json::Value kodu;   // the code as it occurs in the rows
  std::string adi;
};

struct BranchRecord {
  json::Value kodu;
  std::optional<std::string> adi;  // null when the reference line stopped short of the name
  int64_t bolge_idx;               // position in the region list, or -1
};

struct Catalogue {
  std::vector<RegionRecord> regions;
  std::vector<BranchRecord> branches;
  // Code -> position. A caller's maps may hold any 64-bit index, kept as given.
  using IndexMap = std::unordered_map<CodeKey, int64_t, CodeKeyHash>;
  IndexMap region_index;
  IndexMap branch_index;
  json::Arena arena;  // holds the text of the codes

  // Position of a code in the list, -1 when null, absent or not catalogued.
  int64_t region_of(const json::Value* code) const { return lookup(region_index, code); }
  int64_t branch_of(const json::Value* code) const { return lookup(branch_index, code); }

  // The two lists as JSON values (objects with the keys kodu, adi[, bolge_idx]).
  json::Value region_list(json::Arena& arena) const;
  json::Value branch_list(json::Arena& arena) const;

 private:
  static int64_t lookup(const IndexMap& m, const json::Value* code);
};

// Reference names from the CSV at ref_csv_path (no file, or an empty path: none).
struct ReferenceNames {
  // code text -> name; a missing name (short line) is nullopt.
  std::unordered_map<std::string, std::optional<std::string>> regions;
  std::unordered_map<std::string, std::optional<std::string>> branches;
};
ReferenceNames read_reference_names(const std::optional<std::string>& ref_csv_path);

// Name of a region: its reference name when that is a non-empty text, else "Bölge <code>".
std::string region_name(const ReferenceNames& names, const std::string& code_text);
// Name of a branch: its reference entry whatever it holds (even empty or null), else
// "Şube <code>" when the file does not list the code.
std::optional<std::string> branch_name(const ReferenceNames& names, const std::string& code_text);

// Builds the catalogue from the rows in the given order (two passes: regions, then branches).
void build_catalogue(RowSource& rows, const std::vector<uint32_t>& order,
                     const ReferenceNames& names, Catalogue& out);

}  // namespace halvex::pipeline
