// Text forms of numbers exactly as Python writes and reads them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace halvex::json {

// repr(float): shortest text that reads back to the same double, "12.0", "1e-05", "1e+16".
// Non-finite values are written as JSON tokens ("NaN", "Infinity", "-Infinity") when
// json_tokens is set, else as Python's str() does ("nan", "inf", "-inf").
void append_double_repr(std::string& out, double d, bool json_tokens = true);
std::string double_repr(double d, bool json_tokens = true);

void append_int(std::string& out, int64_t i);

// "%.{decimals}f" % x: fixed point, rounded from the exact double, exact ties to even.
std::string format_fixed(double x, int decimals);

// Python's round(x, ndigits) for ndigits >= 0 on a finite double.
double round_decimals(double x, int ndigits);

// float(text): surrounding white space, sign, digits with an optional point and exponent,
// "_" between digits, and inf/infinity/nan in any case. nullopt when Python would fail.
std::optional<double> parse_python_float(std::string_view text);

// int(text) for base 10: white space around an optionally signed run of digits (with "_"
// between digits). Returns the canonical decimal digits (leading "-" when negative), or
// nullopt when Python would fail.
std::optional<std::string> parse_python_int_text(std::string_view text);

// Decimal digits of a whole-valued finite double (exact, any magnitude).
std::string whole_double_digits(double d);

}  // namespace halvex::json
