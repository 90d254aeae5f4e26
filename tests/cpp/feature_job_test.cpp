// The feature job end to end on hand-built Arrow streams: a small fact table
// in, the expected feature rows out.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "arrow_test_stream.h"
#include "common/errors.h"
#include "ml/feature_job.h"

using halvex::ml::FeatureJobResult;
using halvex::ml::FeatureSources;
using halvex::table::ExportedColumn;
using halvex::table::OwnedArrowStream;
using halvex::testing::TextTableStream;

namespace {

// Sources that hand out text tables and remember how they were called.
struct FakeSources {
  std::string facts;
  std::string diag;
  std::vector<std::string> calls;

  FeatureSources sources() {
    FeatureSources s;
    s.fetch_facts = [this](const std::string& path, const FeatureSources::RowsKnown& rows_known) {
      calls.push_back("facts " + path);
      rows_known(halvex::testing::split_lines(facts).size() - 1);  // the fact table's rows, as counted
      ArrowArrayStream stream = TextTableStream::make(facts);
      return OwnedArrowStream(&stream);
    };
    s.read_diagnostics = [this](const std::string& path, bool is_dir) {
      calls.push_back("diag " + path + (is_dir ? " (folder)" : ""));
      ArrowArrayStream stream = TextTableStream::make(diag, 3);
      return OwnedArrowStream(&stream);
    };
    return s;
  }
};

// A fresh folder for one test; the database file itself is never opened.
struct Folder {
  std::filesystem::path path;
  Folder() {
    char tmpl[] = "/tmp/feature_job_XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~Folder() { std::filesystem::remove_all(path); }
  std::string db() const { return (path / "facts.duckdb").string(); }
  void diag_file(bool as_folder = false) const {
    std::filesystem::create_directories(path / "cache");
    if (as_folder) std::filesystem::create_directory(path / "cache" / "diag_features.parquet");
    else std::ofstream(path / "cache" / "diag_features.parquet") << "parquet";
  }
};

ExportedColumn& column(FeatureJobResult& r, const std::string& name) {
  for (auto& c : r.columns)
    if (c.name() == name) return c;
  throw std::out_of_range("no output column " + name);
}

// Row i of an exported column as text: integers in decimal, floats to 12
// significant digits, "-" for missing.
std::string cell(ExportedColumn& c, std::size_t i) {
  switch (c.kind()) {
    case ExportedColumn::Kind::Float64: {
      double v = static_cast<const double*>(c.values())[i];
      if (std::isnan(v)) return "-";
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.12g", v);
      return buf;
    }
    case ExportedColumn::Kind::Int64: return std::to_string(static_cast<const std::int64_t*>(c.values())[i]);
    case ExportedColumn::Kind::Int32: return std::to_string(static_cast<const std::int32_t*>(c.values())[i]);
    case ExportedColumn::Kind::Int16: return std::to_string(static_cast<const std::int16_t*>(c.values())[i]);
    case ExportedColumn::Kind::Bool: return static_cast<const bool*>(c.values())[i] ? "True" : "False";
    case ExportedColumn::Kind::Text: {
      const ArrowArray* a = c.arrow_array();
      auto* valid = static_cast<const std::uint8_t*>(a->buffers[0]);
      if (valid && !(valid[i / 8] >> (i % 8) & 1)) return "-";
      auto* off = static_cast<const std::int64_t*>(a->buffers[1]);
      return std::string(static_cast<const char*>(a->buffers[2]) + off[i], off[i + 1] - off[i]);
    }
  }
  return "?";
}

// Compares the named columns of the result with an expected table (a header
// of column names, then one line per output row).
void expect_rows(FeatureJobResult& r, const std::string& expected) {
  auto rows = halvex::testing::split_lines(expected);
  const auto& names = rows.at(0);
  for (std::size_t k = 0; k < names.size(); ++k) {
    ExportedColumn& c = column(r, names[k]);
    ASSERT_EQ(c.length(), rows.size() - 1) << names[k];
    for (std::size_t i = 0; i + 1 < rows.size(); ++i)
      EXPECT_EQ(cell(c, i), rows[i + 1][k]) << "column " << names[k] << ", row " << i;
  }
}

// Columns as the fact query delivers them, rows deliberately out of order.
// E1's risk is missing in period 2; E2's score is junk; qvr_kaynak has a type
// the feature stages could not read: it is never converted.
const char* const kFacts = R"(
  entity_id:u donem:i qvr_skor:u qvr_kaynak:tdD kombine_risk:g risk_degisim:g ykn_izl_flag:i segment:u bolge_kodu:u
  E2          1       abc        1              5              -              0              KUR-TIC   7.9
  E1          3       YI         1              250            -              1              KOBI      34
  E1          1       500        1              200            -              0              KOBI      34
  E1          4       700        1              250            -              0              KOBI      34
  E1          2       600        1              -              -              1              KOBI      34
)";

// What a job ends with: the text of its exception, or "no error".
std::string error_of(const std::string& db, const FeatureSources& sources) {
  try {
    halvex::ml::run_feature_job(db, 3, sources);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

TEST(FeatureJob, ScoreHistoryRiskFlagsAndLabel) {
  Folder dir;
  FakeSources src{kFacts, "", {}};
  FeatureJobResult r = halvex::ml::run_feature_job(dir.db(), 3, src.sources());
  ASSERT_EQ(r.columns.size(), 42u);
  EXPECT_EQ(r.columns.front().name(), "entity_id");
  EXPECT_EQ(r.columns[2].name(), "qvr_score");
  EXPECT_EQ(r.columns.back().name(), "label");
  expect_rows(r, R"(
    entity_id donem qvr_score qvr_lag_1 qvr_lag_2 qvr_lag_3 qvr_delta_1 qvr_delta_3 qvr_band
    E1        1     500       -         -         -         -           -           1
    E1        2     600       500       -         -         100         -           1
    E1        3     1000      600       500       -         400         -           3
    E1        4     700       1000      600       500       -300        200         1
    E2        1     -         -         -         -         -           -           -1
  )");
  expect_rows(r, R"(
    qvr_max_3 qvr_mean_3    qvr_std_3     qvr_consec_rise qvr_above_825_count qvr_above_500_count
    500       500           0             0               0                   1
    600       550           50            1               0                   2
    1000      700           216.024689947 2               1                   3
    1000      766.666666667 169.96731712  0               1                   4
    -         -             0             0               0                   0
  )");
  expect_rows(r, R"(
    risk_current risk_delta_1 risk_delta_pct risk_mio
    200          0            0              0.0002
    0            -200         -1             0
    250          0            0              0.00025
    250          0            0              0.00025
    5            0            0              5e-06
  )");
  expect_rows(r, R"(
    yi_flag_current yi_flag_prev yi_flag_count_4 was_yi_prev seg_KOBI seg_KUR_TIC seg_ESKK bolge_kodu label
    0               0            0               0           1        0           0        34         1
    1               0            1               0           1        0           0        34         1
    1               1            2               0           1        0           0        34         0
    0               1            2               1           1        0           0        34         -
    0               0            0               0           0        1           0        7          -
  )");
  // Without a diagnostic file: defaults, and the period as loaded (int32).
  expect_rows(r, R"(
    diag_bulgu_sayisi diag_kik_bulgu diag_en_agir_katman_kod
    0                 0              -1
    0                 0              -1
    0                 0              -1
    0                 0              -1
    0                 0              -1
  )");
  EXPECT_EQ(column(r, "donem").kind(), ExportedColumn::Kind::Int32);
  EXPECT_EQ(column(r, "qvr_band").kind(), ExportedColumn::Kind::Int64);
  EXPECT_EQ(r.lines(), (std::vector<std::string>{"  [DIAG] diag_features.parquet yok, tüm diag feature'lar 0",
                                               "  Features: 5 rows, 2 entities, 4 periods",
                                               "  Labeled: 3 rows (YI=2, non-YI=1)"}));
  EXPECT_EQ(src.calls, (std::vector<std::string>{"facts " + dir.db()}));
}

// Each score threshold belongs to the band above it (500, 825, 1000 included); a score equal
// to the one before ends a streak of rises; a flag or "YI" of an entity's first row is seen
// by its second.
TEST(FeatureJob, ThresholdsIncludeTheirOwnValue) {
  Folder dir;
  FakeSources src{R"(
    entity_id:u donem:i qvr_skor:u kombine_risk:g ykn_izl_flag:i segment:u bolge_kodu:u
    T           1       499        0              0              KOBI      1
    T           2       500        0              0              KOBI      1
    T           3       824        0              0              KOBI      1
    T           4       825        0              0              KOBI      1
    T           5       999        0              0              KOBI      1
    T           6       1000       0              0              KOBI      1
    T           7       1000       0              1              KOBI      1
    U           1       YI         0              1              KOBI      1
    U           2       500        0              0              KOBI      1
  )", "", {}};
  FeatureJobResult r = halvex::ml::run_feature_job(dir.db(), 3, src.sources());
  expect_rows(r, R"(
    qvr_band qvr_above_500_count qvr_above_825_count qvr_consec_rise yi_flag_prev was_yi_prev
    0        0                   0                   0               0            0
    1        1                   0                   1               0            0
    1        2                   0                   2               0            0
    2        3                   1                   3               0            0
    2        4                   2                   4               0            0
    3        4                   3                   5               0            0
    3        4                   4                   0               0            0
    3        1                   1                   0               0            0
    1        2                   1                   0               1            1
  )");
}

TEST(FeatureJob, HorizonBoundsTheLabel) {
  Folder dir;
  for (auto [horizon, want] : std::map<std::int64_t, std::string>{
           {1, "label\n 0\n 1\n 0\n -\n -"}, {0, "label\n -\n -\n -\n -\n -"}, {-5, "label\n -\n -\n -\n -\n -"}}) {
    FakeSources src{kFacts, "", {}};
    FeatureJobResult r = halvex::ml::run_feature_job(dir.db(), horizon, src.sources());
    SCOPED_TRACE(horizon);
    expect_rows(r, want);
  }
}

// The diagnostic file beside the database is read and merged on text keys; a
// key pair found twice doubles its row, and the period becomes text. Integer
// and text periods of the facts merge alike; a missing period matches nothing.
TEST(FeatureJob, DiagnosticFileIsMergedOnTextKeys) {
  for (const char* period_type : {"i", "u"}) {
    SCOPED_TRACE(period_type);
    Folder dir;
    dir.diag_file();
    std::string facts = R"(
      entity_id:u donem:T qvr_skor:u kombine_risk:g ykn_izl_flag:i segment:u bolge_kodu:u
      A           7       1          0              0              KOBI      1
      C           -       1          0              0              KOBI      1
      A           8       1          0              0              KOBI      1
      B           7       1          0              0              KOBI      1
    )";
    facts.replace(facts.find("donem:T"), 7, std::string("donem:") + period_type);
    FakeSources src{facts, R"(
      entity_id:u donem:u diag_bulgu_sayisi:g diag_en_agir_katman_kod:l label:l
      A           7       2.7                 -                         9
      A           8       -                   2                         9
      B           7       1                   1                         9
      B           7       3                   0                         9
      Z           1       9                   5                         9
      C           -       9                   5                         9
    )", {}};
    FeatureJobResult r = halvex::ml::run_feature_job(dir.db(), 3, src.sources());
    expect_rows(r, R"(
      entity_id donem diag_bulgu_sayisi diag_en_agir_katman_kod diag_kik_bulgu label
      A         7     2                 -1                      0              0
      A         8     0                 2                       0              -
      B         7     1                 1                       0              -
      B         7     3                 0                       0              -
      C         -     0                 -1                      0              -
    )");
    EXPECT_EQ(column(r, "donem").kind(), ExportedColumn::Kind::Text);
    EXPECT_EQ(r.lines().at(0), "  [DIAG] 6 diag feature satırı merge edildi");
    EXPECT_EQ(r.lines().at(1), "  Features: 5 rows, 3 entities, 2 periods");
    EXPECT_EQ(src.calls.at(1), "diag " + (dir.path / "cache" / "diag_features.parquet").string());
  }
}

// Thousands of rows, so the gather crosses its blocks of rows: every third
// fact row has diagnostic values, every seventh of those twice (its fact row
// doubles), some rows only a missing value (the default), and the file has
// keys the facts lack.
TEST(FeatureJob, DiagnosticValuesLandOnTheirRowsAcrossBlocks) {
  Folder dir;
  dir.diag_file();
  const int entities = 2500;  // two periods each: 5,000 fact rows
  std::string facts = "entity_id:u donem:i qvr_skor:u kombine_risk:g ykn_izl_flag:i segment:u bolge_kodu:u\n";
  std::string diag = "entity_id:u donem:u diag_kik_bulgu:l diag_en_agir_katman_kod:g\n";
  std::vector<std::pair<std::string, std::string>> want;  // per output row: kik, kod
  auto name = [](int e) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "E%05d", e);
    return std::string(buf);
  };
  for (int e = 0; e < entities; ++e)
    for (int d = 1; d <= 2; ++d) {
      facts += " " + name(e) + " " + std::to_string(d) + " 500 1 0 KOBI 1\n";
      const int row = 2 * e + d - 1;
      if (row % 3 != 0) {
        want.push_back({"0", "-1"});
        continue;
      }
      const int copies = row % 7 == 0 ? 2 : 1;
      for (int c = 0; c < copies; ++c) {
        const int v = row * 10 + c;
        const bool missing = row % 11 == 0;
        diag += " " + name(e) + " " + std::to_string(d) + " " + std::to_string(v) + " " +
                (missing ? std::string("-") : std::to_string(v % 5) + ".5") + "\n";
        want.push_back({std::to_string(v), missing ? "-1" : std::to_string(v % 5)});
      }
      if (row % 100 == 0) diag += " " + name(e) + "x " + std::to_string(d) + " 1 1\n";
    }
  FakeSources src{facts, diag, {}};
  FeatureJobResult r = halvex::ml::run_feature_job(dir.db(), 3, src.sources());
  ExportedColumn& kik = column(r, "diag_kik_bulgu");
  ExportedColumn& kod = column(r, "diag_en_agir_katman_kod");
  ExportedColumn& other = column(r, "diag_rkd_bulgu");
  ASSERT_EQ(kik.length(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    ASSERT_EQ(cell(kik, i), want[i].first) << "row " << i;
    ASSERT_EQ(cell(kod, i), want[i].second) << "row " << i;
    ASSERT_EQ(cell(other, i), "0") << "row " << i;
  }
}

// Without a diagnostic file the keys leave as loaded: an integer period keeps
// its width, and one with missing values becomes float with NaN (as pandas
// holds such integers).
TEST(FeatureJob, KeysLeaveAsLoaded) {
  Folder dir;
  FakeSources narrow{"entity_id:u donem:s qvr_skor:u kombine_risk:g ykn_izl_flag:i segment:u bolge_kodu:u\n"
                     " A 7 1 0 0 KOBI 1\n A 300 1 0 0 KOBI 1\n", "", {}};
  FeatureJobResult r = halvex::ml::run_feature_job(dir.db(), 3, narrow.sources());
  EXPECT_EQ(column(r, "donem").kind(), ExportedColumn::Kind::Int16);
  expect_rows(r, "donem\n 7\n 300");
  FakeSources gaps{"entity_id:u donem:l qvr_skor:u kombine_risk:g ykn_izl_flag:i segment:u bolge_kodu:u\n"
                   " A 202401 1 0 0 KOBI 1\n A - 1 0 0 KOBI 1\n", "", {}};
  r = halvex::ml::run_feature_job(dir.db(), 3, gaps.sources());
  EXPECT_EQ(column(r, "donem").kind(), ExportedColumn::Kind::Float64);
  expect_rows(r, "entity_id donem\n A 202401\n A -");
}

TEST(FeatureJob, DiagnosticFolderIsReadAsAFolder) {
  Folder dir;
  dir.diag_file(true);
  FakeSources src{kFacts, "entity_id:u donem:u diag_kik_bulgu:l\n E1 1 4\n", {}};
  FeatureJobResult r = halvex::ml::run_feature_job(dir.db(), 3, src.sources());
  EXPECT_EQ(src.calls.at(1), "diag " + (dir.path / "cache" / "diag_features.parquet").string() + " (folder)");
  expect_rows(r, "diag_kik_bulgu\n 4\n 0\n 0\n 0\n 0");
}

TEST(FeatureJob, NoFactsMeansNoColumnsAndNoDiagnosticRead) {
  Folder dir;
  dir.diag_file();
  FakeSources src{"entity_id:u donem:i qvr_skor:u\n", "", {}};
  FeatureJobResult r = halvex::ml::run_feature_job(dir.db(), 3, src.sources());
  EXPECT_TRUE(r.columns.empty());
  EXPECT_TRUE(r.lines().empty());
  EXPECT_EQ(src.calls.size(), 1u);
}

TEST(FeatureJob, FailuresReachTheCaller) {
  Folder dir;
  // A fact column the stages need is missing: KeyError naming it.
  FakeSources no_region{"entity_id:u donem:i qvr_skor:u kombine_risk:g ykn_izl_flag:i segment:u\n E1 1 5 0 0 KOBI\n",
                        "", {}};
  try {
    halvex::ml::run_feature_job(dir.db(), 3, no_region.sources());
    ADD_FAILURE() << "no error";
  } catch (const halvex::Error& e) {
    EXPECT_EQ(e.kind(), halvex::ErrorKind::Key);
    EXPECT_STREQ(e.what(), "bolge_kodu");
  }
  // A source's own failure passes through unchanged.
  FeatureSources failing;
  failing.fetch_facts = [](const std::string&, const FeatureSources::RowsKnown&) -> OwnedArrowStream {
    throw std::runtime_error("engine said no");
  };
  EXPECT_EQ(error_of(dir.db(), failing), "engine said no");
  // A path that the file system would cut short is refused before any read.
  FakeSources src{kFacts, "", {}};
  EXPECT_THROW(halvex::ml::run_feature_job(std::string("a\0b", 3), 3, src.sources()), halvex::ValueError);
  EXPECT_TRUE(src.calls.empty());
}

// HALVEX_THREADS for one test, restored afterwards.
struct ThreadsSetting {
  std::string old;
  bool had;
  explicit ThreadsSetting(const char* value) : had(std::getenv("HALVEX_THREADS") != nullptr) {
    if (had) old = std::getenv("HALVEX_THREADS");
    setenv("HALVEX_THREADS", value, 1);
  }
  ~ThreadsSetting() {
    if (had) setenv("HALVEX_THREADS", old.c_str(), 1);
    else unsetenv("HALVEX_THREADS");
  }
};

// With a second thread, the diagnostic file is read while the fact query
// runs: the fetch below waits (up to a few seconds) for the read to begin.
TEST(FeatureJob, DiagnosticFileIsReadWhileTheFactsAreFetched) {
  ThreadsSetting two("2");
  Folder dir;
  dir.diag_file();
  std::mutex m;
  std::condition_variable cv;
  bool diag_began = false, overlapped = false;
  FakeSources fake{kFacts, "entity_id:u donem:u diag_kik_bulgu:l\n E1 1 4\n", {}};
  FeatureSources s = fake.sources();
  auto fetch = s.fetch_facts;
  s.fetch_facts = [&](const std::string& path, const FeatureSources::RowsKnown& rows_known) {
    OwnedArrowStream out = fetch(path, rows_known);
    std::unique_lock<std::mutex> lock(m);
    overlapped = cv.wait_for(lock, std::chrono::seconds(5), [&] { return diag_began; });
    return out;
  };
  auto read = s.read_diagnostics;
  s.read_diagnostics = [&](const std::string& path, bool is_dir) {
    {
      std::lock_guard<std::mutex> lock(m);
      diag_began = true;
    }
    cv.notify_all();
    return read(path, is_dir);
  };
  FeatureJobResult r = halvex::ml::run_feature_job(dir.db(), 3, s);
  EXPECT_TRUE(overlapped);
  expect_rows(r, "diag_kik_bulgu\n 4\n 0\n 0\n 0\n 0");
  EXPECT_EQ(r.lines().at(0), "  [DIAG] 1 diag feature satırı merge edildi");
}

// Whether the file is read beside the query or after it, the errors are those
// of reading it first: the fetch's own error, else the file's, else a stage's.
TEST(FeatureJob, ErrorsComeInTheOrderOfTheReads) {
  for (const char* threads : {"1", "2"}) {
    SCOPED_TRACE(threads);
    ThreadsSetting setting(threads);
    Folder dir;
    dir.diag_file();
    auto failing_diag = [](const std::string&, bool) -> OwnedArrowStream { throw std::runtime_error("bad file"); };
    // The file fails and a fact column is missing: the file's error.
    FakeSources no_region{"entity_id:u donem:i qvr_skor:u kombine_risk:g ykn_izl_flag:i segment:u\n E1 1 5 0 0 KOBI\n",
                          "", {}};
    FeatureSources s = no_region.sources();
    s.read_diagnostics = failing_diag;
    EXPECT_EQ(error_of(dir.db(), s), "bad file");
    // A risk that is no number fails a stage; the file's error still comes first.
    FakeSources bad_risk{"entity_id:u donem:i qvr_skor:u kombine_risk:u ykn_izl_flag:i segment:u bolge_kodu:u\n"
                         " E1 1 5 lots 0 KOBI 1\n", "", {}};
    s = bad_risk.sources();
    s.read_diagnostics = failing_diag;
    EXPECT_EQ(error_of(dir.db(), s), "bad file");
    // The fetch fails after the file's read began: the fetch's error.
    FakeSources ok{kFacts, "", {}};
    s = ok.sources();
    s.read_diagnostics = failing_diag;
    s.fetch_facts = [](const std::string&, const FeatureSources::RowsKnown& rows_known) -> OwnedArrowStream {
      rows_known(5);
      throw std::invalid_argument("engine said no");
    };
    EXPECT_EQ(error_of(dir.db(), s), "engine said no");
  }
}

TEST(FeatureJob, DiagnosticFileSitsInTheDatabaseFolder) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"facts.duckdb", "cache/diag_features.parquet"},
      {"/data/facts.duckdb", "/data/cache/diag_features.parquet"},
      {"/facts.duckdb", "/cache/diag_features.parquet"},
      {"data//facts.duckdb", "data/cache/diag_features.parquet"},
      {"//facts.duckdb", "//cache/diag_features.parquet"},
      {"data/", "data/cache/diag_features.parquet"},
  };
  for (const auto& [db, want] : cases) EXPECT_EQ(halvex::ml::diagnostic_file_path(db), want) << db;
}

}  // namespace
