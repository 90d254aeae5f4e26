// Moving data between Arrow's C interfaces and Tables.
#pragma once

#include <functional>
#include <string>

#include "table/arrow_abi.h"
#include "table/table.h"

namespace halvex::table {

// Reads a whole stream of struct record batches into a Table with the
// stream's column names and order. Columns for which `wanted` returns false
// are not converted (they are left out of the table). Supported value types:
// null, bool, signed and unsigned integers, float32/64, decimal (as float64),
// utf8, large utf8, utf8 view, binary, and dictionaries of these. Anything
// else raises UnsupportedType naming the column. The stream is not released.
Table import_arrow_stream(ArrowArrayStream* stream,
                          const std::function<bool(const std::string&)>& wanted = nullptr);

// Exports a Text column as an Arrow large_utf8 array, taking over its
// buffers; the consumer's release callback frees them.
void export_text_column(Column&& c, ArrowArray* out_array, ArrowSchema* out_schema);

}  // namespace halvex::table
