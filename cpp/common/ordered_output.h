// Output made in numbered pieces on several threads and passed on in their order.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace halvex {

// Piece k goes to the sink once pieces 0..k-1 have, written by the thread whose piece
// completed that run while the others go on making theirs; later pieces wait in memory
// meanwhile. The sink is called on one thread at a time. Buffers of written pieces come back
// through buffer(), so their memory is touched once instead of being faulted in afresh for
// every piece.
class OrderedOutput {
 public:
  using Sink = std::function<void(std::string_view)>;
  explicit OrderedOutput(Sink sink) : sink_(std::move(sink)) {}

  // An empty buffer, with the room of a piece already written where there is one.
  std::string buffer();
  // Piece k's text (k not given before). Throws what the sink threw, from this call or any
  // later one: after a failure nothing more is written.
  void put(std::size_t k, std::string text);
  // Pieces written so far.
  std::size_t written() const;

 private:
  Sink sink_;
  mutable std::mutex mu_;
  std::map<std::size_t, std::string> waiting_;
  std::vector<std::string> spare_;
  std::size_t next_ = 0;
  bool writing_ = false;
  std::exception_ptr failed_;
};

}  // namespace halvex
