// Auxiliary page data: chart scripts, the diagnostic index prepared for a page, its slim
// form for the standard page, and the trending lists section.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <unordered_set>

#include "json/value.h"

namespace halvex::pipeline {

struct ChartLibraries {
  std::string d3;         // "d3.min.js", or empty
  std::string d3_sankey;  // "d3-sankey.min.js", or empty
  std::string d3_path, d3_sankey_path;  // where they are read from, present or not
};
// Reads the two scripts from js_dir; a missing file leaves its text empty. Throws
// DecodeError for a file that is not UTF-8, OsError for one that cannot be read.
ChartLibraries read_chart_libraries(const std::string& js_dir);

struct PageDataInputs {
  std::optional<json::Value> flow_matrix;
  std::optional<json::Value> band_snapshot;
  std::optional<json::Value> diag_index;
};

struct PageData {
  std::string flow_matrix_js = "[]";
  std::string band_snapshot_js = "{}";
  std::string diag_index_js = "{}";
  std::string diag_groups_js = "{}";
  std::string kriter_aciklama_js = "{}";
  std::string page_mode;
  std::string backtest_summary_js = "{}";
  std::string backtest_firma_js = "{}";
  std::string ml_predictions_js = "[]";
};

// Group of a criterion code when a finding names none; nullopt when unknown. Errors are the
// resolver's own business: the slimming never fails because of it.
using GroupResolver = std::function<json::Value(const json::Value& kriter)>;

// `ask`, asked once per text code (a code of another kind is asked each time).
GroupResolver remember_groups(GroupResolver ask);

// Customer -> period -> group letters ("gy"). Throws TypeError for a customer value that is
// not an object, or a finding that is not an object where groups are derived.
json::Value slim_diag_index(const json::Value& index, const GroupResolver& resolve, json::Arena& arena);

// The trending lists section (empty text when no list has items). Throws TypeError for a
// list that is not an array of objects or a son_risk that is not a number.
std::string build_trending_html(const json::Value& trending);

}  // namespace halvex::pipeline
