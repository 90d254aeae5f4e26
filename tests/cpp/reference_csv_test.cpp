// The region/branch reference file: CSV with a header, double-quote quoting, LF / CRLF / CR
// line ends, a byte-order mark skipped, short lines giving no value for the missing fields.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "common/errors.h"
#include "json/parser.h"
#include "pipeline/catalogue.h"
#include "pipeline/reference_csv.h"

using namespace halvex::pipeline;
using Field = std::optional<std::string>;
using Row = std::vector<Field>;

namespace {

TEST(ReferenceCsv, QuotedFields) {
  CsvTable t = parse_csv("a,b,c\n\"x, y\",\"say \"\"hi\"\"\",\"\"\n\"multi\nline\",plain,\"q\"tail\n");
  EXPECT_EQ(t.header, (std::vector<std::string>{"a", "b", "c"}));
  ASSERT_EQ(t.rows.size(), 2u);
  EXPECT_EQ(t.rows[0], (Row{"x, y", "say \"hi\"", ""}));
  EXPECT_EQ(t.rows[1], (Row{"multi\nline", "plain", "qtail"}));
}

TEST(ReferenceCsv, QuoteInsideAnUnquotedFieldIsText) {
  CsvTable t = parse_csv("a,b\nab\"c,\"d\"\n");
  ASSERT_EQ(t.rows.size(), 1u);
  EXPECT_EQ(t.rows[0], (Row{"ab\"c", "d"}));
}

TEST(ReferenceCsv, LineEndsAndEmptyLines) {
  for (std::string nl : {"\n", "\r\n", "\r"}) {
    CsvTable t = parse_csv("a,b" + nl + nl + "1,2" + nl + nl + "3,4");
    ASSERT_EQ(t.rows.size(), 2u) << int(nl[0]);
    EXPECT_EQ(t.rows[0], (Row{"1", "2"}));
    EXPECT_EQ(t.rows[1], (Row{"3", "4"}));
  }
}

TEST(ReferenceCsv, ByteOrderMarkSkippedOnlyAtTheStart) {
  CsvTable t = parse_csv("\xEF\xBB\xBF" "bolge_kodu,x\n\xEF\xBB\xBF" "1,2\n");
  EXPECT_EQ(t.column("bolge_kodu"), 0);
  ASSERT_EQ(t.rows.size(), 1u);
  EXPECT_EQ(t.rows[0][0], Field("\xEF\xBB\xBF" "1"));
}

TEST(ReferenceCsv, ShortAndLongLines) {
  CsvTable t = parse_csv("a,b,c\n1\n1,\n1,2,3,4\n");
  ASSERT_EQ(t.rows.size(), 3u);
  EXPECT_EQ(t.rows[0], (Row{"1", std::nullopt, std::nullopt}));
  EXPECT_EQ(t.rows[1], (Row{"1", "", std::nullopt}));
  EXPECT_EQ(t.rows[2], (Row{"1", "2", "3"}));  // extra fields are dropped
}

TEST(ReferenceCsv, ColumnsByNameLastOneWins) {
  CsvTable t = parse_csv("x,a,a\n1,2,3\n");
  EXPECT_EQ(t.column("a"), 2);
  EXPECT_EQ(t.column("x"), 0);
  EXPECT_EQ(t.column("missing"), -1);
  EXPECT_TRUE(parse_csv("").header.empty());
  EXPECT_TRUE(parse_csv("\n\n").rows.empty());
}

class ReferenceFile : public ::testing::Test {
 protected:
  std::filesystem::path dir = std::filesystem::temp_directory_path() /
                              ("halvex_ref_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                               "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
  void SetUp() override { std::filesystem::create_directories(dir); }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string write(const std::string& text) {
    auto p = dir / "ref.csv";
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }
};

TEST_F(ReferenceFile, NamesFromTheFileFirstLineWins) {
  std::string path = write(
      "sube_adi,extra,sube_kodu,bolge_kodu,bolge_adi\r\n"
      "Merkez,z,100,07,Ege\r\n"
      "Other,z,100,07,Later\r\n"
      ",z,200,08,\r\n"
      "Kısa,z,300\r\n"
      "Yarım,z,400,09\r\n");
  ReferenceNames names = read_reference_names(path);
  EXPECT_EQ(region_name(names, "07"), "Ege");
  EXPECT_EQ(region_name(names, "08"), "Bölge 08");  // empty name: generated
  EXPECT_EQ(region_name(names, "09"), "Bölge 09");  // short line: no name
  EXPECT_EQ(region_name(names, "7"), "Bölge 7");    // texts, not numbers
  EXPECT_EQ(branch_name(names, "100"), Field("Merkez"));
  EXPECT_EQ(branch_name(names, "200"), Field(""));  // listed with an empty name
  EXPECT_EQ(branch_name(names, "300"), Field("Kısa"));
  EXPECT_EQ(branch_name(names, "400"), Field("Yarım"));
  EXPECT_EQ(branch_name(names, "500"), Field("Şube 500"));
}

TEST_F(ReferenceFile, MissingColumnReadsAsEmpty) {
  // No sube_adi column: every listed branch is named "" (the column reads as empty text).
  ReferenceNames names = read_reference_names(write("sube_kodu,bolge_kodu\n5,1\n"));
  EXPECT_EQ(branch_name(names, "5"), Field(""));
  EXPECT_EQ(region_name(names, "1"), "Bölge 1");
}

TEST_F(ReferenceFile, ShortLineBeforeTheBranchNameGivesNull) {
  ReferenceNames names = read_reference_names(write("sube_kodu,sube_adi\n5\n"));
  EXPECT_EQ(branch_name(names, "5"), std::nullopt);
}

TEST_F(ReferenceFile, NoFileOrNoPathGivesNoNames) {
  EXPECT_TRUE(read_reference_names(std::nullopt).regions.empty());
  EXPECT_TRUE(read_reference_names(std::string()).branches.empty());
  EXPECT_TRUE(read_reference_names((dir / "absent.csv").string()).regions.empty());
}

TEST_F(ReferenceFile, UnreadableFileFails) {
  EXPECT_THROW(read_reference_names(dir.string()), halvex::OsError);  // a directory
  EXPECT_THROW(read_reference_names(write("sube_kodu,sube_adi\n5,\xff\n")), halvex::json::DecodeError);
}

}  // namespace
