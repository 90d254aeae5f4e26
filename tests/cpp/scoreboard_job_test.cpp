// The document written to its file while it is built: the same bytes as the text in memory
// whatever the pieces, and a write that fails half-way leaves neither the new file nor a
// temporary one, and the old file as it was.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "arrow_test_stream.h"
#include "common/errors.h"
#include "scoreboard/scoreboard_job.h"

namespace sb = halvex::scoreboard;
namespace fs = std::filesystem;
using halvex::table::OwnedArrowStream;
using halvex::testing::TextTableStream;

namespace {

// Two periods of `n` borrowers: a document of about 130 bytes a borrower.
std::string facts_of(int n) {
  std::string t = "entity_id:u donem:u qvr_skor:l kombine_risk:g\n";
  char line[96];
  for (int i = 0; i < n; ++i)
    for (int p = 1; p <= 2; ++p) {
      std::snprintf(line, sizeof line, "E%06d 2024-0%d %d %d.25\n", i, p, 300 + (i * 37 + p * 101) % 700, i % 5000);
      t += line;
    }
  return t;
}

sb::ScoreboardSources sources_of(const std::string& facts) {
  sb::ScoreboardSources s;
  s.columns = [](const std::string&) {
    sb::SourceColumns c;
    c.fact_periodic = {"entity_id", "donem", "qvr_skor", "kombine_risk"};
    return c;
  };
  s.fetch = [facts](const std::string&, const std::string&) {
    ArrowArrayStream stream = TextTableStream::make(facts, 4096);
    return OwnedArrowStream(&stream);
  };
  return s;
}

struct Folder {
  fs::path path;
  Folder() {
    char tmpl[] = "/tmp/scoreboard_job_XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~Folder() { fs::remove_all(path); }
  std::size_t entries() const { return static_cast<std::size_t>(std::distance(fs::directory_iterator(path), {})); }
};

std::string read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

sb::ScoreboardOptions options(std::size_t piece_fact_rows) {
  sb::ScoreboardOptions opt;
  opt.generated_at = "2026-12-10T00:00:00";
  opt.piece_fact_rows = piece_fact_rows;
  return opt;
}

const std::string kFacts = facts_of(12000);

TEST(ScoreboardJob, FileHoldsTheTextWhateverThePieces) {
  const sb::ScoreboardSources src = sources_of(kFacts);
  const sb::ScoreboardResult in_memory = sb::run_scoreboard_job("db", "", options(1 << 16), src);
  EXPECT_EQ(in_memory.document.rows, 12000u);
  Folder dir;
  for (std::size_t piece : {std::size_t(1), std::size_t(7), std::size_t(1) << 16}) {
    const fs::path out = dir.path / "sub" / "doc.json";
    const sb::ScoreboardResult r = sb::run_scoreboard_job("db", out.string(), options(piece), src);
    EXPECT_TRUE(read(out) == in_memory.document.text) << piece << " fact rows a piece";
    EXPECT_EQ(r.bytes, in_memory.document.text.size());
  }
}

// Files may grow to `bytes` while it lives; writing beyond is EFBIG instead of a signal.
struct FileSizeLimit {
  rlimit before{};
  struct sigaction old_action {};
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &before);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old_action);
    rlimit lower = before;
    lower.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lower);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &before);
    sigaction(SIGXFSZ, &old_action, nullptr);
  }
};

TEST(ScoreboardJob, AWriteFailingHalfWayLeavesTheOldFileAndNoOther) {
  const sb::ScoreboardSources src = sources_of(kFacts);
  Folder dir;
  const fs::path out = dir.path / "doc.json";
  std::ofstream(out) << "old";
  for (std::size_t piece : {std::size_t(7), std::size_t(1) << 16}) {
    int err = 0;
    {
      FileSizeLimit limit(256 << 10);
      try {
        sb::run_scoreboard_job("db", out.string(), options(piece), src);
      } catch (const halvex::OsError& e) {
        err = e.errnum;
      }
    }
    EXPECT_EQ(err, EFBIG);
    EXPECT_TRUE(read(out) == "old");
    EXPECT_EQ(dir.entries(), 1u);
  }
}

}  // namespace
