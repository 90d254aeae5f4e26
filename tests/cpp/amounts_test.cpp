// The page's number conversions at their edges: amounts in million TL, score codes, the
// trending section's risk figures and the cut of the rows into chunks.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "common/errors.h"
#include "json/parser.h"
#include "json/writer.h"
#include "pipeline/amounts.h"
#include "pipeline/chunks.h"
#include "pipeline/page_data.h"
#include "pipeline/row_source.h"

using namespace halvex;
using namespace halvex::pipeline;

namespace {

// A converted value with its kind, since an integer and a float may be written alike:
// "i:2", "big:9223372036854775808", "f:1.0", "null".
std::string described(const json::Value& v) {
  switch (v.kind()) {
    case json::Kind::Null: return "null";
    case json::Kind::Int: return "i:" + json::to_json(v);
    case json::Kind::BigInt: return "big:" + json::to_json(v);
    case json::Kind::Double: return "f:" + json::to_json(v);
    default: return "?" + json::to_json(v);
  }
}

// Each item of a JSON array text through `convert`, described and joined by spaces.
template <typename Convert>
std::string each(const std::string& items, Convert convert) {
  json::Document doc;
  doc.text = items;
  json::parse_document(doc);
  json::Arena arena;
  std::string out;
  for (size_t i = 0; i < doc.root.size(); ++i) {
    if (i) out += ' ';
    out += described(convert(doc.root.begin_items()[i], arena));
  }
  return out;
}

std::string mio_of(const std::string& items) {
  return each(items, [](const json::Value& v, json::Arena& a) { return mio(v, a); });
}

std::string score_of(const std::string& items) {
  return each(items, [](const json::Value& v, json::Arena& a) { return score_code(&v, a); });
}

TEST(Mio, WholeMillionsRoundHalvesToEven) {
  EXPECT_EQ(mio_of("[2500000, 3500000, -2500000, -3500000, 1500000.0, 4500001, 5499999]"),
            "i:2 i:4 i:-2 i:-4 i:2 i:5 i:5");
}

// One million is the first whole number; just below it one decimal, halves to even there too.
TEST(Mio, OneMillionIsWhereWholeNumbersBegin) {
  EXPECT_EQ(mio_of("[1000000, -1000000, 999999, -999999, 950000, 250000, 350000, 0, -40000]"),
            "i:1 i:-1 f:1.0 f:-1.0 f:0.9 f:0.2 f:0.3 f:0.0 f:-0.0");
}

// 0.05 is a little above its half and 0.15 a little below: the stored double decides, not
// the product with 10 (which is exactly 0.5 and 1.5).
TEST(Mio, NearHalvesFollowTheStoredValue) {
  EXPECT_EQ(mio_of("[50000, 150000, -50000, 125000]"), "f:0.1 f:0.1 f:-0.1 f:0.1");
}

// 2**63 millions is the first amount beyond a 64-bit integer; -2**63 still fits.
TEST(Mio, AmountsBeyondSixtyFourBitsStayExact) {
  EXPECT_EQ(mio_of("[9223372036854775808000000, -9223372036854775808000000, 9223372036854774784000000]"),
            "big:9223372036854775808 i:-9223372036854775808 i:9223372036854774784");
}

TEST(Mio, WhatIsNoNumberIsNull) {
  EXPECT_EQ(mio_of(R"([null, "abc", "2500000", NaN, [1], true])"), "null null i:2 null null f:0.0");
  json::Document doc;
  doc.text = "[Infinity]";
  json::parse_document(doc);
  json::Arena arena;
  EXPECT_THROW(mio(doc.root.begin_items()[0], arena), OverflowError);
}

TEST(ScoreCode, FloatsTruncateTowardZero) {
  EXPECT_EQ(score_of("[1.9, -1.9, 2.5, -2.5, 824.99, 825.0, -0.5]"), "i:1 i:-1 i:2 i:-2 i:824 i:825 i:0");
  EXPECT_EQ(score_of(R"(["YI", "825", " 12 ", "8.5", "yi", null, true, NaN, 99999999999999999999])"),
            "i:-1 i:825 i:12 null null null i:1 null big:99999999999999999999");
  EXPECT_EQ(described(score_code(nullptr, *std::make_unique<json::Arena>())), "null");
}

// The trending section writes son_risk in million TL to two decimals, and one card per
// non-empty list with all of its items.
TEST(TrendingSection, RiskToTwoDecimalsAndEveryItem) {
  json::Document doc;
  doc.text = R"({"fastest_rising": [{"muta": 7, "son_risk": 1234567, "score_last": 830},
                                     {"muta": 8, "son_risk": 125000},
                                     {"muta": 9, "son_risk": 0}],
                 "regime_change": [], "persistent_high": [{"muta": 10, "son_risk": 2500000.0}]})";
  json::parse_document(doc);
  std::string html = build_trending_html(doc.root);
  auto cells = [&](const std::string& needle) {
    size_t n = 0;
    for (size_t at = html.find(needle); at != std::string::npos; at = html.find(needle, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(cells("<td style=\"font-weight:600\">"), 4u);
  EXPECT_NE(html.find(">1.23<"), std::string::npos);
  EXPECT_NE(html.find(">0.12<"), std::string::npos);  // 0.125: a half, to even
  EXPECT_NE(html.find(">2.5<"), std::string::npos);
  EXPECT_NE(html.find(">830<"), std::string::npos);
  EXPECT_NE(html.find("En Hizli"), std::string::npos);
  EXPECT_EQ(html.find("Rejim Degisimi"), std::string::npos);  // an empty list has no card
  EXPECT_LT(html.find("En Hizli"), html.find("Kalici"));
  EXPECT_EQ(build_trending_html(json::Value::object(nullptr, 0)), "");
}

TEST(Chunks, CountIsTheCeilingOfRowsOverChunkSize) {
  EXPECT_EQ(chunk_count(0, 5), 1u);
  EXPECT_EQ(chunk_count(1, 5), 1u);
  EXPECT_EQ(chunk_count(5, 5), 1u);
  EXPECT_EQ(chunk_count(6, 5), 2u);
  EXPECT_EQ(chunk_count(11, 5), 3u);
  EXPECT_EQ(chunk_count(0, 0), 1u);
  EXPECT_THROW(chunk_count(3, 0), ZeroDivisionError);
  EXPECT_THROW(chunk_count(3, -1), ValueError);
}

std::string gunzip_base64(const std::string& b64) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string raw;
  unsigned bits = 0, acc = 0;
  for (char c : b64) {
    if (c == '=') break;
    acc = acc << 6 | static_cast<unsigned>(kAlphabet.find(c));
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      raw.push_back(static_cast<char>(acc >> bits & 0xff));
    }
  }
  z_stream zs{};
  EXPECT_EQ(inflateInit2(&zs, 15 + 16), Z_OK);
  std::string out(1 << 16, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(raw.data());
  zs.avail_in = static_cast<uInt>(raw.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  inflateEnd(&zs);
  return out;
}

// Five rows in chunks of two: three chunks of 2, 2 and 1 rows, largest son_risk first, the
// same on one thread and on three.
TEST(Chunks, EachRowOnceInRiskOrder) {
  json::Document doc;
  doc.text = R"([{"muta": 1, "son_risk": 10}, {"muta": 2, "son_risk": 50}, {"muta": 3, "son_risk": 30},
                 {"muta": 4, "son_risk": 40}, {"muta": 5, "son_risk": 20}])";
  json::parse_document(doc);
  json::Arena arena;
  RowLayout layout = RowLayout::standard({}, {});
  std::vector<uint32_t> kept = {0, 1, 2, 3, 4};
  for (unsigned threads : {1u, 3u}) {
    SCOPED_TRACE(threads);
    ValueRowSource rows(doc.root);
    CompressedChunks c = encode_compressed_chunks(rows, kept, layout, 2, threads);
    ASSERT_EQ(c.base64.size(), 3u);
    std::vector<std::string> mutas;
    uint64_t raw = 0;
    for (const std::string& b64 : c.base64) {
      json::Document chunk;
      chunk.text = gunzip_base64(b64);
      raw += chunk.text.size();
      json::parse_document(chunk);
      std::string these;
      for (size_t r = 0; r < chunk.root.size(); ++r) these += json::to_json(chunk.root.begin_items()[r].begin_items()[0]);
      mutas.push_back(these);
    }
    EXPECT_EQ(mutas, (std::vector<std::string>{"24", "35", "1"}));
    EXPECT_EQ(c.raw_bytes, raw);
  }
}

}  // namespace
