// One typed column of a Table.
//
// Float64 marks missing values with NaN. Int64, Bool and Text carry an
// optional byte-per-row presence mask (`valid`, empty when every row is
// present). Text is stored Arrow-style: int64 offsets into one char buffer.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "table/buffer.h"

namespace halvex::table {

enum class DType : std::uint8_t { Float64, Int64, Bool, Text };

class Column {
 public:
  Column() = default;
  Column(Column&&) noexcept = default;
  Column& operator=(Column&&) noexcept = default;

  // Uninitialised columns of n rows, all present.
  static Column float64(std::size_t n);
  static Column int64(std::size_t n);
  static Column boolean(std::size_t n);
  // Text column with n rows; offsets filled by the caller (or TextBuilder).
  static Column text(std::size_t n, std::size_t char_capacity);
  // Constant column.
  static Column int64_filled(std::size_t n, std::int64_t v);
  // Int64 column adopting a buffer.
  static Column from_int64(Buffer<std::int64_t> values);
  // A column of that type and length with no buffers yet.
  static Column of_type(DType type, std::size_t n);

  DType type() const { return type_; }
  std::size_t size() const { return size_; }
  bool has_mask() const { return !valid.empty(); }

  bool present(std::size_t i) const {
    if (type_ == DType::Float64) return !std::isnan(f64[i]);
    return valid.empty() || valid[i] != 0;
  }
  std::string_view str(std::size_t i) const {
    return {chars.data() + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i])};
  }

  // Bytes the values take, presence mask included; for text the characters
  // in use, not the buffer's spare room.
  std::size_t bytes() const;

  // Adds a presence mask (all present) if there is none yet.
  void ensure_mask();
  Column clone() const;

  Buffer<double> f64;
  Buffer<std::int64_t> i64;
  Buffer<std::uint8_t> b8;
  Buffer<std::uint8_t> valid;
  Buffer<std::int64_t> offsets;
  Buffer<char> chars;
  // Width in bytes of the integer type the source delivered; the output keeps
  // it for columns passed through unchanged.
  std::uint8_t int_width = 8;

 private:
  DType type_ = DType::Float64;
  std::size_t size_ = 0;
  friend class TextBuilder;
};

// Appends text values row by row into a Text column.
class TextBuilder {
 public:
  explicit TextBuilder(std::size_t rows, std::size_t char_hint = 0);
  void append(std::string_view s);
  void append_missing();
  Column finish();

 private:
  Column col_;
  std::size_t row_ = 0;
  std::size_t used_ = 0;
  bool any_missing_ = false;
};

}  // namespace halvex::table
