#include "table/convert.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "common/errors.h"
#include "common/number_text.h"
#include "common/parallel.h"
#include "table/text_form.h"

namespace halvex::table {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string_view trim(std::string_view s) {
  auto blank = [](char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f' || ch == '\v'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string describe(const Column& c, std::size_t i) {
  std::string s;
  if (!append_text_form(c, i, s)) return "None";
  if (c.type() == DType::Text) return "'" + s + "'";
  return s;
}

// 2^63 as a double: the first value that no longer fits in int64.
constexpr double kTwo63 = 9223372036854775808.0;

// Numeric value of every row of a non-text column as Float64.
Column to_numeric(const Column& c) {
  const std::size_t n = c.size();
  if (c.type() == DType::Float64) return c.clone();
  Column out = Column::float64(n);
  parallel_rows(n, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) out.f64[i] = numeric_at(c, i);
  });
  return out;
}

}  // namespace

std::optional<double> parse_number(std::string_view s) {
  // Fast path: plain digits (most scores), exact as a double up to 15 digits.
  if (!s.empty() && s.size() <= 15) {
    std::int64_t v = 0;
    std::size_t k = 0;
    for (; k < s.size() && s[k] >= '0' && s[k] <= '9'; ++k) v = v * 10 + (s[k] - '0');
    if (k == s.size()) return static_cast<double>(v);
  }
  return halvex::parse_decimal(s);
}

std::optional<std::int64_t> parse_integer(std::string_view s) {
  s = trim(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty() || s.front() == '+') return std::nullopt;
  std::int64_t v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

double numeric_at(const Column& c, std::size_t i) {
  if (!c.present(i)) return kNaN;
  switch (c.type()) {
    case DType::Float64: return c.f64[i];
    case DType::Int64: return static_cast<double>(c.i64[i]);
    case DType::Bool: return c.b8[i];
    case DType::Text: return parse_number(c.str(i)).value_or(kNaN);
  }
  return kNaN;
}

Column to_float64(const Column& c, const std::string& what) {
  if (c.type() != DType::Text) return to_numeric(c);
  const std::size_t n = c.size();
  Column out = Column::float64(n);
  parallel_rows(n, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
      if (!c.present(i)) {
        out.f64[i] = kNaN;
        continue;
      }
      auto v = parse_number(c.str(i));
      if (!v) throw ConversionError(what + ": could not convert " + describe(c, i) + " to float");
      out.f64[i] = *v;
    }
  });
  return out;
}

std::int64_t int64_at(const Column& c, std::size_t i, const std::string& what,
                      std::optional<std::int64_t> missing_as) {
  if (!c.present(i)) {
    if (!missing_as) throw ConversionError(what + ": cannot convert a missing value to integer");
    return *missing_as;
  }
  switch (c.type()) {
    case DType::Int64: return c.i64[i];
    case DType::Bool: return c.b8[i];
    case DType::Float64: {
      double x = c.f64[i];
      if (!(x >= -kTwo63 && x < kTwo63))  // false for infinities too
        throw ConversionError(what + ": cannot convert " + describe(c, i) + " to integer");
      return static_cast<std::int64_t>(x);  // truncates toward zero
    }
    case DType::Text: {
      auto v = parse_integer(c.str(i));
      if (!v) throw ConversionError(what + ": invalid literal for integer: " + describe(c, i));
      return *v;
    }
  }
  return 0;
}

}  // namespace halvex::table
