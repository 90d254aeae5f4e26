// Dates and times as ISO text: the forms, the borders of the years written,
// and the Arrow import that uses them (its refusals: test_features_periods.py).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "arrow_test_stream.h"
#include "table/arrow_bridge.h"
#include "table/iso_time.h"
#include "table/sort.h"

using namespace halvex::table;

namespace {

std::string date(std::int64_t days) {
  char buf[kMaxIsoTime];
  return std::string(buf, write_iso_date(days, buf));
}

std::string moment(std::int64_t ticks, std::int64_t per_second) {
  char buf[kMaxIsoTime];
  return std::string(buf, write_iso_time(ticks, per_second, buf));
}

Table import(const std::string& table) {
  ArrowArrayStream s = halvex::testing::TextTableStream::make(table);
  Table t = import_arrow_stream(&s);
  s.release(&s);
  return t;
}

}  // namespace

TEST(IsoTime, DatesAcrossLeapDaysAndTheEpoch) {
  EXPECT_EQ(date(0), "1970-01-01");
  EXPECT_EQ(date(-1), "1969-12-31");
  EXPECT_EQ(date(19782), "2024-02-29");
  EXPECT_EQ(date(19783), "2024-03-01");
  EXPECT_EQ(date(11016), "2000-02-29");
  EXPECT_EQ(date(-25509), "1900-02-28");
  EXPECT_EQ(date(-25508), "1900-03-01");  // 1900 is no leap year
}

TEST(IsoTime, OnlyTheYearsZeroToNineThousandNineHundredNinetyNine) {
  EXPECT_EQ(date(-719528), "0000-01-01");
  EXPECT_EQ(date(2932896), "9999-12-31");
  EXPECT_EQ(date(-719529), "");
  EXPECT_EQ(date(2932897), "");
  EXPECT_EQ(date(2147483647), "");  // DuckDB's infinity
  EXPECT_EQ(moment(INT64_MAX, 1000000), "");
  EXPECT_EQ(moment(INT64_MIN, 1), "");
  EXPECT_EQ(moment(INT64_MIN, 1000000000), "1677-09-21 00:12:43.145224192");
}

TEST(IsoTime, TimesWithAndWithoutFractions) {
  EXPECT_EQ(moment(0, 1), "1970-01-01 00:00:00");
  EXPECT_EQ(moment(-1, 1), "1969-12-31 23:59:59");
  EXPECT_EQ(moment(-1, 1000), "1969-12-31 23:59:59.999");
  EXPECT_EQ(moment(1706704496500000, 1000000), "2024-01-31 12:34:56.5");
  EXPECT_EQ(moment(1706704496000000000, 1000000000), "2024-01-31 12:34:56");
  EXPECT_EQ(moment(1706704496000000001, 1000000000), "2024-01-31 12:34:56.000000001");
  // Text order is time order, fractions included.
  EXPECT_LT(moment(10, 1000), moment(100, 1000));
  EXPECT_LT(moment(1000, 1000), moment(1001, 1000));
}

TEST(ArrowBridge, DatesAndTimesImportAsIsoText) {
  Table t = import(R"(
    d:tdD   m:tdm          s:tss:        n:tsn:Europe/Istanbul
    19782   1709164800000  0             1706704496500000000
    -       -86400000      -1            -
    -719528 1              253402300799  0
  )");
  const Column& d = t.at("d");
  ASSERT_EQ(d.type(), DType::Text);
  EXPECT_EQ(d.str(0), "2024-02-29");
  EXPECT_FALSE(d.present(1));
  EXPECT_EQ(d.str(2), "0000-01-01");
  EXPECT_EQ(t.at("m").str(0), "2024-02-29");
  EXPECT_EQ(t.at("m").str(1), "1969-12-31");
  EXPECT_EQ(t.at("m").str(2), "1970-01-01");
  EXPECT_EQ(t.at("s").str(1), "1969-12-31 23:59:59");
  EXPECT_EQ(t.at("s").str(2), "9999-12-31 23:59:59");
  EXPECT_EQ(t.at("n").str(0), "2024-01-31 12:34:56.5");  // in UTC, whatever the zone
  EXPECT_FALSE(t.at("n").present(1));
}
