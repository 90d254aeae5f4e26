#include "pipeline/row_source.h"

#include "common/errors.h"

namespace halvex::pipeline {

void throw_row_not_object(const char* type_name) {
  throw TypeError(std::string("row must be an object, not '") + type_name + "'");
}

ValueRowSource::ValueRowSource(const json::Value& rows) : rows_(nullptr), n_(0) {
  if (!rows.is_array()) {
    throw TypeError(std::string("'rows' must be an array, not '") + json::type_name(rows) + "'");
  }
  rows_ = rows.begin_items();
  n_ = rows.size();
}

void ValueRowSource::prepare(const std::vector<std::string>& keys) {
  keys_ = keys;
  hints_.assign(keys.size(), 0);
}

void ValueRowSource::fetch(size_t i, json::Value* values, bool* found) {
  const json::Value& row = rows_[i];
  if (!row.is_object()) throw_row_not_object(json::type_name(row));
  const size_t n = row.size();
  const json::Member* ms = row.begin_members();
  for (size_t k = 0; k < keys_.size(); ++k) {
    const std::string& key = keys_[k];
    // Rows of one document usually share their member order: try last time's position first.
    size_t h = hints_[k];
    if (h < n && ms[h].key == key) {
      values[k] = ms[h].value;
      found[k] = true;
      continue;
    }
    found[k] = false;
    values[k] = json::Value::null();
    for (size_t j = 0; j < n; ++j) {
      if (ms[j].key == key) {
        values[k] = ms[j].value;
        found[k] = true;
        hints_[k] = j;
        break;
      }
    }
  }
}

}  // namespace halvex::pipeline
