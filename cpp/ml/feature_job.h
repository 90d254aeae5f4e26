// One build of the feature matrix, from the sources of its inputs to output
// columns ready for export.
//
// The core does everything but reach the database engine and the Parquet
// reader: a binding passes those in as FeatureSources, and turns the result's
// columns into its own arrays without copying them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ml/feature_summary.h"
#include "table/arrow_bridge.h"
#include "table/column_export.h"

namespace halvex::ml {

struct FeatureSources {
  using RowsKnown = std::function<void(std::size_t rows)>;
  // Runs kFactQuery on the database at `db_path`, opened read-only, and
  // returns its whole result. Calls rows_known with the fact table's row
  // count (0 when it cannot be had cheaply) before the query runs, so the job
  // can prepare memory meanwhile.
  std::function<table::OwnedArrowStream(const std::string& db_path, const RowsKnown& rows_known)> fetch_facts;
  // Reads the diagnostic file at `path`: one Parquet file or, when `is_dir`,
  // the union of the Parquet files in that folder.
  std::function<table::OwnedArrowStream(const std::string& path, bool is_dir)> read_diagnostics;
};

// "cache/diag_features.parquet" in the folder of the database file, joined
// the way Python's os.path joins it (a bare file name gives a relative path).
std::string diagnostic_file_path(const std::string& db_path);

struct FeatureJobResult {
  // The 42 output columns in order; none when the fact table has no rows.
  std::vector<table::ExportedColumn> columns;
  // What the build reports; none when the fact table has no rows.
  std::optional<FeatureSummary> summary;
  // The summary's lines, to print once the result is handed over (none without facts).
  std::vector<std::string> lines() const { return summary ? summary_lines(*summary) : std::vector<std::string>(); }
};

// Fetches the facts, reads the diagnostic file when it exists beside the
// database, runs every stage and exports the output columns. The sources are
// called on the calling thread; nothing else leaves the core, so a binding
// can drop its interpreter lock around the whole call and take it back
// inside its sources. Failures of the sources propagate unchanged.
FeatureJobResult run_feature_job(const std::string& db_path, std::int64_t horizon, const FeatureSources& sources);

}  // namespace halvex::ml
