// Type conversions and fills.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "table/column.h"

namespace halvex::table {

// Parses decimal number text (halvex::parse_decimal): optional surrounding
// blanks, sign, digits with an optional point and exponent, "inf"/"nan".
// Empty or anything else: nullopt.
std::optional<double> parse_number(std::string_view s);
// Parses integer text: optional surrounding blanks, sign, decimal digits.
std::optional<std::int64_t> parse_integer(std::string_view s);

// Numeric value of one row: numbers unchanged, booleans 1/0, text parsed,
// anything else (missing included) NaN.
double numeric_at(const Column& c, std::size_t i);

// Float64 value of every row; text that does not parse is an error (naming
// `what`), missing stays missing.
Column to_float64(const Column& c, const std::string& what);

// Int64 value of row i, a float truncated toward zero. A missing value takes
// `missing_as`, or is an error without it; NaN, infinities, floats outside
// the int64 range and non-integer text are errors naming `what`.
std::int64_t int64_at(const Column& c, std::size_t i, const std::string& what,
                      std::optional<std::int64_t> missing_as = std::nullopt);

}  // namespace halvex::table
