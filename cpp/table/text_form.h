// Text form of values: what a value becomes when it is compared as text or
// used as a key. Text is unchanged; an integer is its decimal digits; a
// float is its shortest round-trip decimal form with at least one digit after
// the point ("12.0", "0.1", "1e+16", halvex::double_repr); booleans are "True"
// and "False".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "table/column.h"

namespace halvex::table {

// Appends the text form of row i to out; returns false (appending nothing)
// when the value is missing.
bool append_text_form(const Column& c, std::size_t i, std::string& out);

// Whether the text form of row i equals s; a missing value equals nothing.
bool text_form_equals(const Column& c, std::size_t i, std::string_view s);

// Bool column: whether the text form of each row is one of `codes` (missing
// values match nothing). Numbers are matched without formatting each row.
Column text_form_in(const Column& c, const std::vector<std::string>& codes);

// The text form of every row; missing values stay missing.
Column to_text(const Column& c);

}  // namespace halvex::table
