// The number texts live in common/number_text.h. These names keep files outside the JSON
// layer that still spell them json:: (the bindings, the page writer) building; new code
// includes common/number_text.h.
#pragma once

#include "common/number_text.h"

namespace halvex::json {

using halvex::append_double_repr;
using halvex::append_int;
using halvex::double_repr;
using halvex::format_fixed;
using halvex::parse_python_float;
using halvex::parse_python_int_text;
using halvex::round_decimals;
using halvex::whole_double_digits;

}  // namespace halvex::json
