#include "json/lazy_rows.h"

#include <atomic>

#include "common/errors.h"
#include "json/document_file.h"

namespace halvex::json {

FieldSet::FieldSet(std::vector<std::string> keys) : keys_(std::move(keys)) {
  for (size_t k = 0; k < keys_.size(); ++k) {
    for (size_t j = 0; j < k; ++j) {
      if (keys_[j] == keys_[k]) {
        repeats_.emplace_back(k, j);
        break;
      }
    }
  }
}

void FieldSet::fill_repeats(Value* values, bool* found) const {
  for (const auto& [later, first] : repeats_) {
    values[later] = values[first];
    found[later] = found[first];
  }
}

int FieldSet::match(std::string_view key, size_t position) {
  if (position < at_position_.size()) {
    int k = at_position_[position];
    if (k >= 0 && keys_[static_cast<size_t>(k)] == key) return k;
  } else {
    at_position_.resize(position + 1, -1);
  }
  for (size_t k = 0; k < keys_.size(); ++k) {
    if (keys_[k] == key) {
      at_position_[position] = static_cast<int>(k);
      return static_cast<int>(k);
    }
  }
  at_position_[position] = -1;
  return -1;
}

bool read_lazy_row_fields(const Document& doc, size_t i, FieldSet& fields, Arena& arena,
                          ParseScratch& scratch, Value* values, bool* found, Kind* row_kind) {
  try {
    return detail::scan_row_fields_at(doc, doc.row_begin[i], fields, arena, scratch, values, found, row_kind);
  } catch (const Error&) {
    check_unchanged(doc);  // a row read wrong because its file changed says so
    throw;
  }
}

Value parse_lazy_row(const Document& doc, size_t i, Arena& arena, ParseScratch& scratch, int max_depth) {
  try {
    Value row = detail::parse_row_at(doc, doc.row_begin[i], arena, scratch, max_depth);
    const std::atomic<bool>* changed = change_flag(doc);
    if (changed && changed->load(std::memory_order_relaxed)) check_unchanged(doc);
    return row;
  } catch (const Error&) {
    check_unchanged(doc);
    throw;
  }
}

}  // namespace halvex::json
