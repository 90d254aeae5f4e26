// One build of the scoreboard document, from the database at a path to its JSON text or
// file. The core does everything but reach the database engine: a binding passes that in.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "scoreboard/scoreboard.h"
#include "table/arrow_bridge.h"

namespace halvex::scoreboard {

struct ScoreboardSources {
  // The column names of fact_periodic, dim_entity and the findings table of the database.
  std::function<SourceColumns(const std::string& db_path)> columns;
  // The whole result of `query` on the database, opened read-only.
  std::function<table::OwnedArrowStream(const std::string& db_path, const std::string& query)> fetch;
};

struct ScoreboardResult {
  Document document;        // its text is empty when it was written to a file
  std::uint64_t bytes = 0;  // the text's size in bytes
};

// Builds the document of the database at `db_path`; writes it atomically to `out_path`
// when that is not empty (missing parent folders made), else returns its text. The sources
// are called on the calling thread; their failures propagate unchanged.
ScoreboardResult run_scoreboard_job(const std::string& db_path, const std::string& out_path,
                                    const ScoreboardOptions& options, const ScoreboardSources& sources);

}  // namespace halvex::scoreboard
