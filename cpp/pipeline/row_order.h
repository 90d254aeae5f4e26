// Ordering rows by latest risk (son_risk), largest first; stable.
#pragma once

#include <cstdint>
#include <vector>

#include "pipeline/row_source.h"

namespace halvex::pipeline {

// Collects the son_risk of rows one at a time, then orders them.
class RiskOrder {
 public:
  explicit RiskOrder(size_t n);
  ~RiskOrder();
  RiskOrder(const RiskOrder&) = delete;
  RiskOrder& operator=(const RiskOrder&) = delete;
  // The son_risk of the n-th row (found false when absent), which stands at `position` in the
  // document's rows and has the customer number `muta` (or nullptr): those name the row in
  // errors. Different rows may be added from different threads.
  void add(size_t n, const json::Value& v, bool found, size_t position, const json::Value* muta);
  // Positions 0..n-1 ordered by key, largest first, stable. Throws TypeError for keys that
  // cannot be compared, naming the first row whose text key stands among numbers.
  std::vector<uint32_t> sorted_positions() const;

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace halvex::pipeline
