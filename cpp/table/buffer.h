// Owning, uninitialised storage for column data.
//
// Memory comes from malloc-compatible allocation so a finished buffer can be
// handed to another owner (numpy, Arrow) and released there with std::free.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/errors.h"

namespace halvex::table {

void* allocate_bytes(std::size_t bytes);
// Frees memory from allocate_bytes (or malloc): large blocks go back to the
// open WarmBlocks cache, if any, for the next large allocation.
void release_bytes(void* p, std::size_t bytes);

// Large blocks at least this big are cached by WarmBlocks.
inline constexpr std::size_t kWarmMinBytes = std::size_t{4} << 20;

// Reuse of large, already written memory during one big computation.
//
// On virtual machines the first write to a fresh page costs far more than
// any later one, and freed large blocks go straight back to the kernel. While
// a WarmBlocks is alive, large buffers that die are kept and handed to the
// next large allocation of about their size. Everything still cached is freed
// when the last WarmBlocks ends. Buffers handed out stay ordinary malloc
// blocks, released with std::free anywhere.
class WarmBlocks {
 public:
  WarmBlocks();
  ~WarmBlocks();
  WarmBlocks(const WarmBlocks&) = delete;
  WarmBlocks& operator=(const WarmBlocks&) = delete;

  // Allocations served from the cache, and large ones that were not.
  static std::size_t hits();
  static std::size_t misses();
};

template <class T>
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(std::size_t n) : data_(static_cast<T*>(allocate_bytes(n * sizeof(T)))), size_(n) {}
  Buffer(std::size_t n, T fill) : Buffer(n) {
    for (std::size_t i = 0; i < n; ++i) data_[i] = fill;
  }
  // Zero-filled. Large zeroed blocks come straight from the kernel's zero
  // pages, so a column that is never written costs no page clearing.
  static Buffer zeroed(std::size_t n) {
    // calloc, not the warm cache: untouched zero pages cost nothing.
    Buffer b;
    b.data_ = static_cast<T*>(std::calloc(n ? n : 1, sizeof(T)));
    if (!b.data_) throw_no_memory(n * sizeof(T));
    b.size_ = n;
    return b;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& o) noexcept : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  Buffer& operator=(Buffer&& o) noexcept {
    if (this != &o) {
      release_bytes(data_, size_ * sizeof(T));
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
    }
    return *this;
  }
  ~Buffer() { release_bytes(data_, size_ * sizeof(T)); }

  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

  // Grows or shrinks, keeping the first min(old, new) elements.
  void resize(std::size_t n) {
    if (n == size_) return;
    T* p = static_cast<T*>(allocate_bytes(n * sizeof(T)));
    if (data_) std::memcpy(p, data_, (n < size_ ? n : size_) * sizeof(T));
    release_bytes(data_, size_ * sizeof(T));
    data_ = p;
    size_ = n;
  }

  Buffer clone() const {
    Buffer b(size_);
    if (size_) std::memcpy(b.data_, data_, size_ * sizeof(T));
    return b;
  }

  // Gives up ownership; the caller frees the pointer with std::free.
  T* release() {
    size_ = 0;
    return std::exchange(data_, nullptr);
  }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace halvex::table
