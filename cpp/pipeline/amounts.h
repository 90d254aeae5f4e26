// Conversions of the row encodings: amounts in million TL and integer score codes.
#pragma once

#include "json/value.h"

namespace halvex::pipeline {

// An amount in TL as million TL: null when it is not a number; a whole number (ties to
// even) from one million up in absolute value; below that a double rounded to one decimal.
// Throws OverflowError for an infinite amount. Text in the result lives in `arena`.
json::Value mio(const json::Value& v, json::Arena& arena);

// The score of one period: null when absent or unconvertible, -1 for "YI", else the integer
// value (floats truncated toward zero). Throws OverflowError for an infinite score.
json::Value score_code(const json::Value* v, json::Arena& arena);

}  // namespace halvex::pipeline
