#include "json/number_text.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace halvex::json {

void append_double_repr(std::string& out, double d, bool json_tokens) {
  if (std::isnan(d)) {
    out += json_tokens ? "NaN" : "nan";
    return;
  }
  if (std::isinf(d)) {
    if (json_tokens) out += d < 0 ? "-Infinity" : "Infinity";
    else out += d < 0 ? "-inf" : "inf";
    return;
  }
  // Shortest round-trip digits in scientific form, e.g. "1.2345e+02", then laid out the way
  // Python's repr does: plain notation for decimal exponents -4..15, scientific otherwise.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  size_t e_pos = sci.find('e');
  std::string_view mant = sci.substr(0, e_pos);
  int exp10 = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());
  bool negative = false;
  if (!mant.empty() && mant[0] == '-') {
    negative = true;
    mant.remove_prefix(1);
  }
  std::string digits;
  digits.reserve(mant.size());
  for (char c : mant) {
    if (c != '.') digits.push_back(c);
  }
  if (negative) out.push_back('-');
  if (exp10 >= -4 && exp10 < 16) {
    if (exp10 < 0) {
      out += "0.";
      out.append(static_cast<size_t>(-exp10 - 1), '0');
      out += digits;
    } else {
      size_t int_len = static_cast<size_t>(exp10) + 1;
      if (digits.size() <= int_len) {
        out += digits;
        out.append(int_len - digits.size(), '0');
        out += ".0";
      } else {
        out.append(digits, 0, int_len);
        out.push_back('.');
        out.append(digits, int_len, std::string::npos);
      }
    }
  } else {
    out.push_back(digits[0]);
    if (digits.size() > 1) {
      out.push_back('.');
      out.append(digits, 1, std::string::npos);
    }
    out.push_back('e');
    out.push_back(exp10 < 0 ? '-' : '+');
    int a = exp10 < 0 ? -exp10 : exp10;
    if (a < 10) out.push_back('0');
    out += std::to_string(a);
  }
}

std::string double_repr(double d, bool json_tokens) {
  std::string s;
  append_double_repr(s, d, json_tokens);
  return s;
}

void append_int(std::string& out, int64_t i) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, i);
  out.append(buf, res.ptr);
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

std::optional<double> parse_python_float(std::string_view text) {
  std::string_view t = strip(text);
  if (t.empty()) return std::nullopt;
  bool negative = false;
  std::string_view body = t;
  if (body[0] == '+' || body[0] == '-') {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (iequals(body, "inf") || iequals(body, "infinity")) {
    return negative ? -HUGE_VAL : HUGE_VAL;
  }
  if (iequals(body, "nan")) return negative ? -std::nan("") : std::nan("");
  auto cleaned = drop_underscores(t);
  if (!cleaned) return std::nullopt;
  // Grammar: [sign] (digits [. [digits]] | . digits) [(e|E) [sign] digits]
  const std::string& s = *cleaned;
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  size_t int_digits = 0, frac_digits = 0;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) { ++i; ++int_digits; }
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) { ++i; ++frac_digits; }
  }
  if (int_digits + frac_digits == 0) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t exp_digits = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) { ++i; ++exp_digits; }
    if (exp_digits == 0) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;
  // strtod is correctly rounded and gives +-inf / 0 on overflow / underflow, like Python.
  return std::strtod(s.c_str(), nullptr);
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

}  // namespace halvex::json
