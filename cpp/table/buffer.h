// Owning, uninitialised storage for column data.
//
// Memory comes from malloc-compatible allocation so a finished buffer can be
// handed to another owner (numpy, Arrow) and released there with std::free.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace halvex::table {

void* allocate_bytes(std::size_t bytes);

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
    Buffer b;
    b.data_ = static_cast<T*>(std::calloc(n ? n : 1, sizeof(T)));
    if (!b.data_) throw std::bad_alloc();
    b.size_ = n;
    return b;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& o) noexcept : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  Buffer& operator=(Buffer&& o) noexcept {
    if (this != &o) {
      std::free(data_);
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
    }
    return *this;
  }
  ~Buffer() { std::free(data_); }

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
    std::free(data_);
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
