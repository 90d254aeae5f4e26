// The scoreboard document the dashboard renderer reads, built from the periodic facts:
// periods, one row per borrower of the latest period with its scores, risks and marks,
// the band flow and snapshot, and the findings index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "table/table.h"

namespace halvex::scoreboard {

// The model's view of each borrower, from outside the facts. Borrowers are matched by the
// text form of their entity_id; all vectors have the length of `keys`.
struct ModelMarks {
  std::vector<std::string> keys;
  std::vector<double> prob;             // calibrated probability; NaN: none
  std::vector<std::uint8_t> alerted;    // above the alert threshold
  std::vector<std::uint8_t> caught;     // back-test: alerted and YI within the horizon
  std::vector<std::uint8_t> missed;     // back-test: YI within the horizon, not alerted
  // ValueError unless every vector has the length of `keys`.
  void check() const;
};

struct ScoreboardOptions {
  std::size_t risk_periods = 3;  // the last N periods carry risk amounts
  std::string title = "QVR Erken Uyarı Skorkartı";
  std::string generated_at;
  // The fact column of the second risk series ("rd"); none when empty.
  std::string rd_column;
  std::optional<double> alert_threshold;
  std::string model_id;
  std::string model_trained_at;
  // Whether the standard page withholds the findings of the SQL layers.
  bool sql_admin_only = false;
  const ModelMarks* model = nullptr;
  // Sections passed through as they are: (name, JSON text).
  std::vector<std::pair<std::string, std::string>> sections;
  // Members added to meta as they are, after its own: (name, JSON text).
  std::vector<std::pair<std::string, std::string>> meta_extra;
  // Fact rows per piece of the rows' text: a piece is written while the next are built.
  std::size_t piece_fact_rows = std::size_t(1) << 16;
};

// Where the document's inputs live in the database.
inline constexpr const char* kFindingsTable = "fact_findings";

// Column names of the tables the document reads, as the database holds them (empty: no such
// table).
struct SourceColumns {
  std::vector<std::string> fact_periodic;
  std::vector<std::string> dim_entity;
  std::vector<std::string> findings;
};

struct SourceQueries {
  std::string facts;
  std::string findings;  // empty: the database holds no findings table
};

// The queries that load what the document needs. Fails with ValueError when the facts or a
// column they need are missing, or `rd_column` is no column of fact_periodic.
SourceQueries source_queries(const SourceColumns& columns, const std::string& rd_column);

struct Document {
  std::string text;       // equal to json.dumps(document, ensure_ascii=False)
  std::size_t rows = 0;   // borrowers of the latest period
  std::size_t periods = 0;
  std::string latest;     // the latest period
};

struct DocumentSummary {
  std::size_t rows = 0;
  std::size_t periods = 0;
  std::string latest;
};

// Takes the document's text piece by piece, in order, on one thread at a time (not always
// the caller's).
using TextSink = std::function<void(std::string_view)>;

// The document, handed to `sink` as it is built: a hundred megabytes of it never sit in
// memory at once. `facts` is the result of the facts query (any row order), `findings` that
// of the findings query or null. Fails with ValueError when there are no facts (before the
// sink is called), and with whatever the sink throws.
DocumentSummary write_document(table::Table facts, const table::Table* findings, const ScoreboardOptions& options,
                               const TextSink& sink);
// The same text in one string.
Document build_document(table::Table facts, const table::Table* findings, const ScoreboardOptions& options);

}  // namespace halvex::scoreboard
