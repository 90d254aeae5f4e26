// The document's diag_index: each borrower's findings per period, from the findings table.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "json/value.h"
#include "table/table.h"

namespace halvex::scoreboard {

struct FindingsIndex {
  json::Value index;          // {muta: {donem: {"bulgular": [...], "yeni_gruplar": [...]}}}
  bool admin_only_found = false;  // a finding of a layer the standard page may withhold
};

// Findings of the borrowers `mutas` (text forms, in document order) in the periods of
// `period_of` (text form -> position in the document's periods); findings of other borrowers
// or periods are left out. Finding members keep the table's order of rows; empty values are
// left out. A period's yeni_gruplar are the groups the borrower shows there for the first
// time among its periods. The index refers to the texts of `findings` and `periods`: they
// must outlive it.
FindingsIndex findings_index(const table::Table& findings, const std::vector<std::string>& mutas,
                             const std::unordered_map<std::string, int>& period_of,
                             const std::vector<std::string>& periods, json::Arena& arena);

}  // namespace halvex::scoreboard
