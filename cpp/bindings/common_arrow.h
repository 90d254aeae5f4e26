// The tables' sources read through DuckDB's Python package hand their rows over as Arrow streams.
#pragma once

#include <nanobind/nanobind.h>

#include "table/arrow_bridge.h"

namespace halvex::py {

// Takes over the Arrow stream of a pyarrow object.
inline table::OwnedArrowStream stream_of(nanobind::handle arrow) {
  nanobind::object capsule = arrow.attr("__arrow_c_stream__")();
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.ptr(), "arrow_array_stream"));
  if (!stream) throw nanobind::python_error();
  return table::OwnedArrowStream(stream);
}

}  // namespace halvex::py
