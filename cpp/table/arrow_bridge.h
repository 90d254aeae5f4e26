// Moving data between Arrow's C interfaces and Tables.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "table/arrow_abi.h"
#include "table/table.h"

namespace halvex::table {

// An Arrow C stream taken over from its producer: the struct is moved out
// (the producer's copy is marked released) and released on destruction.
class OwnedArrowStream {
 public:
  OwnedArrowStream() = default;
  explicit OwnedArrowStream(ArrowArrayStream* from) : s_(*from) { from->release = nullptr; }
  OwnedArrowStream(OwnedArrowStream&& o) noexcept : s_(o.s_) { o.s_.release = nullptr; }
  OwnedArrowStream& operator=(OwnedArrowStream&& o) noexcept {
    if (this != &o) {
      reset();
      s_ = o.s_;
      o.s_.release = nullptr;
    }
    return *this;
  }
  OwnedArrowStream(const OwnedArrowStream&) = delete;
  OwnedArrowStream& operator=(const OwnedArrowStream&) = delete;
  ~OwnedArrowStream() { reset(); }

  ArrowArrayStream* get() { return &s_; }
  explicit operator bool() const { return s_.release != nullptr; }
  void reset() {
    if (s_.release) s_.release(&s_);
    s_.release = nullptr;
  }

 private:
  ArrowArrayStream s_{};
};

// The schema and every record batch of a stream; released on destruction.
// Batches stay valid after their stream is released.
struct ArrowBatches {
  ArrowBatches() = default;
  ArrowBatches(ArrowBatches&& o) noexcept : schema(o.schema), batches(std::move(o.batches)) {
    o.schema.release = nullptr;
    o.batches.clear();
  }
  ArrowBatches(const ArrowBatches&) = delete;
  ArrowBatches& operator=(const ArrowBatches&) = delete;
  ArrowBatches& operator=(ArrowBatches&&) = delete;
  ~ArrowBatches();
  std::size_t rows() const;

  ArrowSchema schema{};
  std::vector<ArrowArray> batches;
};

// Pulls every batch of a stream of struct record batches. The stream is not
// released.
ArrowBatches read_arrow_stream(ArrowArrayStream* stream);

// Reads a whole stream of struct record batches into a Table with the
// stream's column names and order (read_arrow_stream, then
// import_arrow_batches). Columns for which `wanted` returns false
// are not converted (they are left out of the table). Supported value types:
// null, bool, signed and unsigned integers, float32/64, decimal (as float64),
// utf8, large utf8, utf8 view, binary, and dictionaries of these. Anything
// else raises UnsupportedType naming the column. The stream is not released.
Table import_arrow_stream(ArrowArrayStream* stream,
                          const std::function<bool(const std::string&)>& wanted = nullptr);
Table import_arrow_batches(const ArrowBatches& batches,
                           const std::function<bool(const std::string&)>& wanted = nullptr);

// Exports a Text column as an Arrow large_utf8 array, taking over its
// buffers; the consumer's release callback frees them.
void export_text_column(Column&& c, ArrowArray* out_array, ArrowSchema* out_schema);

}  // namespace halvex::table
