// The scoreboard document member by member, from small fact tables: the periods' order,
// YI and gaps in the rows, the band flow and snapshot, the marks and reason texts on their
// boundaries, the model's marks (their lengths checked by the job) and the findings index.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "arrow_test_stream.h"
#include "common/errors.h"
#include "json/value.h"
#include "json/writer.h"
#include "scoreboard/findings_index.h"
#include "scoreboard/score_marks.h"
#include "scoreboard/scoreboard.h"
#include "scoreboard/scoreboard_job.h"
#include "table/arrow_bridge.h"

namespace sb = halvex::scoreboard;
using halvex::table::Table;
using halvex::testing::TextTableStream;

namespace {

Table table_of(const std::string& text) {
  ArrowArrayStream s = TextTableStream::make(text);
  Table t = halvex::table::import_arrow_stream(&s);
  s.release(&s);
  return t;
}

std::string document(const std::string& facts, sb::ScoreboardOptions opt = {}, const Table* findings = nullptr) {
  opt.generated_at = "2026-12-10T00:00:00";
  return sb::build_document(table_of(facts), findings, opt).text;
}

// The text of a member's value: an object or array by its brackets (the document's texts
// here hold none), anything else up to the next comma or brace.
std::string member(const std::string& doc, const std::string& name, std::size_t from = 0) {
  const std::string key = "\"" + name + "\": ";
  std::size_t at = doc.find(key, from);
  if (at == std::string::npos) return "<absent>";
  at += key.size();
  if (doc[at] != '{' && doc[at] != '[') return doc.substr(at, doc.find_first_of(",}", at) - at);
  int depth = 0;
  for (std::size_t i = at; i < doc.size(); ++i) {
    if (doc[i] == '{' || doc[i] == '[') ++depth;
    if ((doc[i] == '}' || doc[i] == ']') && --depth == 0) return doc.substr(at, i + 1 - at);
  }
  return "<unclosed>";
}

// The row of borrower `muta` (a text id), whole.
std::string row_of(const std::string& doc, const std::string& muta) {
  const std::size_t at = doc.find("{\"muta\": \"" + muta + "\"");
  if (at == std::string::npos) return "<no row>";
  return doc.substr(at, doc.find('}', at) + 1 - at);
}

// Integer periods out of order in the rows, 9 before 10 (not as text); a YI score, a missing
// risk amount, a fast riser by exactly 120 points.
const char* const kIntPeriods = R"(
entity_id:u  donem:l  qvr_skor:u  kombine_risk:g
B            11       600         200
A            10       450         100
A            9        400         50
B            9        480         150
A            11       YI          120
B            10       520         -
)";

TEST(ScoreboardDocument, PeriodsInTheColumnsOrderAndRowsInEntityOrder) {
  sb::ScoreboardOptions opt;
  opt.risk_periods = 2;
  const std::string doc = document(kIntPeriods, opt);
  EXPECT_EQ(member(doc, "donemler"), R"(["9", "10", "11"])");
  EXPECT_EQ(member(doc, "risk_donemler"), R"(["10", "11"])");
  EXPECT_EQ(member(doc, "veri_tarihi"), R"("11")");
  EXPECT_EQ(member(doc, "n_firma"), "2");
  EXPECT_LT(doc.find(R"({"muta": "A")"), doc.find(R"({"muta": "B")"));
  EXPECT_EQ(row_of(doc, "A"),
            R"({"muta": "A", "son_risk": 120, "qvr9": 400, "qvr10": 450, "qvr11": "YI", "r10": 100, "r11": 120, )"
            R"("_hizli_yukselen": 0, "_rejim_degisimi": 0, "_potansiyel_yi": 0, "_qvr_neden": "Bant: EUS → YI"})");
  EXPECT_EQ(row_of(doc, "B"),
            R"({"muta": "B", "son_risk": 200, "qvr9": 480, "qvr10": 520, "qvr11": 600, "r11": 200, )"
            R"("_hizli_yukselen": 1, "_rejim_degisimi": 0, "_potansiyel_yi": 0, )"
            R"j("_qvr_neden": "2 dönemde +120 puan (480 → 600)"})j");
}

TEST(ScoreboardDocument, RiskPeriodsBeyondThePeriodsAndNone) {
  sb::ScoreboardOptions all;
  all.risk_periods = 10;
  const std::string doc = document(kIntPeriods, all);
  EXPECT_EQ(member(doc, "risk_donemler"), R"(["9", "10", "11"])");
  EXPECT_EQ(member(row_of(doc, "A"), "r9"), "50");
  sb::ScoreboardOptions none;
  none.risk_periods = 0;
  const std::string bare = document(kIntPeriods, none);
  EXPECT_EQ(member(bare, "risk_donemler"), "[]");
  EXPECT_EQ(row_of(bare, "A").find("\"r1"), std::string::npos);
  // The snapshot's risk does not depend on the risk periods.
  EXPECT_EQ(member(bare, "band_risk"), member(doc, "band_risk"));
}

TEST(ScoreboardDocument, FlowAndSnapshotOfTheLatestPeriodsBorrowers) {
  const std::string doc = document(kIntPeriods);
  EXPECT_EQ(member(doc, "flow_matrix"),
            R"([{"from_donem": "10", "to_donem": "11", "from_band": "EUS", "to_band": "YI", "count": 1, "risk": 120}, )"
            R"({"from_donem": "10", "to_donem": "11", "from_band": "YIS", "to_band": "YIS", "count": 1, "risk": 200}])");
  EXPECT_EQ(member(doc, "band_snapshot"),
            R"({"9": {"EUS": 2, "YIS": 0, "YUKSEK": 0, "YI": 0, "YOK": 0}, )"
            R"("10": {"EUS": 1, "YIS": 1, "YUKSEK": 0, "YI": 0, "YOK": 0}, )"
            R"("11": {"EUS": 0, "YIS": 1, "YUKSEK": 0, "YI": 1, "YOK": 0}})");
  // A missing amount counts 0 in its band.
  EXPECT_EQ(member(doc, "band_risk"),
            R"({"9": {"EUS": 200, "YIS": 0, "YUKSEK": 0, "YI": 0, "YOK": 0}, )"
            R"("10": {"EUS": 100, "YIS": 0, "YUKSEK": 0, "YI": 0, "YOK": 0}, )"
            R"("11": {"EUS": 0, "YIS": 200, "YUKSEK": 0, "YI": 120, "YOK": 0}})");
}

// Text periods; a gap, a non-numeric score, a repeated period (its last row counts), a
// borrower gone before the latest period and a row without a customer number.
const char* const kGaps = R"(
entity_id:u  donem:u  qvr_skor:u  kombine_risk:g
C            2024-02  700         30.25
E            2024-02  510         8
D            2023-12  900         5
E            2024-01  abc         7
C            2023-12  300         10.5
E            2024-02  490         9
-            2024-02  999         1
)";

TEST(ScoreboardDocument, GapsRepeatsAndBorrowersOutsideTheLatestPeriod) {
  const std::string doc = document(kGaps);
  EXPECT_EQ(member(doc, "donemler"), R"(["2023-12", "2024-01", "2024-02"])");
  EXPECT_EQ(member(doc, "n_firma"), "2");
  EXPECT_EQ(row_of(doc, "D"), "<no row>");
  // Three periods back is the first period, whatever lies between.
  EXPECT_EQ(row_of(doc, "C"),
            R"({"muta": "C", "son_risk": 30.25, "qvr2023-12": 300, "qvr2024-02": 700, "r2023-12": 10.5, )"
            R"("r2024-02": 30.25, "_hizli_yukselen": 1, "_rejim_degisimi": 0, "_potansiyel_yi": 1, )"
            R"j("_qvr_neden": "2 dönemde +400 puan (300 → 700)"})j");
  EXPECT_EQ(row_of(doc, "E"),
            R"({"muta": "E", "son_risk": 9, "qvr2024-02": 490, "r2024-01": 7, "r2024-02": 9, )"
            R"("_hizli_yukselen": 0, "_rejim_degisimi": 0, "_potansiyel_yi": 0, "_qvr_neden": ""})");
  EXPECT_EQ(member(doc, "flow_matrix"),
            R"([{"from_donem": "2024-01", "to_donem": "2024-02", "from_band": "YOK", "to_band": "EUS", "count": 1, "risk": 9}, )"
            R"({"from_donem": "2024-01", "to_donem": "2024-02", "from_band": "YOK", "to_band": "YIS", "count": 1, "risk": 30.25}])");
  const std::string snapshot = member(doc, "band_snapshot");
  // A borrower without a row in a period counts there as without a score.
  EXPECT_EQ(member(snapshot, "2023-12"), R"({"EUS": 1, "YIS": 0, "YUKSEK": 0, "YI": 0, "YOK": 1})");
  EXPECT_EQ(member(snapshot, "2024-01"), R"({"EUS": 0, "YIS": 0, "YUKSEK": 0, "YI": 0, "YOK": 2})");
  EXPECT_EQ(member(member(doc, "band_risk"), "2024-01"), R"({"EUS": 0, "YIS": 0, "YUKSEK": 0, "YI": 0, "YOK": 7})");
}

// The rows are built and written in pieces of borrowers: pieces of a borrower or two, some
// with no row at all (the first one here), join into the same text.
TEST(ScoreboardDocument, SamePiecesWhateverTheirSize) {
  const char* const gone_first = "entity_id:u donem:l qvr_skor:u kombine_risk:g\nA 1 500 1\nB 2 600 2\nC 2 700 3\n";
  for (const char* facts : {kIntPeriods, kGaps, gone_first}) {
    const std::string whole = document(facts);
    for (std::size_t rows : {1, 2, 3, 5}) {
      sb::ScoreboardOptions opt;
      opt.piece_fact_rows = rows;
      EXPECT_EQ(document(facts, opt), whole) << rows << " fact rows a piece";
    }
  }
}

TEST(ScoreboardDocument, OnePeriodHasNoFlowAndNoFactsIsAnError) {
  const std::string doc = document("entity_id:u donem:l qvr_skor:u kombine_risk:g\nA 5 1000 1\n");
  EXPECT_EQ(member(doc, "flow_matrix"), "[]");
  // A numeric 1000 is banded by its number, not as YI.
  EXPECT_EQ(member(member(doc, "band_snapshot"), "5"), R"({"EUS": 0, "YIS": 0, "YUKSEK": 1, "YI": 0, "YOK": 0})");
  EXPECT_THROW(document("entity_id:u donem:l qvr_skor:u kombine_risk:g\n"), halvex::ValueError);
  EXPECT_THROW(document("entity_id:u donem:l qvr_skor:u kombine_risk:g\nA - 1 1\n"), halvex::ValueError);
}

TEST(ScoreboardDocument, ModelMarksByTheTextFormOfTheId) {
  const std::string facts = R"(
entity_id:l  donem:l  qvr_skor:u  kombine_risk:g
7            1        600         1
7            2        YI          1
8            2        610         1
9            2        620         1
)";
  sb::ModelMarks model;
  model.keys = {"7", "8", "42"};
  model.prob = {0.5, std::nan(""), 0.25};
  model.alerted = {1, 1, 1};
  model.caught = {1, 0, 1};
  model.missed = {0, 1, 0};
  sb::ScoreboardOptions opt;
  opt.model = &model;
  const std::string doc = document(facts, opt);
  const auto row = [&](const char* muta) { return doc.substr(doc.find(std::string("{\"muta\": ") + muta)); };
  // Alerted, but already under close monitoring: no early signal.
  EXPECT_EQ(member(row("7"), "_erken_sinyal"), "0");
  EXPECT_EQ(member(row("7"), "_yakalanan"), "1");
  EXPECT_EQ(member(row("7"), "_ml_yi_prob"), "0.5");
  EXPECT_EQ(member(row("8"), "_erken_sinyal"), "1");
  EXPECT_EQ(member(row("8"), "_kacirilan"), "1");
  // No probability: the member is left out, not the row's next one.
  const std::string eight = row("8").substr(0, row("8").find('}'));
  EXPECT_EQ(eight.find("_ml_yi_prob"), std::string::npos);
  const std::string nine = row("9").substr(0, row("9").find('}'));
  EXPECT_EQ(member(nine, "_erken_sinyal"), "0");
  EXPECT_EQ(nine.find("_ml_yi_prob"), std::string::npos);
}

sb::Score num(double v) { return sb::Score{false, v}; }
sb::Score yi() { return sb::Score{true}; }
sb::Score none() { return sb::Score{}; }

struct MarksCase {
  std::vector<sb::Score> scores;
  bool fast, change, potential;
  const char* reason;
};

TEST(ScoreMarks, OnTheirBoundaries) {
  const MarksCase cases[] = {
      {{num(380), num(400), num(450), num(500)}, true, true, false, "Bant: EUS → YIS; 3 dönemde +120 puan (380 → 500)"},
      {{num(380.5), num(400), num(450), num(500)}, false, true, false, "Bant: EUS → YIS; 3 dönemde +119.5 puan (380.5 → 500)"},
      {{num(499.5), num(500)}, false, true, false, "Bant: EUS → YIS; 1 dönemde +0.5 puan (499.5 → 500)"},
      {{num(500), num(520)}, false, false, false, ""},
      {{num(824), num(825)}, false, false, true, "Bant: YIS → Yüksek; 1 dönemde +1 puan (824 → 825)"},
      {{num(580), num(700)}, true, false, true, "1 dönemde +120 puan (580 → 700)"},
      {{num(580.5), num(700)}, false, false, false, ""},
      // The rise is over the last three periods, not from the first.
      {{num(100), num(200), num(300), num(400), num(520)}, true, true, false, "Bant: EUS → YIS; 3 dönemde +320 puan (200 → 520)"},
      {{num(100), num(700), num(600), num(520), num(400)}, false, false, false, "Bant: YIS → EUS"},
      {{yi(), num(900)}, false, false, true, "Bant: YI → Yüksek"},
      {{num(900), yi()}, false, false, false, "Bant: Yüksek → YI"},
      {{none(), num(900)}, false, false, true, ""},
      // Fewer than three periods back: the rise is from the first, over a gap.
      {{num(100), none(), num(400)}, true, false, false, "2 dönemde +300 puan (100 → 400)"},
      {{num(900)}, false, false, true, ""},
  };
  for (const auto& c : cases) {
    const sb::Marks m = sb::marks_of(c.scores.data(), c.scores.size(), "");
    const std::string at = "case with reason '" + std::string(c.reason) + "'";
    EXPECT_EQ(m.fast_riser, c.fast) << at;
    EXPECT_EQ(m.band_change, c.change) << at;
    EXPECT_EQ(m.potential_yi, c.potential) << at;
    EXPECT_EQ(m.reason, c.reason) << at;
  }
}

TEST(ScoreMarks, SourceOnlyWithAMarkOrAMove) {
  const sb::Score high[] = {num(900)};
  EXPECT_EQ(sb::marks_of(high, 1, "MANUEL").reason, "Kaynak: MANUEL");
  const sb::Score moved[] = {num(600), num(400)};
  EXPECT_EQ(sb::marks_of(moved, 2, "MANUEL").reason, "Bant: YIS → EUS; Kaynak: MANUEL");
  const sb::Score still[] = {num(400), num(410)};
  EXPECT_EQ(sb::marks_of(still, 2, "MANUEL").reason, "");
}

TEST(ScoreMarks, BandsByThresholdAndYiByTextAlone) {
  EXPECT_EQ(sb::band_of(num(499.99)), sb::kEus);
  EXPECT_EQ(sb::band_of(num(500)), sb::kYis);
  EXPECT_EQ(sb::band_of(num(824.99)), sb::kYis);
  EXPECT_EQ(sb::band_of(num(825)), sb::kHigh);
  EXPECT_EQ(sb::band_of(num(1000)), sb::kHigh);
  EXPECT_EQ(sb::band_of(yi()), sb::kYi);
  EXPECT_EQ(sb::band_of(none()), sb::kNone);
}

TEST(FindingsIndex, NewGroupsInPeriodOrderAndOthersLeftOut) {
  const Table findings = table_of(R"(
entity_id:u  donem:l  katman:u   kriter:u  grup:u
A            3        KIK        k1        g1
A            2        SQL        k2        g2
A            3        RKD        k3        g2
A            3        RKD        k4        -
Z            3        KIK        k5        g1
A            99       KIK        k6        g9
)");
  halvex::json::Arena arena;
  const std::unordered_map<std::string, int> period_of = {{"2", 0}, {"3", 1}};
  const std::vector<std::string> periods = {"2", "3"};
  const sb::FindingsIndex idx = sb::findings_index(findings, {"A"}, period_of, periods, arena);
  EXPECT_TRUE(idx.admin_only_found);
  EXPECT_EQ(halvex::json::to_json(idx.index, {true, false}),
            R"({"A": {"2": {"bulgular": [{"katman": "SQL", "kriter": "k2", "grup": "g2"}], "yeni_gruplar": ["g2"]}, )"
            R"("3": {"bulgular": [{"katman": "KIK", "kriter": "k1", "grup": "g1"}, {"katman": "RKD", "kriter": "k3", "grup": "g2"}, )"
            R"({"katman": "RKD", "kriter": "k4"}], "yeni_gruplar": ["g1"]}}})");
}

TEST(FindingsIndex, InTheDocumentForItsBorrowersOnly) {
  const Table findings = table_of("entity_id:u donem:l katman:u kriter:u\nB 11 KIK k1\nQ 11 SQL k2\n");
  sb::ScoreboardOptions opt;
  opt.sql_admin_only = true;
  const std::string doc = document(kIntPeriods, opt, &findings);
  EXPECT_EQ(member(doc, "diag_index"),
            R"({"B": {"11": {"bulgular": [{"katman": "KIK", "kriter": "k1"}], "yeni_gruplar": []}}})");
  // The SQL finding belongs to no borrower of the page: nothing is withheld.
  EXPECT_EQ(member(doc, "bulgular_gizli"), "false");
}

}  // namespace

// Marks of unequal lengths would be read past their end: the job refuses them before it asks
// the database anything.
TEST(ScoreboardJob, ModelMarksOfUnequalLengthsAreRefused) {
  sb::ModelMarks model;
  model.keys = {"7", "8"};
  model.prob = {0.5, 0.5};
  model.alerted = {1, 1};
  model.caught = {1};
  model.missed = {0, 0};
  sb::ScoreboardOptions opt;
  opt.model = &model;
  bool asked = false;
  sb::ScoreboardSources sources{[&](const std::string&) {
                                  asked = true;
                                  return sb::SourceColumns{};
                                },
                                nullptr};
  try {
    sb::run_scoreboard_job("db", "", opt, sources);
    FAIL() << "unequal marks were accepted";
  } catch (const halvex::ValueError& e) {
    EXPECT_STREQ(e.what(), "model marks: every column must have one value per entity_id");
  }
  EXPECT_FALSE(asked);
}
