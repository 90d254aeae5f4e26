// Text forms of numbers exactly as Python writes and reads them; the one implementation both
// cores use (the renderer's JSON and page texts, the feature builder's text forms).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace halvex {

// Longest text write_double_repr can produce ("-2.2250738585072014e-308", "-Infinity").
inline constexpr std::size_t kMaxDoubleRepr = 32;

// repr(float): the shortest text that reads back to the same double, laid out as Python does
// ("12.0", "0.1", "1e-05", "1e+16"). Non-finite values are written as JSON tokens ("NaN",
// "Infinity", "-Infinity") when json_tokens is set, else as Python's str() does ("nan",
// "inf", "-inf"). write_double_repr writes at most kMaxDoubleRepr characters to `out` and
// returns how many.
std::size_t write_double_repr(double d, char* out, bool json_tokens = true);
void append_double_repr(std::string& out, double d, bool json_tokens = true);
std::string double_repr(double d, bool json_tokens = true);

// Longest text write_int can produce ("-9223372036854775808").
inline constexpr std::size_t kMaxIntText = 20;

// str(int): the decimal digits, "-" first when negative. write_int writes at most
// kMaxIntText characters to `out` and returns how many.
std::size_t write_int(int64_t i, char* out);
void append_int(std::string& out, int64_t i);

// str(bool).
inline std::string_view bool_text(bool b) { return b ? "True" : "False"; }

// "%.{decimals}f" % x: fixed point, rounded from the exact double, exact ties to even.
std::string format_fixed(double x, int decimals);

// Python's round(x, ndigits) for ndigits >= 0 on a finite double.
double round_decimals(double x, int ndigits);

// Decimal number text: ASCII white space around an optionally signed number, digits with an
// optional point and exponent, or inf / infinity / nan in any case. Overflow reads as an
// infinity and underflow as zero. nullopt for anything else.
std::optional<double> parse_decimal(std::string_view text);

// float(text): parse_decimal, plus "_" between two digits. nullopt when Python would fail.
std::optional<double> parse_python_float(std::string_view text);

// int(text) for base 10: white space around an optionally signed run of digits (with "_"
// between digits). Returns the canonical decimal digits (leading "-" when negative), or
// nullopt when Python would fail.
std::optional<std::string> parse_python_int_text(std::string_view text);

// Decimal digits of a whole-valued finite double (exact, any magnitude).
std::string whole_double_digits(double d);

}  // namespace halvex
