#include "table/buffer.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "common/parallel.h"

namespace halvex::table {

namespace {

struct Block {
  void* p;
  std::size_t bytes;
};

struct Cache {
  std::mutex m;
  int open = 0;  // live WarmBlocks objects
  std::vector<Block> blocks;
  std::atomic<std::size_t> hits{0}, misses{0};
};

Cache& cache() {
  static Cache* c = new Cache;  // never destroyed: buffers may die at exit
  return *c;
}

// The smallest cached block that holds `bytes` without wasting over a quarter.
void* take(std::size_t bytes) {
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.m);
  if (!c.open) return nullptr;
  std::size_t best = c.blocks.size();
  for (std::size_t k = 0; k < c.blocks.size(); ++k) {
    std::size_t have = c.blocks[k].bytes;
    if (have >= bytes && bytes >= have / 4 * 3 && (best == c.blocks.size() || have < c.blocks[best].bytes)) best = k;
  }
  if (best == c.blocks.size()) {
    ++c.misses;
    return nullptr;
  }
  void* p = c.blocks[best].p;
  c.blocks[best] = c.blocks.back();
  c.blocks.pop_back();
  ++c.hits;
  return p;
}

bool give(void* p, std::size_t bytes) {
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.m);
  if (!c.open) return false;
  c.blocks.push_back({p, bytes});
  return true;
}

// Maps the pages of a fresh large block in one call: a fault per 4 KiB page,
// taken as the block is first written, costs about a third more (on virtual
// machines most of a large build's system time). Pages already mapped are
// left as they are. Where the kernel lacks the call (before 5.14) the pages
// fault as they are written.
void populate(void* p, std::size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  const std::uintptr_t page = 4096;
  const std::uintptr_t a = (reinterpret_cast<std::uintptr_t>(p) + page - 1) & ~(page - 1);
  const std::uintptr_t e = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(page - 1);
  if (e > a) (void)madvise(reinterpret_cast<void*>(a), e - a, MADV_POPULATE_WRITE);
#else
  (void)p;
  (void)bytes;
#endif
}

}  // namespace

// Plain malloc: huge-page advice was tried and makes the first write markedly
// slower on virtual machines, where each 2 MiB page is cleared in one fault.
void* allocate_bytes(std::size_t bytes) {
  if (bytes == 0) bytes = 1;
  if (bytes >= kWarmMinBytes)
    if (void* p = take(bytes)) return p;
  void* p = std::malloc(bytes);
  if (!p) throw_no_memory(bytes);
  if (bytes >= kWarmMinBytes) {
    // Split over the threads, as the writes that would have faulted are: a
    // column is mostly allocated by one thread and written by all.
    std::size_t threads = std::min<std::size_t>(halvex::worker_threads(), bytes / kWarmMinBytes);
    const std::size_t part = (bytes / threads + 4095) & ~std::size_t{4095};
    halvex::run_parallel(threads, [&](std::size_t t) {
      const std::size_t b = t * part;
      if (b < bytes) populate(static_cast<char*>(p) + b, std::min(part, bytes - b));
    });
  }
  return p;
}

void release_bytes(void* p, std::size_t bytes) {
  if (!p) return;
  if (bytes >= kWarmMinBytes && give(p, bytes)) return;
  std::free(p);
}

WarmBlocks::WarmBlocks() {
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.m);
  ++c.open;
}

WarmBlocks::~WarmBlocks() {
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.m);
  if (--c.open > 0) return;
  for (const Block& b : c.blocks) std::free(b.p);
  c.blocks.clear();
}

std::size_t WarmBlocks::hits() { return cache().hits; }
std::size_t WarmBlocks::misses() { return cache().misses; }

}  // namespace halvex::table
