#include "table/column_export.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "common/errors.h"
#include "table/arrow_bridge.h"

namespace halvex::table {

namespace {

// The values of an Int64 column narrowed to T within its own buffer: value i
// moves from byte 8i to byte i*sizeof(T), never over one not yet read. The
// unused tail is then given back.
template <class T>
T* narrow_in_place(Column& c) {
  const std::size_t n = c.size();
  auto* bytes = reinterpret_cast<unsigned char*>(c.i64.release());
  for (std::size_t i = 0; i < n; ++i) {
    std::int64_t v;
    std::memcpy(&v, bytes + i * 8, 8);
    const T w = static_cast<T>(v);
    std::memcpy(bytes + i * sizeof(T), &w, sizeof(T));
  }
  void* shrunk = std::realloc(bytes, n ? n * sizeof(T) : 1);
  return static_cast<T*>(shrunk ? shrunk : bytes);
}

}  // namespace

ExportedColumn::ExportedColumn(ExportedColumn&& o) noexcept
    : name_(std::move(o.name_)),
      kind_(o.kind_),
      length_(o.length_),
      values_(std::exchange(o.values_, nullptr)),
      array_(o.array_),
      schema_(o.schema_) {
  o.array_.release = nullptr;
  o.schema_.release = nullptr;
}

ExportedColumn::~ExportedColumn() {
  std::free(values_);
  if (array_.release) array_.release(&array_);
  if (schema_.release) schema_.release(&schema_);
}

void* ExportedColumn::take_values() { return std::exchange(values_, nullptr); }

ExportedColumn export_column(std::string name, Column&& c, bool keep_width) {
  using Kind = ExportedColumn::Kind;
  const std::size_t n = c.size();
  switch (c.type()) {
    case DType::Float64: return ExportedColumn(std::move(name), Kind::Float64, n, c.f64.release());
    case DType::Bool: return ExportedColumn(std::move(name), Kind::Bool, n, c.b8.release());
    case DType::Int64: {
      if (c.has_mask()) {  // only key columns as loaded can carry missing integers
        auto* out = static_cast<double*>(std::malloc(n ? n * sizeof(double) : 1));
        if (!out) throw_no_memory(n * sizeof(double));
        for (std::size_t i = 0; i < n; ++i)
          out[i] = c.valid[i] ? static_cast<double>(c.i64[i]) : std::numeric_limits<double>::quiet_NaN();
        c = Column();
        return ExportedColumn(std::move(name), Kind::Float64, n, out);
      }
      if (keep_width && c.int_width == 4)
        return ExportedColumn(std::move(name), Kind::Int32, n, narrow_in_place<std::int32_t>(c));
      if (keep_width && c.int_width == 2)
        return ExportedColumn(std::move(name), Kind::Int16, n, narrow_in_place<std::int16_t>(c));
      return ExportedColumn(std::move(name), Kind::Int64, n, c.i64.release());
    }
    case DType::Text: {
      ExportedColumn out(std::move(name), Kind::Text, n, nullptr);
      export_text_column(std::move(c), &out.array_, &out.schema_);
      return out;
    }
  }
  throw UnsupportedType("column '" + name + "' cannot be exported");
}

}  // namespace halvex::table
