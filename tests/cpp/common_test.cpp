// What both cores share: Python's number texts (repr, "%.*f", round, float(), int()), the
// segment codes, and the thread policy and parallel helper. Expected texts are Python's.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/number_text.h"
#include "common/parallel.h"
#include "common/segments.h"

using namespace halvex;

namespace {

struct ReprCase {
  double value;
  const char* text;
};

class DoubleRepr : public ::testing::TestWithParam<ReprCase> {};

TEST_P(DoubleRepr, MatchesPythonRepr) {
  EXPECT_EQ(double_repr(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, DoubleRepr,
    ::testing::Values(
        ReprCase{12.0, "12.0"}, ReprCase{12.35, "12.35"}, ReprCase{1e-05, "1e-05"}, ReprCase{1e16, "1e+16"},
        ReprCase{0.0001, "0.0001"}, ReprCase{1234567890123456.0, "1234567890123456.0"},
        ReprCase{123456789012345678.0, "1.2345678901234568e+17"}, ReprCase{-0.0, "-0.0"}, ReprCase{0.0, "0.0"},
        ReprCase{0.1, "0.1"}, ReprCase{1.0 / 3, "0.3333333333333333"}, ReprCase{5e-324, "5e-324"},
        ReprCase{1.7976931348623157e308, "1.7976931348623157e+308"}, ReprCase{1e15, "1000000000000000.0"},
        ReprCase{9999999999999998.0, "9999999999999998.0"}, ReprCase{1.234e-05, "1.234e-05"},
        ReprCase{2.5, "2.5"}, ReprCase{100.0, "100.0"}, ReprCase{1e22, "1e+22"}, ReprCase{-1e22, "-1e+22"},
        ReprCase{123456789.123, "123456789.123"}, ReprCase{1e100, "1e+100"}, ReprCase{-2.5e-7, "-2.5e-07"},
        ReprCase{0.00012, "0.00012"}));

TEST(DoubleRepr, NonFiniteTokens) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(double_repr(nan), "NaN");
  EXPECT_EQ(double_repr(inf), "Infinity");
  EXPECT_EQ(double_repr(-inf), "-Infinity");
  EXPECT_EQ(double_repr(nan, false), "nan");
  EXPECT_EQ(double_repr(inf, false), "inf");
  EXPECT_EQ(double_repr(-inf, false), "-inf");
}

TEST(DoubleRepr, ReadsBackToTheSameDouble) {
  // Shortest round trip over a spread of magnitudes.
  double x = 1.0 / 7;
  for (int i = 0; i < 2000; ++i) {
    x = x * -1.37 + 1e-3 * i;
    std::string s = double_repr(x);
    EXPECT_EQ(std::strtod(s.c_str(), nullptr), x) << s;
  }
}

TEST(Int, Text) {
  std::string s;
  append_int(s, 0);
  s += ' ';
  append_int(s, -42);
  s += ' ';
  append_int(s, std::numeric_limits<int64_t>::min());
  s += ' ';
  append_int(s, std::numeric_limits<int64_t>::max());
  EXPECT_EQ(s, "0 -42 -9223372036854775808 9223372036854775807");
}

struct FixedCase {
  double value;
  int decimals;
  const char* text;
};

class FormatFixed : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FormatFixed, MatchesPercentFormat) {
  EXPECT_EQ(format_fixed(GetParam().value, GetParam().decimals), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Ties, FormatFixed,
    ::testing::Values(FixedCase{0.25, 1, "0.2"}, FixedCase{0.04, 1, "0.0"}, FixedCase{62.5, 0, "62"},
                      FixedCase{0.35, 1, "0.3"}, FixedCase{2.675, 2, "2.67"}, FixedCase{1.5, 0, "2"},
                      FixedCase{2.5, 0, "2"}, FixedCase{-0.05, 1, "-0.1"}, FixedCase{1e20, 1, "100000000000000000000.0"},
                      FixedCase{0.125, 2, "0.12"}, FixedCase{-0.0, 1, "-0.0"}, FixedCase{5.04, 1, "5.0"},
                      FixedCase{123.456, 3, "123.456"}, FixedCase{0.5, 0, "0"}, FixedCase{-0.5, 0, "-0"},
                      FixedCase{1e-10, 3, "0.000"}, FixedCase{999.95, 1, "1000.0"}, FixedCase{1024.0, 1, "1024.0"}));

struct RoundCase {
  double value;
  int digits;
  double expected;
};

class RoundDecimals : public ::testing::TestWithParam<RoundCase> {};

TEST_P(RoundDecimals, MatchesPythonRound) {
  double got = round_decimals(GetParam().value, GetParam().digits);
  EXPECT_EQ(got, GetParam().expected);
  EXPECT_EQ(std::signbit(got), std::signbit(GetParam().expected));
}

// Values from Python's round(x, n).
INSTANTIATE_TEST_SUITE_P(
    Python, RoundDecimals,
    ::testing::Values(RoundCase{0.25, 1, 0.2}, RoundCase{0.35, 1, 0.3}, RoundCase{0.45, 1, 0.5},
                      RoundCase{0.95, 1, 0.9}, RoundCase{-0.04, 1, -0.0}, RoundCase{0.049999, 1, 0.0},
                      RoundCase{12.345678, 2, 12.35}, RoundCase{2.675, 2, 2.67}, RoundCase{0.125, 2, 0.12},
                      RoundCase{0.375, 2, 0.38}, RoundCase{1e-300, 1, 0.0}, RoundCase{123456789.05, 1, 123456789.0},
                      RoundCase{4503599627370495.5, 0, 4503599627370496.0}, RoundCase{0.999999, 1, 1.0}));

TEST(ParsePythonFloat, AcceptsWhatFloatAccepts) {
  struct {
    const char* text;
    double value;
  } ok[] = {{"1", 1}, {" 2500000 ", 2500000}, {"\t1e6\n", 1e6}, {"1_000_000", 1e6}, {"+.5", 0.5},
            {"5.", 5}, {"-1.5E-3", -1.5e-3}, {"1e500", HUGE_VAL}, {"-iNf", -HUGE_VAL}, {"Infinity", HUGE_VAL},
            {"\v\f7\r", 7}, {"0.1_5", 0.15}};
  for (const auto& c : ok) {
    auto v = parse_python_float(c.text);
    ASSERT_TRUE(v.has_value()) << c.text;
    EXPECT_EQ(*v, c.value) << c.text;
  }
  auto nan = parse_python_float(" -NaN ");
  ASSERT_TRUE(nan.has_value());
  EXPECT_TRUE(std::isnan(*nan));
  for (const char* bad : {"", " ", "abc", "1__0", "_1", "1_", "1._5", "0x10", "1.5e", "e5", ".", "+", "infinit",
                          "nan1", "1 2", "1,5", "--1", "1e+", "inf inf"}) {
    EXPECT_FALSE(parse_python_float(bad).has_value()) << '"' << bad << '"';
  }
}

TEST(ParsePythonInt, AcceptsWhatIntAccepts) {
  struct {
    const char* text;
    const char* digits;
  } ok[] = {{"812", "812"}, {" 812 ", "812"}, {"-0012", "-12"}, {"+7", "7"}, {"-0", "0"}, {"1_2", "12"},
            {"123456789012345678901", "123456789012345678901"}, {"\t-5\n", "-5"}, {"000", "0"}};
  for (const auto& c : ok) {
    auto v = parse_python_int_text(c.text);
    ASSERT_TRUE(v.has_value()) << c.text;
    EXPECT_EQ(*v, c.digits) << c.text;
  }
  for (const char* bad : {"", "  ", "812.5", "812.0", "yi", "1e3", "+", "-", "1__2", "_1", "1_", "0x1F", "+-1", "1 2"}) {
    EXPECT_FALSE(parse_python_int_text(bad).has_value()) << '"' << bad << '"';
  }
}

TEST(WholeDoubleDigits, Exact) {
  EXPECT_EQ(whole_double_digits(1e24), "999999999999999983222784");
  EXPECT_EQ(whole_double_digits(-4.0), "-4");
  EXPECT_EQ(whole_double_digits(9007199254740993.0), "9007199254740992");
  EXPECT_EQ(whole_double_digits(0.0), "0");
}

TEST(DoubleRepr, EdgeCases) {
  // Subnormals, the normal range's ends, and integers around 2**53 (2**53 + 1 is not a double).
  EXPECT_EQ(double_repr(2.2250738585072014e-308), "2.2250738585072014e-308");
  EXPECT_EQ(double_repr(2.225073858507201e-308), "2.225073858507201e-308");
  EXPECT_EQ(double_repr(-4.9406564584124654e-324), "-5e-324");
  EXPECT_EQ(double_repr(1e-310), "1e-310");
  EXPECT_EQ(double_repr(9007199254740992.0), "9007199254740992.0");
  EXPECT_EQ(double_repr(9007199254740993.0), "9007199254740992.0");
  EXPECT_EQ(double_repr(9007199254740994.0), "9007199254740994.0");
  EXPECT_EQ(double_repr(1e16), "1e+16");
  EXPECT_EQ(double_repr(1e-05), "1e-05");
  EXPECT_EQ(double_repr(0.0001), "0.0001");
  EXPECT_EQ(double_repr(-0.0), "-0.0");
  EXPECT_EQ(double_repr(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(double_repr(-1.7976931348623157e308), "-1.7976931348623157e+308");
  // The longest texts fit the fixed buffer.
  char buf[kMaxDoubleRepr];
  EXPECT_EQ(write_double_repr(-2.2250738585072014e-308, buf), 24u);
  EXPECT_EQ(write_double_repr(-std::numeric_limits<double>::infinity(), buf), 9u);
}

TEST(DoubleRepr, AppendAndBufferFormsAgree) {
  std::string s = "x=";
  append_double_repr(s, 12.5, false);
  append_double_repr(s, std::numeric_limits<double>::quiet_NaN(), false);
  EXPECT_EQ(s, "x=12.5nan");
  double x = 3.0e-7;
  for (int i = 0; i < 500; ++i, x *= -3.7) {
    char buf[kMaxDoubleRepr];
    EXPECT_EQ(std::string(buf, write_double_repr(x, buf)), double_repr(x));
  }
}

TEST(ParseDecimal, PlainNumbersWithoutUnderscores) {
  // The feature builder's reading of numeric text: float() without "_" between digits.
  struct {
    const char* text;
    double value;
  } ok[] = {{"725", 725}, {" -1.5e2 ", -150}, {"+3", 3}, {"5.", 5}, {".5", 0.5}, {"inf", HUGE_VAL},
            {"-Infinity", -HUGE_VAL}, {"1e-400", 0}, {"1E400", HUGE_VAL}, {"\t0\n", 0}};
  for (const auto& c : ok) {
    auto v = parse_decimal(c.text);
    ASSERT_TRUE(v.has_value()) << c.text;
    EXPECT_EQ(*v, c.value) << c.text;
  }
  EXPECT_TRUE(std::signbit(*parse_decimal("-0")));
  EXPECT_TRUE(std::isnan(*parse_decimal("NAN")));
  for (const char* bad : {"", "abc", "1_000", "nan(1)", "+-1", "1e", "0x10", "1.2.3", "12x", "- 1", "infinite"}) {
    EXPECT_FALSE(parse_decimal(bad).has_value()) << '"' << bad << '"';
  }
}

TEST(Segments, CodesInPageOrder) {
  EXPECT_EQ(segment_index("KUR-TIC"), 0);
  EXPECT_EQ(segment_index("KOBI"), 1);
  EXPECT_EQ(segment_index("MIKRO"), 2);
  EXPECT_EQ(segment_index("ESKK"), 3);
  for (const char* other : {"kobi", "KOBI ", "KUR_TIC", "", "None"}) EXPECT_EQ(segment_index(other), -1) << other;
}

class ThreadPolicy : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv("HALVEX_THREADS"); }
};

TEST_F(ThreadPolicy, HalvexThreadsIsHonouredWithinBounds) {
  struct {
    const char* value;
    unsigned threads;
  } cases[] = {{"3", 3}, {"1", 1}, {"0", 1}, {"-4", 1}, {"abc", 1}, {"", 1}, {"64", 64}, {"65", kMaxThreads},
               {"99999999999999999999999", kMaxThreads}};
  for (const auto& c : cases) {
    setenv("HALVEX_THREADS", c.value, 1);
    EXPECT_EQ(worker_threads(), c.threads) << '"' << c.value << '"';
  }
  unsetenv("HALVEX_THREADS");
  unsigned d = worker_threads();
  EXPECT_GE(d, 1u);
  EXPECT_LE(d, kDefaultMaxThreads);
}

// Row ranges cover [0, n) in order with no gap and no empty range, whatever the split.
TEST(EvenRanges, CoverEveryRowOnceWithoutEmptyRanges) {
  for (std::size_t n : {0u, 1u, 5u, 7u, 1000u}) {
    for (std::size_t parts : {0u, 1u, 3u, 8u}) {
      std::size_t next = 0;
      for (const RowRange& r : even_ranges(n, parts)) {
        EXPECT_EQ(r.begin, next) << n << " in " << parts;
        EXPECT_LT(r.begin, r.end) << n << " in " << parts;
        next = r.end;
      }
      EXPECT_EQ(next, n) << n << " in " << parts;
    }
  }
  EXPECT_EQ(worker_count(0), 1u);
  EXPECT_EQ(worker_count(kMinRowsPerThread - 1), 1u);
}

TEST(RunParallel, EveryPartRunsOnce) {
  for (std::size_t threads : {0u, 1u, 2u, 7u}) {
    std::vector<std::atomic<int>> runs(threads);
    run_parallel(threads, [&](std::size_t t) { runs[t]++; });
    for (std::size_t t = 0; t < threads; ++t) EXPECT_EQ(runs[t].load(), 1) << threads;
  }
}

TEST(RunParallel, ErrorOfTheLowestPartWhateverTheTiming) {
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> finished{0};
    try {
      run_parallel(6, [&](std::size_t t) {
        finished++;
        if (t == 2 || t == 5) throw std::runtime_error("part " + std::to_string(t));
      });
      FAIL() << "no error";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "part 2");
    }
    EXPECT_EQ(finished.load(), 6);  // the others still ran to the end
  }
}

}  // namespace
