// The standard page's rows: ordered by son_risk, catalogued in page order, encoded once. The
// rows are read in document order (on several readers for many rows), so whatever depends on
// page order must come out as if they had been read in page order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/parser.h"
#include "json/writer.h"
#include "pipeline/row_encoding.h"
#include "pipeline/row_source.h"
#include "pipeline/standard_page.h"

using namespace halvex;
using namespace halvex::pipeline;

namespace {

struct Built {
  json::Document doc;
  StandardRows rows;
};

// Renders the rows of `rows_json` (a JSON array text) with `threads` readers.
void build(Built& b, const std::string& rows_json, unsigned threads, int64_t chunk_size = 1000) {
  b.doc.text = R"({"meta": {"donemler": ["a"]}, "rows": )" + rows_json + "}";
  json::parse_document(b.doc);
  ValueRowSource src(b.doc.root.member(1).value);
  json::Arena arena;
  RowLayout layout = RowLayout::standard(period_items(b.doc.root.member(0).value.member(0).value, arena),
                                         period_items(b.doc.root.member(0).value.member(0).value, arena));
  std::vector<uint32_t> kept(src.size());
  for (uint32_t i = 0; i < kept.size(); ++i) kept[i] = i;
  build_standard_rows(src, kept, layout, ReferenceNames{}, chunk_size, threads, b.rows);
}

std::string codes_of(const Catalogue& c) {
  std::string out;
  for (const auto& r : c.regions) out += json::to_json(r.kodu) + " " + r.adi + "|";
  out += " / ";
  for (const auto& b : c.branches) out += json::to_json(b.kodu) + " " + *b.adi + " " + std::to_string(b.bolge_idx) + "|";
  return out;
}

TEST(StandardRows, CatalogueCarriesTheCodeFormOfTheFirstRowInPageOrder) {
  // Document order 1, 1.0, true; page order (largest son_risk first) true, 1.0, 1.
  Built b;
  build(b, R"([{"son_risk": 1, "bolge_kodu": 1, "sube_kodu": 1.0},
               {"son_risk": 2, "bolge_kodu": 1.0, "sube_kodu": 1},
               {"son_risk": 3, "bolge_kodu": true, "sube_kodu": "1"},
               {"son_risk": 0, "bolge_kodu": "1", "sube_kodu": -0.0},
               {"son_risk": 0.5, "bolge_kodu": 0.0, "sube_kodu": 0}])",
        1);
  EXPECT_EQ(codes_of(b.rows.catalogue),
            "true Bölge True|0.0 Bölge 0.0|\"1\" Bölge 1| / "
            "\"1\" Şube 1 0|1 Şube 1 0|0 Şube 0 1|");
  // Each row points at its code's record, whatever form the row carries.
  json::Document chunk;
  chunk.text = b.rows.text(0);
  json::parse_document(chunk);
  std::string positions;
  for (size_t r = 0; r < chunk.root.size(); ++r) {
    const json::Value& row = chunk.root.begin_items()[r];
    positions += std::to_string(row.begin_items()[4].as_int()) + std::to_string(row.begin_items()[5].as_int()) + " ";
  }
  EXPECT_EQ(positions, "00 01 01 12 22 ");
}

TEST(StandardRows, SeveralReadersGiveTheSameRowsAndCatalogue) {
  // Enough rows for several readers; the code's page-first form sits in the last reader's
  // range, its document-first form in the first one's.
  std::string rows = "[";
  const int n = 9000;
  for (int i = 0; i < n; ++i) {
    if (i) rows += ",";
    std::string code = i == 0 ? "7" : i == n - 1 ? "7.0" : i % 5 == 0 ? "false" : "\"k" + std::to_string(i % 13) + "\"";
    rows += R"({"son_risk": )" + std::to_string(i == n - 1 ? n * 10 : (i * 7919) % 1000) +
            R"(, "bolge_kodu": )" + code + R"(, "sube_kodu": )" + code + R"(, "qvra": )" + std::to_string(i) + "}";
  }
  rows += "]";
  Built one, many;
  build(one, rows, 1, 700);
  build(many, rows, 4, 700);
  EXPECT_EQ(codes_of(many.rows.catalogue), codes_of(one.rows.catalogue));
  EXPECT_EQ(json::to_json(many.rows.catalogue.regions.at(0).kodu), "7.0");
  ASSERT_EQ(many.rows.size(), one.rows.size());
  for (size_t c = 0; c < one.rows.size(); ++c) EXPECT_EQ(many.rows.text(c), one.rows.text(c)) << "chunk " << c;
  EXPECT_EQ(many.rows.order, one.rows.order);
}

// Rows that only the calling thread may read, whose values last only until the next fetch
// (as the caller's own objects do: the texts of the row before are written over), and that
// fail at one row as a value that cannot be read would.
class OneThreadSource : public RowSource {
 public:
  OneThreadSource(const json::Value& rows, size_t fail_at) : inner_(rows), fail_at_(fail_at) {}
  size_t size() const override { return inner_.size(); }
  void prepare(const std::vector<std::string>& keys) override {
    inner_.prepare(keys);
    n_keys_ = keys.size();
  }
  void fetch(size_t i, json::Value* values, bool* found) override {
    if (i == fail_at_) throw ValueError("cannot read this row");
    inner_.fetch(i, values, found);
    arena_.reset();  // the same memory again, as a reused buffer would be
    for (size_t k = 0; k < n_keys_; ++k) {
      if (found[k] && values[k].is_string()) values[k] = arena_.string(values[k].as_string());
    }
  }

 private:
  ValueRowSource inner_;
  size_t n_keys_ = 0;
  size_t fail_at_;
  json::Arena arena_;
};

// A document of `n` rows with distinct names; `bad_name_at` gets a name that is not a string.
std::string named_rows(int n, int bad_name_at = -1) {
  std::string rows = "[";
  for (int i = 0; i < n; ++i) {
    if (i) rows += ",";
    std::string name = i == bad_name_at ? "5" : "\"firma " + std::to_string(i) + "\"";
    rows += R"({"muta": )" + std::to_string(i) + R"(, "unvan": )" + name + R"(, "son_risk": )" +
            std::to_string((i * 7919) % 1000) + R"(, "bolge_kodu": "b)" + std::to_string(i % 7) + "\"}";
  }
  return rows + "]";
}

void build_one_thread(Built& b, const std::string& rows_json, size_t fail_at) {
  b.doc.text = R"({"meta": {"donemler": ["a"]}, "rows": )" + rows_json + "}";
  json::parse_document(b.doc);
  OneThreadSource src(b.doc.root.member(1).value, fail_at);
  json::Arena arena;
  RowLayout layout = RowLayout::standard(period_items(b.doc.root.member(0).value.member(0).value, arena),
                                         period_items(b.doc.root.member(0).value.member(0).value, arena));
  std::vector<uint32_t> kept(src.size());
  for (uint32_t i = 0; i < kept.size(); ++i) kept[i] = i;
  build_standard_rows(src, kept, layout, ReferenceNames{}, 1000, 2, b.rows);
}

// Rows read on the calling thread and encoded on another: the same page as one thread gives,
// though the source's values are gone by the time they are encoded.
TEST(StandardRows, RowsReadOnOneThreadAndEncodedOnAnotherAreTheRowsRead) {
  const std::string rows = named_rows(9000);
  Built one, split;
  build(one, rows, 1);
  build_one_thread(split, rows, SIZE_MAX);
  ASSERT_EQ(split.rows.size(), one.rows.size());
  for (size_t c = 0; c < one.rows.size(); ++c) EXPECT_EQ(split.rows.text(c), one.rows.text(c)) << "chunk " << c;
  EXPECT_EQ(split.rows.order, one.rows.order);
  EXPECT_EQ(codes_of(split.rows.catalogue), codes_of(one.rows.catalogue));
}

// Whichever thread fails first, the error is the one of the first bad row in document order.
TEST(StandardRows, RowsReadOnOneThreadFailAtTheFirstBadRow) {
  auto error_of = [](int bad_name_at, size_t unreadable_at) -> std::string {
    Built b;
    try {
      build_one_thread(b, named_rows(9000, bad_name_at), unreadable_at);
    } catch (const TypeError& e) {
      return std::string("TypeError: ") + e.what();
    } catch (const ValueError& e) {
      return std::string("ValueError: ") + e.what();
    }
    return "no error";
  };
  EXPECT_EQ(error_of(100, 8000), "TypeError: 'unvan' must be a string, not 'int' (row 100, muta 100)");
  // The reader fails first, a batch later; the encoder still reaches its earlier row.
  EXPECT_EQ(error_of(1000, 1030), "TypeError: 'unvan' must be a string, not 'int' (row 1000, muta 1000)");
  EXPECT_EQ(error_of(8000, 100), "ValueError: cannot read this row (row 100)");
  EXPECT_EQ(error_of(8999, SIZE_MAX), "TypeError: 'unvan' must be a string, not 'int' (row 8999, muta 8999)");
}

}  // namespace

namespace {

// One row of a source encoded on its own (as the single-row helpers of the module do): the
// row asked for, in its layout's page form.
TEST(EncodeSourceRow, TheRowAskedForInItsLayout) {
  json::Document doc;
  doc.text = R"([{"muta": 1, "unvan": "A", "qvra": 400}, {"muta": 2, "unvan": "B", "qvra": 500}])";
  json::parse_document(doc);
  ValueRowSource src(doc.root);
  json::Arena arena;
  std::vector<json::Value> periods{json::Value::string("a")};
  Catalogue none;
  for (const RowLayout& layout : {RowLayout::standard(periods, periods), RowLayout::compressed(periods, periods)}) {
    const std::string second = json::to_json(encode_source_row(src, 1, layout, none, arena));
    EXPECT_NE(second.find("500"), std::string::npos) << second;
    EXPECT_EQ(second.find("400"), std::string::npos) << second;
    EXPECT_EQ(second.find("\"A\""), std::string::npos) << second;
  }
}

}  // namespace
