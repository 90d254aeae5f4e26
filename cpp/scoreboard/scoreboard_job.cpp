#include "scoreboard/scoreboard_job.h"

#include <memory>
#include <optional>

#include "common/atomic_file.h"
#include "common/cancel.h"
#include "common/errors.h"
#include "common/path_text.h"
#include "table/timing.h"

namespace halvex::scoreboard {

ScoreboardResult run_scoreboard_job(const std::string& db_path, const std::string& out_path,
                                    const ScoreboardOptions& options, const ScoreboardSources& sources) {
  if (options.model) options.model->check();
  check_path_text(db_path);
  check_path_text(out_path);
  table::StageTimer timer;
  const SourceQueries q = source_queries(sources.columns(db_path), options.rd_column);
  timer.mark("columns");
  table::Table facts;
  {
    table::OwnedArrowStream s = sources.fetch(db_path, q.facts);
    timer.mark("query and fetch");
    facts = table::import_arrow_stream(s.get());
  }
  timer.mark("import facts");
  std::unique_ptr<table::Table> findings;
  if (!q.findings.empty()) {
    table::OwnedArrowStream s = sources.fetch(db_path, q.findings);
    findings = std::make_unique<table::Table>(table::import_arrow_stream(s.get()));
    timer.mark("findings");
  }
  cancel_point_now();
  ScoreboardResult out;
  if (out_path.empty()) {
    out.document = build_document(std::move(facts), findings.get(), options);
    timer.mark("document");
    out.bytes = out.document.text.size();
    return out;
  }
  // The file is made once the head of the document is ready, so a build that fails before
  // makes no folder either.
  std::optional<AtomicFile> file;
  DocumentSummary doc = write_document(std::move(facts), findings.get(), options, [&](std::string_view piece) {
    if (!file) file.emplace(out_path);
    file->write(piece);
  });
  out.bytes = file->commit();
  timer.mark("document and write");
  out.document = Document{std::string(), doc.rows, doc.periods, std::move(doc.latest)};
  return out;
}

}  // namespace halvex::scoreboard
