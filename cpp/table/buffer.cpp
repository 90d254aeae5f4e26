#include "table/buffer.h"

namespace halvex::table {

// Plain malloc: large blocks are fresh mappings. Huge-page advice was tried
// and makes the first write markedly slower on virtual machines, where each
// 2 MiB page is cleared and backed in one long fault.
void* allocate_bytes(std::size_t bytes) {
  if (bytes == 0) bytes = 1;
  void* p = std::malloc(bytes);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace halvex::table
