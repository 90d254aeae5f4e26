// Feature builder for the close-monitoring ("YI") prediction model: turns the
// periodic fact table into one feature row per entity and period.
//
// The stages work on one fact table `fp`, adding columns to it; the row
// order fixed by normalise_and_sort holds until the diagnostic merge.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ml/feature_summary.h"
#include "table/groups.h"
#include "table/table.h"

namespace halvex::ml {

// The one query that loads the facts (exact text, blanks included).
extern const char* const kFactQuery;
// kFactQuery restricted by `filter`, an SQL condition on its rows (the facts
// are `fp`), for a build of some entities only; kFactQuery itself when empty.
std::string fact_query(const std::string& filter);
// Loaded columns that no feature reads; they are not converted.
extern const std::vector<std::string> kUnusedFactColumns;

// Module constants: diagnostic names, model feature names, display labels.
using FeatureLabels = std::vector<std::pair<std::string, std::string>>;  // (name, label)
const std::vector<std::string>& diag_feature_cols();
const std::vector<std::string>& feature_cols();
const FeatureLabels& feature_labels();
// Default of a diagnostic feature: -1 for the most severe layer code, else 0.
std::int64_t diag_default(const std::string& name);

// Stage 1: numeric score `qvr_num` ("YI" = 1000) and `score_marks` (bits
// kMarkYi, kMarkScored) in place of the loaded `qvr_skor`, then a stable sort
// by entity_id and donem.
inline constexpr std::uint8_t kMarkYi = 1;
inline constexpr std::uint8_t kMarkScored = 2;
void normalise_and_sort(table::Table& fp);

// Stage 2: lags, changes, 3-row window statistics, rise streak, threshold
// counts, score band and risk movement. Consumes `kombine_risk`.
void add_history_features(table::Table& fp, const table::RunGroups& g);

// Stage 3: close-monitoring flag history, segment indicators, numeric region
// code and the label over the next `horizon` rows. Consumes `ykn_izl_flag`,
// `segment`, `bolge_kodu` and `score_marks`.
//
// The stages drop loaded columns as soon as they are read: large blocks that
// die are reused for the next columns (see table::WarmBlocks), which spares
// first writes to fresh memory.
void add_flag_features(table::Table& fp, const table::RunGroups& g, std::int64_t horizon);

// Stage 4: the diagnostic features, from `diag` (null when there is no file).
// Says in `summary` whether there was a file and how many rows it had.
void merge_diagnostics(table::Table& fp, const table::Table* diag, FeatureSummary& summary);

// Stage 5: the 42 output columns in order, renamed; counts rows, entities, periods and labels
// into `summary`.
table::Table assemble_output(table::Table& fp, FeatureSummary& summary);

struct FeatureMatrix {
  table::Table table;                    // empty (no columns) when there were no facts
  std::optional<FeatureSummary> summary;  // none when there were no facts
};

// All stages. `facts` holds the query result; `diag` the diagnostic file or null.
FeatureMatrix build_feature_matrix(table::Table facts, const table::Table* diag, std::int64_t horizon);
// The same with the diagnostic file asked for only when the merge needs it (it
// may still be being read meanwhile). Its error comes first, as if it had been
// read before any stage: a stage that fails asks for it before failing.
FeatureMatrix build_feature_matrix(table::Table facts, const std::function<const table::Table*()>& diag,
                                   std::int64_t horizon);

}  // namespace halvex::ml
