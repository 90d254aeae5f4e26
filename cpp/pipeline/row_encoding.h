// Row objects as compact row arrays: the standard page layout (14 + P + 3R values) and the
// leaner compressed-chunk layout (4 + P + R values). The page script reads values by position.
#pragma once

#include <string>
#include <vector>

#include "json/value.h"
#include "pipeline/catalogue.h"
#include "pipeline/row_source.h"

namespace halvex::pipeline {

// The member names a layout reads, in the order the encoders expect them from RowSource.
struct RowLayout {
  size_t periods = 0;       // P
  size_t risk_periods = 0;  // R
  bool compressed_page = false;  // the leaner layout of the compressed-chunk page
  std::vector<std::string> keys;

  static RowLayout standard(const std::vector<json::Value>& donemler,
                            const std::vector<json::Value>& risk_donemler);
  static RowLayout compressed(const std::vector<json::Value>& donemler,
                              const std::vector<json::Value>& risk_donemler);
};

// The elements of a period list as the renderer walks it (array items, object keys, or the
// characters of a string). Throws TypeError for a value that cannot be iterated.
std::vector<json::Value> period_items(const json::Value& list, json::Arena& arena);

// Encodes one row given the values fetched for layout.keys. Text the result needs beyond the
// fetched values is put in `scratch`.
void encode_row_standard(const RowLayout& layout, const json::Value* values, const bool* found,
                         const Catalogue& catalogue, json::Arena& scratch,
                         std::vector<json::Value>& out);
void encode_row_compressed(const RowLayout& layout, const json::Value* values, const bool* found,
                           json::Arena& scratch, std::vector<json::Value>& out);

// Row i of `rows` encoded for its layout's page (`catalogue` serves the standard page), as
// one array in `arena`; the text it points into stays valid until the next fetch from `rows`.
json::Value encode_source_row(RowSource& rows, size_t i, const RowLayout& layout, const Catalogue& catalogue,
                              json::Arena& arena);

}  // namespace halvex::pipeline
