// The rows of the standard page: ordered, catalogued, encoded and cut into chunks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/catalogue.h"
#include "pipeline/row_encoding.h"
#include "pipeline/row_source.h"

namespace halvex::pipeline {

struct StandardRows {
  std::vector<uint32_t> order;      // row positions, largest son_risk first
  Catalogue catalogue;              // regions and branches in order of appearance
  std::vector<std::string> chunks;  // compact JSON arrays of row arrays ("<" as \u003c)
};

// Equivalent to ordering `kept` by son_risk, building the catalogue over the ordered rows and
// encoding them in that order, but every row is read once, in document order: the rows of a
// large document are scattered in memory, and reading them in sorted order would wait on
// memory for most of the time. The region and branch positions, which depend on the order,
// are filled in when the chunks are assembled.
void build_standard_rows(RowSource& rows, const std::vector<uint32_t>& kept, const RowLayout& layout,
                         const ReferenceNames& names, int64_t chunk_size, StandardRows& out);

}  // namespace halvex::pipeline
