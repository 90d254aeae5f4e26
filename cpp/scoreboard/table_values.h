// Cells of a fact table as JSON values.
#pragma once

#include <cstddef>

#include "json/value.h"
#include "table/column.h"

namespace halvex::scoreboard {

// Row i as stored: text as a string, integers and booleans as such, floats as doubles.
// The column must hold a value at i.
json::Value cell_value(const table::Column& c, std::size_t i);

// A score or an amount: a whole number as an integer (as the bank's own documents write
// them), any other as a double.
json::Value number_value(double v);

}  // namespace halvex::scoreboard
