// What a feature build reports: its figures, kept as numbers so that partial builds add up,
// and the summary lines printed from them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace halvex::ml {

struct FeatureSummary {
  bool diag_file = false;      // a diagnostic file was there to merge
  std::int64_t diag_rows = 0;  // its rows
  std::int64_t rows = 0, entities = 0, periods = 0;
  std::int64_t labeled = 0, yi = 0, non_yi = 0;  // rows with a label, and of them YI or not
};

// The lines a build prints, in order: the diagnostic merge, the matrix's size, its labels.
inline std::vector<std::string> summary_lines(const FeatureSummary& s) {
  using std::to_string;
  return {s.diag_file ? "  [DIAG] " + to_string(s.diag_rows) + " diag feature satırı merge edildi"
                      : "  [DIAG] diag_features.parquet yok, tüm diag feature'lar 0",
          "  Features: " + to_string(s.rows) + " rows, " + to_string(s.entities) + " entities, " +
              to_string(s.periods) + " periods",
          "  Labeled: " + to_string(s.labeled) + " rows (YI=" + to_string(s.yi) + ", non-YI=" + to_string(s.non_yi) +
              ")"};
}

}  // namespace halvex::ml
