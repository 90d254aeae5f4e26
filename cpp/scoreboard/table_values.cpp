#include "scoreboard/table_values.h"

#include <cmath>
#include <cstdint>

namespace halvex::scoreboard {

using table::DType;

json::Value cell_value(const table::Column& c, std::size_t i) {
  switch (c.type()) {
    case DType::Text: return json::Value::string(c.str(i));
    case DType::Int64: return json::Value::integer(c.i64[i]);
    case DType::Bool: return json::Value::boolean(c.b8[i] != 0);
    case DType::Float64: break;
  }
  return json::Value::real(c.f64[i]);
}

json::Value number_value(double v) {
  // Beyond 2^53 a double's digits are no longer all its own: kept a double there.
  if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) <= 9007199254740992.0)
    return json::Value::integer(static_cast<std::int64_t>(v));
  return json::Value::real(v);
}

}  // namespace halvex::scoreboard
