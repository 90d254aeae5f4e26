#include "pipeline/row_source.h"

#include "common/errors.h"
#include "json/reader.h"

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

void look_up_members(const json::Value& row, const std::vector<std::string>& keys,
                     std::vector<size_t>& hints, json::Value* values, bool* found) {
  if (!row.is_object()) throw_row_not_object(json::type_name(row));
  const size_t n = row.size();
  const json::Member* ms = row.begin_members();
  for (size_t k = 0; k < keys.size(); ++k) {
    const std::string& key = keys[k];
    size_t h = hints[k];
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
        hints[k] = j;
        break;
      }
    }
  }
}

void ValueRowSource::fetch(size_t i, json::Value* values, bool* found) {
  look_up_members(rows_[i], keys_, hints_, values, found);
}

std::unique_ptr<RowSource> ValueRowSource::clone() const {
  std::unique_ptr<ValueRowSource> copy(new ValueRowSource());
  copy->rows_ = rows_;
  copy->n_ = n_;
  copy->prepare(keys_);
  return copy;
}

void LazyRowSource::prepare(const std::vector<std::string>& keys) {
  keys_ = keys;
  hints_.assign(keys.size(), 0);
}

void LazyRowSource::fetch(size_t i, json::Value* values, bool* found) {
  arena_.reset();
  json::Value row = json::parse_lazy_row(*doc_, i, arena_, scratch_);
  look_up_members(row, keys_, hints_, values, found);
}

std::unique_ptr<RowSource> LazyRowSource::clone() const {
  auto copy = std::make_unique<LazyRowSource>(*doc_);
  copy->prepare(keys_);
  return copy;
}

}  // namespace halvex::pipeline
