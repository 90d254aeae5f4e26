// Left join on two key columns.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "table/buffer.h"
#include "table/column.h"

namespace halvex::table {

struct JoinIndices {
  // Row of the left table for each output row; empty when the output rows are
  // exactly the left rows in order (no left row matched more than once).
  Buffer<std::int64_t> left;
  // Row of the right table for each output row, -1 where nothing matched.
  Buffer<std::int64_t> right;
};

// Told the number of output rows once the join has counted them and before it
// allocates them, when some left row matches more than once (the output then
// outgrows the left side); it may throw to stop the join.
using JoinRowsCounted = std::function<void(std::size_t rows)>;

// Every left row in order, once per matching right row (in right-row order),
// or once with -1 when none matches. Keys are Text columns compared byte for
// byte; a missing key matches nothing.
JoinIndices left_join(const Column& left1, const Column& left2, const Column& right1, const Column& right2,
                      const JoinRowsCounted& counted = {});

// The same join with second keys given as codes of one dictionary (-1 for a
// missing key): equal codes stand for equal keys. Spares comparing texts when
// the second key has few distinct values.
JoinIndices left_join_coded(const Column& left1, const std::int32_t* left2, const Column& right1,
                            const std::int32_t* right2, const JoinRowsCounted& counted = {});

}  // namespace halvex::table
