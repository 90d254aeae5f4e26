#include "ml/feature_job.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <thread>

#include "common/cancel.h"
#include "common/errors.h"
#include "common/parallel.h"
#include "common/path_text.h"
#include "ml/features.h"
#include "table/buffer.h"
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

namespace {

// The diagnostic file beside the database, read and imported; null when there
// is none. Only the keys and the diagnostic features reach the output; other
// columns are left unconverted.
std::unique_ptr<Table> read_diagnostic_file(const std::string& path, const FeatureSources& sources) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return nullptr;  // what os.path.exists sees, symbolic links followed
  OwnedArrowStream s = sources.read_diagnostics(path, S_ISDIR(st.st_mode));
  const auto& wanted = diag_feature_cols();
  return std::make_unique<Table>(import_arrow_stream(s.get(), [&](const std::string& name) {
    return name == "entity_id" || name == "donem" || std::find(wanted.begin(), wanted.end(), name) != wanted.end();
  }));
}

// The diagnostic read, on a thread of its own once the facts are known to
// have rows: it is independent of the fact query, and the engine runs without
// the interpreter lock, so the two reads overlap. Its result, or its error, is
// taken when the merge needs it; a build that fails earlier drops them.
class DiagnosticRead {
 public:
  DiagnosticRead(std::string path, const FeatureSources& sources) : path_(std::move(path)), sources_(sources) {}
  ~DiagnosticRead() {
    if (thread_.joinable()) thread_.join();
  }
  void start() {
    if (started_ || halvex::worker_threads() < 2) return;
    started_ = true;
    thread_ = std::thread([this] {
      try {
        table_ = read_diagnostic_file(path_, sources_);
      } catch (...) {
        error_ = std::current_exception();
      }
    });
  }
  // The table (null when there is no file); reads it here if no thread did.
  const Table* get() {
    if (!started_) {
      started_ = true;
      try {
        table_ = read_diagnostic_file(path_, sources_);
      } catch (...) {
        error_ = std::current_exception();
      }
    }
    if (thread_.joinable()) thread_.join();
    if (error_) std::rethrow_exception(error_);
    return table_.get();
  }

 private:
  std::string path_;
  const FeatureSources& sources_;
  bool started_ = false;
  std::thread thread_;
  std::unique_ptr<Table> table_;
  std::exception_ptr error_;
};

}  // namespace

FeatureJobResult run_feature_job(const std::string& db_path, std::int64_t horizon, const FeatureSources& sources) {
  check_path_text(db_path);
  StageTimer timer;
  DiagnosticRead diag(diagnostic_file_path(db_path), sources);
  // Large blocks that die while the build runs are reused for later columns.
  // (Writing the columns' memory ahead during the query was tried: with the
  // diagnostic read on the other core there is no idle CPU left for it, and
  // builds were about 6 % slower.)
  WarmBlocks warm;
  OwnedArrowStream facts_stream = sources.fetch_facts(db_path, [&](std::size_t rows) {
    if (rows > 0) diag.start();  // 0: none, or not known: the facts decide whether to read it
  });
  timer.mark("query and fetch");
  cancel_point();

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
  cancel_point();
  diag.start();

  FeatureMatrix m = build_feature_matrix(std::move(facts), [&] {
    StageTimer wait;  // what is left of the read once the merge needs it
    const Table* t = diag.get();
    wait.mark("diagnostic file");
    return t;
  }, horizon);
  timer.mark("features");
  cancel_point();
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
  out.summary = m.summary;
  return out;
}

}  // namespace halvex::ml
