// Where each value sits in a row array, as the page script reads it: a compact JSON object
// handed to the templates, so the script never hard-codes a position.
#pragma once

#include <string>

#include "pipeline/row_encoding.h"

namespace halvex::pipeline {

// {"layout":"v316"|"v300","P":..,"R":..,"muta":0,...,"width":..}: keys in array order, slots
// a layout does not have left out.
std::string row_slots_json(const RowLayout& layout);

}  // namespace halvex::pipeline
