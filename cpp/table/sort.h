// Ordering and row selection.
#pragma once

#include <cstdint>
#include <vector>

#include "table/column.h"
#include "table/table.h"

namespace halvex::table {

// Three-way comparison of rows i and j of one column, ascending, missing
// values last (two missing values are equal). Columns of one type only.
int compare_rows(const Column& c, std::size_t i, std::size_t j);

// Whether the rows are already in ascending (k1, k2) order.
bool is_sorted_by(const Column& k1, const Column& k2);

// Row order of a stable ascending sort by k1, then k2 (missing last); rows
// with equal keys keep their order.
std::vector<std::int64_t> stable_sort_indices(const Column& k1, const Column& k2);

// Rows idx[0..n) of c; a negative index gives a missing value (Int64 and Bool
// then get a presence mask).
Column take(const Column& c, const std::int64_t* idx, std::size_t n);
Table take(const Table& t, const std::vector<std::int64_t>& idx);

// The table's rows replaced by rows order[0..), which may repeat or skip rows.
void reorder(Table& t, const std::int64_t* order, std::size_t n);

}  // namespace halvex::table
