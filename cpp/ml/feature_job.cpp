#include "ml/feature_job.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "common/errors.h"
#include "ml/features.h"
#include "table/buffer.h"
#include "table/parallel.h"
#include "table/timing.h"

namespace halvex::ml {

using namespace halvex::table;

std::string diagnostic_file_path(const std::string& db_path) {
  // The folder keeps a trailing slash only when it is nothing but slashes.
  const std::size_t slash = db_path.rfind('/');
  std::string folder = slash == std::string::npos ? std::string() : db_path.substr(0, slash + 1);
  if (folder.find_first_not_of('/') != std::string::npos)
    while (folder.back() == '/') folder.pop_back();
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder + "cache/diag_features.parquet";
}

FeatureJobResult run_feature_job(const std::string& db_path, std::int64_t horizon, const FeatureSources& sources) {
  if (db_path.find('\0') != std::string::npos) throw ValueError("embedded null byte");
  StageTimer timer;
  // While the engine runs the query, the memory of the feature columns is
  // written ahead with CPU time left idle: the facts have at least as many
  // rows as the fact table.
  WarmBlocks warm;
  OwnedArrowStream facts_stream = sources.fetch_facts(db_path, [&](std::size_t rows) {
    if (rows >= kMinRowsPerThread && worker_count(rows) > 1) warm.prefault(rows * sizeof(double), kFullColumnsAllocated);
  });
  timer.mark("query and fetch");
  warm.stop();  // the rest is written as the columns are
  timer.mark("warm-up stop");

  FeatureJobResult out;
  Table facts;
  {
    ArrowBatches batches = read_arrow_stream(facts_stream.get());
    facts_stream.reset();
    if (batches.rows() == 0) return out;
    const auto& unused = kUnusedFactColumns;
    facts = import_arrow_batches(batches, [&](const std::string& name) {
      for (const auto& u : unused)
        if (name == u) return false;
      return true;
    });
  }  // the Arrow copy of the facts goes here
  timer.mark("import facts");

  std::unique_ptr<Table> diag;
  const std::string diag_path = diagnostic_file_path(db_path);
  struct stat st;
  if (::stat(diag_path.c_str(), &st) == 0) {  // what os.path.exists sees, symbolic links followed
    OwnedArrowStream s = sources.read_diagnostics(diag_path, S_ISDIR(st.st_mode));
    // Only the keys and the diagnostic features reach the output; other
    // columns are left unconverted.
    const auto& wanted = diag_feature_cols();
    diag = std::make_unique<Table>(import_arrow_stream(s.get(), [&](const std::string& name) {
      return name == "entity_id" || name == "donem" || std::find(wanted.begin(), wanted.end(), name) != wanted.end();
    }));
  }
  timer.mark("diagnostic file");

  FeatureMatrix m = build_feature_matrix(std::move(facts), diag.get(), horizon);
  diag.reset();
  timer.mark("features");
  const std::size_t n_cols = m.table.num_columns();
  out.columns.reserve(n_cols);
  for (std::size_t k = 0; k < n_cols; ++k) {
    const std::string& name = m.table.names()[k];
    const bool as_loaded = name == "entity_id" || name == "donem";
    out.columns.push_back(export_column(name, std::move(m.table.at(k)), as_loaded));
  }
  timer.mark("export");
  if (std::getenv("HALVEX_TIMING"))
    std::fprintf(stderr, "  [time] warm blocks: %zu reused, %zu fresh\n", WarmBlocks::hits(), WarmBlocks::misses());
  out.lines = std::move(m.lines);
  return out;
}

}  // namespace halvex::ml
