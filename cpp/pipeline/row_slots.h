// Where each value sits in a row array of a page: the one definition the page script reads
// (as the context variable row_slots_js) instead of counting positions itself.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "pipeline/row_encoding.h"

namespace halvex::pipeline {

// (name, position) of every slot of the layout, in row order; "scores", "r", "rd" and "df"
// are the first of their P or R period values, "width" is the length of a row.
std::vector<std::pair<const char*, size_t>> row_slots(const RowLayout& layout);

// The slots as compact JSON: {"layout":"v316"|"v300","P":P,"R":R,"muta":0,...,"width":N}.
std::string row_slots_json(const RowLayout& layout);

}  // namespace halvex::pipeline
