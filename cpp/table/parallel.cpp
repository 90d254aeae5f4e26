#include "table/parallel.h"

namespace halvex::table {

std::size_t worker_count(std::size_t rows) {
  std::size_t want = halvex::worker_threads();
  std::size_t by_size = rows / kMinRowsPerThread;
  if (by_size < 1) by_size = 1;
  return want < by_size ? want : by_size;
}

std::vector<RowRange> even_ranges(std::size_t n, std::size_t parts) {
  if (parts < 1) parts = 1;
  std::vector<RowRange> out;
  std::size_t start = 0;
  for (std::size_t k = 0; k < parts; ++k) {
    std::size_t end = n * (k + 1) / parts;
    if (end > start) out.push_back({start, end});
    start = end;
  }
  return out;
}

}  // namespace halvex::table
