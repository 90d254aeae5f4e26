// Argument matching of the extension modules' functions: where each parameter's value comes
// from, CPython's texts for every way a call can be wrong, and the signature help() shows.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "common/arguments.h"
#include "common/errors.h"

using namespace halvex;

namespace {

const Signature kExact{"_mio", {"v"}, 1};
const Signature kTwoOptional{"maps", {"rows", "ref"}, 1};
const Signature kRender{"render", {"doc", "out", "chunk"}, 1};

// The TypeError text of a call, or "" when it binds.
std::string error_of(const Signature& sig, size_t n_pos, std::vector<std::string_view> keywords) {
  try {
    match_arguments(sig, n_pos, keywords);
  } catch (const TypeError& e) {
    return e.what();
  }
  return "";
}

TEST(MatchArguments, PositionalThenKeywordsInTheCallersOrder) {
  EXPECT_EQ(match_arguments(kRender, 1, {"chunk", "out"}), (std::vector<int>{0, 2, 1}));
  EXPECT_EQ(match_arguments(kRender, 2, {}), (std::vector<int>{0, 1, -1}));
  EXPECT_EQ(match_arguments(kRender, 0, {"doc"}), (std::vector<int>{0, -1, -1}));
}

TEST(MatchArguments, ArityTexts) {
  EXPECT_EQ(error_of(kExact, 0, {}), "_mio() takes exactly 1 positional argument (0 given)");
  EXPECT_EQ(error_of(kExact, 2, {}), "_mio() takes exactly 1 positional argument (2 given)");
  EXPECT_EQ(error_of(kTwoOptional, 0, {}), "maps() takes at least 1 positional argument (0 given)");
  EXPECT_EQ(error_of(kTwoOptional, 3, {}), "maps() takes at most 2 positional arguments (3 given)");
  // Too many positional arguments is reported before any keyword.
  EXPECT_EQ(error_of(kTwoOptional, 3, {"bad"}), "maps() takes at most 2 positional arguments (3 given)");
}

TEST(MatchArguments, KeywordTextsInTheCallersOrder) {
  EXPECT_EQ(error_of(kExact, 0, {"v", "w"}), "_mio() got an unexpected keyword argument 'w'");
  EXPECT_EQ(error_of(kRender, 2, {"foo", "out"}), "render() got an unexpected keyword argument 'foo'");
  EXPECT_EQ(error_of(kRender, 2, {"out"}), "render() got multiple values for keyword argument 'out'");
  EXPECT_EQ(error_of(kRender, 0, {"out", "out"}), "render() got multiple values for keyword argument 'out'");
  // Names match whole, not by prefix.
  EXPECT_EQ(error_of(kRender, 1, {"chunk_size"}), "render() got an unexpected keyword argument 'chunk_size'");
}

TEST(MatchArguments, MissingRequiredWhenKeywordsAreGiven) {
  EXPECT_EQ(error_of(kRender, 0, {"out"}), "render() missing required argument 'doc' (pos 1)");
  EXPECT_EQ(error_of(kTwoOptional, 0, {"ref"}), "maps() missing required argument 'rows' (pos 1)");
}

// build_features has always reported a missing argument as too few positional ones, keywords
// or not, and only after any keyword error.
TEST(MatchArguments, MissingAsArityWhereTheFunctionAlwaysSaidSo) {
  const Signature build{"build", {"db", "horizon"}, 1, true};
  EXPECT_EQ(error_of(build, 0, {"horizon"}), "build() takes at least 1 positional argument (0 given)");
  EXPECT_EQ(error_of(build, 0, {}), "build() takes at least 1 positional argument (0 given)");
  EXPECT_EQ(error_of(build, 0, {"horizon", "x"}), "build() got an unexpected keyword argument 'x'");
  EXPECT_EQ(match_arguments(build, 0, {"db"}), (std::vector<int>{0, -1}));
}

// help()'s line: kinds and the return only where the function declares them; the required
// parameters take no default.
TEST(SignatureText, WithAndWithoutAnnotations) {
  const std::vector<std::string> kinds{"object", "str | None", "int"}, defaults{"", "None", "3"};
  EXPECT_EQ(signature_text(kRender, "dict", kinds, defaults),
            "def render(doc: object, out: str | None = None, chunk: int = 3) -> dict");
  EXPECT_EQ(signature_text(kRender, nullptr, kinds, defaults), "def render(doc, out=None, chunk=3)");
  EXPECT_EQ(signature_text(Signature{"f", {}, 0}, "None", {}, {}), "def f() -> None");
}

TEST(TruncateReal, TowardZeroWithinRange) {
  EXPECT_EQ(truncate_real(2.9, false), 2);
  EXPECT_EQ(truncate_real(-2.9, false), -2);
  EXPECT_EQ(truncate_real(-0.5, true), 0);
  EXPECT_EQ(truncate_real(9.1e18, false), 9100000000000000000LL);
}

TEST(TruncateReal, OutOfRangeRaisesOrClamps) {
  constexpr long long kMax = std::numeric_limits<long long>::max(), kMin = std::numeric_limits<long long>::min();
  const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
  for (double big : {9.2e18, 1e300, inf}) {
    EXPECT_EQ(truncate_real(big, true), kMax);
    EXPECT_EQ(truncate_real(-big, true), kMin);
    EXPECT_THROW(truncate_real(big, false), OverflowError);
    EXPECT_THROW(truncate_real(-big, false), OverflowError);
  }
  try {
    truncate_real(nan, true, "target_horizon: ");
    FAIL() << "NaN was accepted";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "target_horizon: cannot convert float NaN to integer");
  }
  EXPECT_THROW(truncate_real(nan, false), ValueError);
}

// A finite value past the range is no infinity, and the error must not say so.
TEST(TruncateReal, OverflowSaysWhatWasGiven) {
  auto said = [](double d) {
    try {
      truncate_real(d, false);
    } catch (const OverflowError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(said(1e19), "int too big to convert");
  EXPECT_EQ(said(-1e300), "int too big to convert");
  EXPECT_EQ(said(std::numeric_limits<double>::infinity()), "cannot convert float infinity to integer");
}

}  // namespace
