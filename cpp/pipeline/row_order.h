// Rows ordered by latest risk (son_risk), largest first; stable.
#pragma once

#include <cstdint>
#include <vector>

#include "pipeline/row_source.h"

namespace halvex::pipeline {

// Sorts `rows_in_order` (row positions) by son_risk, descending. An absent, null, false,
// zero, empty or NaN value counts as 0; rows with equal keys keep their relative order.
// Throws TypeError when keys cannot be compared (text among numbers, lists, objects).
void order_by_risk(RowSource& rows, std::vector<uint32_t>& rows_in_order);

}  // namespace halvex::pipeline
