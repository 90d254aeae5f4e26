// Type conversions and fills.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "table/column.h"

namespace halvex::table {

// Parses decimal number text: optional surrounding blanks, sign, digits with
// an optional point and exponent, "inf"/"nan". Empty or anything else: nullopt.
std::optional<double> parse_number(std::string_view s);
// Parses integer text: optional surrounding blanks, sign, decimal digits.
std::optional<std::int64_t> parse_integer(std::string_view s);

// Numeric value of one row: numbers unchanged, booleans 1/0, text parsed,
// anything else (missing included) NaN.
double numeric_at(const Column& c, std::size_t i);

// Numeric value of every row as Float64: numbers unchanged, booleans 1/0,
// text parsed, anything unparseable missing.
Column to_numeric(const Column& c);

// Float64 value of every row; text that does not parse is an error (naming
// `what`), missing stays missing.
Column to_float64(const Column& c, const std::string& what);

// Int64 value of every row, floats truncated toward zero. Missing values take
// `missing_as`, or are an error without it; NaN, infinities, floats outside
// the int64 range and non-integer text are errors naming `what`.
Column to_int64(const Column& c, const std::string& what,
                std::optional<std::int64_t> missing_as = std::nullopt);

// One value of to_int64.
std::int64_t int64_at(const Column& c, std::size_t i, const std::string& what,
                      std::optional<std::int64_t> missing_as = std::nullopt);

// Replaces missing values of a Float64 column with v.
void fill_missing(Column& c, double v);
// Replaces missing values of a Float64 column with the same row of `other`.
void fill_missing(Column& c, const Column& other);

}  // namespace halvex::table
