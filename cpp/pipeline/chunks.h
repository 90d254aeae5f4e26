// Row arrays cut into data chunks of compact JSON, and their gzip+base64 form.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/parallel.h"
#include "pipeline/catalogue.h"
#include "pipeline/row_encoding.h"
#include "pipeline/row_source.h"

namespace halvex::pipeline {

// ceil(n_rows / chunk_size) when there are rows, else 1 (one chunk holding "[]").
// Throws ZeroDivisionError for a zero chunk_size with rows.
size_t chunk_count(size_t n_rows, int64_t chunk_size);

// The compressed-chunk layout: each chunk's compact JSON (as written by Python, NaN and
// Infinity as bare tokens) is gzip-compressed at level 6 and base64-encoded.
struct CompressedChunks {
  std::vector<std::string> base64;
  uint64_t raw_bytes = 0;   // UTF-8 bytes of the JSON texts
  uint64_t b64_chars = 0;   // characters of the base64 texts
};
// Orders the rows in `kept` by son_risk (as order_by_risk) and encodes them as compressed
// chunks. Rows are read once, in document order (on several threads when the source can be
// cloned); chunks are then put together in page order and compressed on `threads` threads.
// The result does not depend on the number of threads (halvex::worker_threads() is the
// usual choice).
CompressedChunks encode_compressed_chunks(RowSource& rows, const std::vector<uint32_t>& kept,
                                          const RowLayout& layout, int64_t chunk_size,
                                          unsigned threads);

// One complete gzip member of `data` at the given level.
std::string gzip_compress(std::string_view data, int level);
// Standard base64 (RFC 4648 alphabet, padded, no line breaks).
std::string base64_encode(std::string_view data);

}  // namespace halvex::pipeline
