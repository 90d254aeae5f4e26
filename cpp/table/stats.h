// Column summaries.
#pragma once

#include <cstddef>

#include "table/column.h"

namespace halvex::table {

// Number of distinct present values (0.0 and -0.0 count as one).
std::size_t count_distinct(const Column& c);
// Sum of the present values (as double; Text is an error).
double sum(const Column& c);

}  // namespace halvex::table
