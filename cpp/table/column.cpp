#include "table/column.h"

#include <cstring>

namespace halvex::table {

std::size_t Column::bytes() const {
  std::size_t n = f64.size() * sizeof(double) + i64.size() * sizeof(std::int64_t) + b8.size() + valid.size() +
                  offsets.size() * sizeof(std::int64_t);
  if (type_ == DType::Text && !offsets.empty()) n += static_cast<std::size_t>(offsets[size_]);
  return n;
}

namespace {
// An uninitialised column of n rows whose values live in `member`.
template <class T>
Column sized(DType type, std::size_t n, Buffer<T> Column::* member) {
  Column c = Column::of_type(type, n);
  c.*member = Buffer<T>(n);
  return c;
}
}  // namespace

Column Column::of_type(DType type, std::size_t n) {
  Column c;
  c.type_ = type;
  c.size_ = n;
  return c;
}

Column Column::float64(std::size_t n) { return sized(DType::Float64, n, &Column::f64); }
Column Column::int64(std::size_t n) { return sized(DType::Int64, n, &Column::i64); }
Column Column::boolean(std::size_t n) { return sized(DType::Bool, n, &Column::b8); }

Column Column::text(std::size_t n, std::size_t char_capacity) {
  Column c = of_type(DType::Text, n);
  c.offsets = Buffer<std::int64_t>(n + 1);
  c.offsets[0] = 0;
  c.chars = Buffer<char>(char_capacity);
  return c;
}

Column Column::int64_filled(std::size_t n, std::int64_t v) {
  if (v == 0) return from_int64(Buffer<std::int64_t>::zeroed(n));
  Column c = int64(n);
  for (std::size_t i = 0; i < n; ++i) c.i64[i] = v;
  return c;
}

Column Column::from_int64(Buffer<std::int64_t> values) {
  Column c = of_type(DType::Int64, values.size());
  c.i64 = std::move(values);
  return c;
}

void Column::ensure_mask() {
  if (type_ == DType::Float64 || !valid.empty()) return;
  valid = Buffer<std::uint8_t>(size_, 1);
}

Column Column::clone() const {
  Column c = of_type(type_, size_);
  c.int_width = int_width;
  c.f64 = f64.clone();
  c.i64 = i64.clone();
  c.b8 = b8.clone();
  c.valid = valid.clone();
  c.offsets = offsets.clone();
  c.chars = chars.clone();
  return c;
}

TextBuilder::TextBuilder(std::size_t rows, std::size_t char_hint)
    : col_(Column::text(rows, char_hint ? char_hint : rows * 8 + 16)) {}

void TextBuilder::append(std::string_view s) {
  if (used_ + s.size() > col_.chars.size()) {
    std::size_t want = col_.chars.size() * 2;
    if (want < used_ + s.size()) want = used_ + s.size();
    col_.chars.resize(want);
  }
  if (!s.empty()) std::memcpy(col_.chars.data() + used_, s.data(), s.size());
  used_ += s.size();
  if (any_missing_) col_.valid[row_] = 1;
  col_.offsets[++row_] = static_cast<std::int64_t>(used_);
}

void TextBuilder::append_missing() {
  if (!any_missing_) {
    col_.valid = Buffer<std::uint8_t>(col_.size_);
    for (std::size_t i = 0; i < row_; ++i) col_.valid[i] = 1;
    any_missing_ = true;
  }
  col_.valid[row_] = 0;
  col_.offsets[++row_] = static_cast<std::int64_t>(used_);
}

Column TextBuilder::finish() {
  col_.chars.resize(used_ ? used_ : 1);
  return std::move(col_);
}

}  // namespace halvex::table
