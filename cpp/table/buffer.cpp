#include "table/buffer.h"

#include <sys/mman.h>

namespace halvex::table {

void* allocate_bytes(std::size_t bytes) {
  if (bytes == 0) bytes = 1;
  if (bytes >= kHugeAllocBytes) {
    constexpr std::size_t kAlign = std::size_t{2} << 20;
    std::size_t rounded = (bytes + kAlign - 1) / kAlign * kAlign;
    void* p = std::aligned_alloc(kAlign, rounded);
    if (!p) throw std::bad_alloc();
    madvise(p, rounded, MADV_HUGEPAGE);  // advisory; failure is harmless
    return p;
  }
  void* p = std::malloc(bytes);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace halvex::table
