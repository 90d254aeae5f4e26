#include "common/ordered_output.h"

#include <utility>

namespace halvex {

namespace {
// Buffers kept for reuse: one per thread at work and a few in the queue are enough.
constexpr std::size_t kSpareBuffers = 8;
}  // namespace

std::string OrderedOutput::buffer() {
  std::lock_guard lock(mu_);
  if (spare_.empty()) return std::string();
  std::string b = std::move(spare_.back());
  spare_.pop_back();
  return b;
}

std::size_t OrderedOutput::written() const {
  std::lock_guard lock(mu_);
  return next_;
}

void OrderedOutput::put(std::size_t k, std::string text) {
  std::unique_lock lock(mu_);
  if (failed_) std::rethrow_exception(failed_);
  waiting_.emplace(k, std::move(text));
  if (writing_) return;  // the thread writing now takes it when its turn comes
  writing_ = true;
  for (auto it = waiting_.begin(); it != waiting_.end() && it->first == next_; it = waiting_.begin()) {
    std::string piece = std::move(it->second);
    waiting_.erase(it);
    lock.unlock();
    try {
      sink_(piece);
    } catch (...) {
      lock.lock();
      failed_ = std::current_exception();
      waiting_.clear();
      writing_ = false;
      throw;
    }
    piece.clear();
    lock.lock();
    ++next_;
    if (spare_.size() < kSpareBuffers) spare_.push_back(std::move(piece));
  }
  writing_ = false;
}

}  // namespace halvex
