#include "common/number_text.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace halvex {

namespace {

std::size_t put(char* out, const char* text) {
  std::size_t n = std::strlen(text);
  std::memcpy(out, text, n);
  return n;
}

}  // namespace

std::size_t write_double_repr(double d, char* out, bool json_tokens) {
  if (std::isnan(d)) return put(out, json_tokens ? "NaN" : "nan");
  if (std::isinf(d)) {
    if (json_tokens) return put(out, d < 0 ? "-Infinity" : "Infinity");
    return put(out, d < 0 ? "-inf" : "inf");
  }
  // Shortest round-trip digits in scientific form, e.g. "1.2345e+02", then laid out the way
  // repr does: plain notation for decimal exponents -4..15, scientific otherwise.
  char sci[40];
  auto res = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
  const char* end = res.ptr;
  const char* p = sci;
  char* o = out;
  if (*p == '-') {
    *o++ = '-';
    ++p;
  }
  char digits[24];
  int nd = 0;
  for (; p < end && *p != 'e'; ++p)
    if (*p != '.') digits[nd++] = *p;
  int exp10 = 0;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), end, exp10);
  if (exp10 >= -4 && exp10 < 16) {
    if (exp10 < 0) {
      *o++ = '0';
      *o++ = '.';
      for (int k = 0; k < -exp10 - 1; ++k) *o++ = '0';
      for (int k = 0; k < nd; ++k) *o++ = digits[k];
    } else {
      int int_digits = exp10 + 1;
      for (int k = 0; k < int_digits; ++k) *o++ = k < nd ? digits[k] : '0';
      *o++ = '.';
      if (nd > int_digits)
        for (int k = int_digits; k < nd; ++k) *o++ = digits[k];
      else
        *o++ = '0';
    }
  } else {
    *o++ = digits[0];
    if (nd > 1) {
      *o++ = '.';
      for (int k = 1; k < nd; ++k) *o++ = digits[k];
    }
    *o++ = 'e';
    *o++ = exp10 < 0 ? '-' : '+';
    int a = exp10 < 0 ? -exp10 : exp10;
    if (a < 10) *o++ = '0';
    o = std::to_chars(o, o + 4, a).ptr;
  }
  return static_cast<std::size_t>(o - out);
}

void append_double_repr(std::string& out, double d, bool json_tokens) {
  char buf[kMaxDoubleRepr];
  out.append(buf, write_double_repr(d, buf, json_tokens));
}

std::string double_repr(double d, bool json_tokens) {
  char buf[kMaxDoubleRepr];
  return std::string(buf, write_double_repr(d, buf, json_tokens));
}

std::size_t write_int(int64_t i, char* out) {
  return static_cast<std::size_t>(std::to_chars(out, out + kMaxIntText, i).ptr - out);
}

void append_int(std::string& out, int64_t i) {
  char buf[kMaxIntText];
  out.append(buf, write_int(i, buf));
}

std::string format_fixed(double x, int decimals) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  // glibc's printf converts from the exact binary value and breaks exact ties to even,
  // which is what Python's formatting does.
  int n = std::snprintf(nullptr, 0, "%.*f", decimals, x);
  std::string s(static_cast<size_t>(n), '\0');
  std::snprintf(s.data(), s.size() + 1, "%.*f", decimals, x);
  return s;
}

double round_decimals(double x, int ndigits) {
  if (!std::isfinite(x)) return x;
  // Fast path: scale, round to an integer, scale back. Only exact when the scaled value is
  // clearly away from a tie (the product itself may be rounded); near ties take the exact
  // decimal route below.
  static const double kScale[] = {1, 10, 100, 1000, 10000, 100000, 1000000};
  if (ndigits >= 0 && ndigits <= 6) {
    double scale = kScale[ndigits];
    double y = x * scale;
    if (std::fabs(y) < 4503599627370496.0) {  // 2^52: y still has a fractional part
      double frac = std::fabs(y - std::trunc(y));
      if (std::fabs(frac - 0.5) > 1e-6) {
        double r = std::nearbyint(y) / scale;
        if (r == 0.0) return std::signbit(x) ? -0.0 : 0.0;
        return r;
      }
    }
  }
  std::string s = format_fixed(x, ndigits);
  double r = std::strtod(s.c_str(), nullptr);
  // Python keeps the sign of a result that rounds to zero (round(-0.04, 1) == -0.0).
  if (r == 0.0) return std::signbit(x) ? -0.0 : 0.0;
  return r;
}

namespace {

bool is_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view strip(std::string_view t) {
  while (!t.empty() && is_space(static_cast<unsigned char>(t.front()))) t.remove_prefix(1);
  while (!t.empty() && is_space(static_cast<unsigned char>(t.back()))) t.remove_suffix(1);
  return t;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return true;
}

// Removes "_" separators, which Python allows only between two digits.
std::optional<std::string> drop_underscores(std::string_view t) {
  std::string out;
  out.reserve(t.size());
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '_') {
      bool ok = i > 0 && i + 1 < t.size() && std::isdigit(static_cast<unsigned char>(t[i - 1])) &&
                std::isdigit(static_cast<unsigned char>(t[i + 1]));
      if (!ok) return std::nullopt;
      continue;
    }
    out.push_back(t[i]);
  }
  return out;
}

}  // namespace

std::optional<double> parse_decimal(std::string_view text) {
  std::string_view t = strip(text);
  if (t.empty()) return std::nullopt;
  bool negative = false;
  std::string_view body = t;
  if (body[0] == '+' || body[0] == '-') {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (iequals(body, "inf") || iequals(body, "infinity")) return negative ? -HUGE_VAL : HUGE_VAL;
  if (iequals(body, "nan")) return negative ? -std::nan("") : std::nan("");
  // Grammar: [sign] (digits [. [digits]] | . digits) [(e|E) [sign] digits]
  size_t i = 0;
  size_t int_digits = 0, frac_digits = 0;
  while (i < body.size() && std::isdigit(static_cast<unsigned char>(body[i]))) { ++i; ++int_digits; }
  if (i < body.size() && body[i] == '.') {
    ++i;
    while (i < body.size() && std::isdigit(static_cast<unsigned char>(body[i]))) { ++i; ++frac_digits; }
  }
  if (int_digits + frac_digits == 0) return std::nullopt;
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
    size_t exp_digits = 0;
    while (i < body.size() && std::isdigit(static_cast<unsigned char>(body[i]))) { ++i; ++exp_digits; }
    if (exp_digits == 0) return std::nullopt;
  }
  if (i != body.size()) return std::nullopt;
  double v = 0;
  auto r = std::from_chars(body.data(), body.data() + body.size(), v, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) {
    // Overflow reads as infinity, underflow as zero, as Python's float does.
    v = std::strtod(std::string(body).c_str(), nullptr);
  }
  return negative ? -v : v;
}

std::optional<double> parse_python_float(std::string_view text) {
  if (text.find('_') == std::string_view::npos) return parse_decimal(text);
  auto cleaned = drop_underscores(strip(text));
  if (!cleaned) return std::nullopt;
  return parse_decimal(*cleaned);
}

std::optional<std::string> parse_python_int_text(std::string_view text) {
  std::string_view t = strip(text);
  if (t.empty()) return std::nullopt;
  bool negative = false;
  if (t[0] == '+' || t[0] == '-') {
    negative = t[0] == '-';
    t.remove_prefix(1);
  }
  if (t.empty()) return std::nullopt;
  auto cleaned = drop_underscores(t);
  if (!cleaned || cleaned->empty()) return std::nullopt;
  for (char c : *cleaned) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  size_t first = cleaned->find_first_not_of('0');
  std::string digits = first == std::string::npos ? "0" : cleaned->substr(first);
  if (negative && digits != "0") digits.insert(digits.begin(), '-');
  return digits;
}

std::string whole_double_digits(double d) {
  char buf[400];
  int n = std::snprintf(buf, sizeof buf, "%.0f", d);
  std::string s(buf, static_cast<size_t>(n));
  if (s == "-0") s = "0";
  return s;
}

}  // namespace halvex
