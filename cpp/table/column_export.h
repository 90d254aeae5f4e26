// Table columns in the forms numpy and Arrow adopt without a copy.
//
// A binding wraps the values of an ExportedColumn in an array object that
// frees them (std::free) or hands its Arrow structs to an Arrow importer;
// whatever it did not take is released when the ExportedColumn ends, also
// when the binding failed half-way.
#pragma once

#include <cstddef>
#include <string>

#include "table/arrow_abi.h"
#include "table/column.h"

namespace halvex::table {

class ExportedColumn {
 public:
  // Value layouts: the numeric kinds are plain C arrays, Text an Arrow
  // large_utf8 array.
  enum class Kind { Float64, Int64, Int32, Int16, Bool, Text };

  ExportedColumn(std::string name, Kind kind, std::size_t length, void* values)
      : name_(std::move(name)), kind_(kind), length_(length), values_(values) {}
  ExportedColumn(ExportedColumn&& o) noexcept;
  ExportedColumn& operator=(ExportedColumn&&) = delete;
  ExportedColumn(const ExportedColumn&) = delete;
  ExportedColumn& operator=(const ExportedColumn&) = delete;
  ~ExportedColumn();

  const std::string& name() const { return name_; }
  Kind kind() const { return kind_; }
  std::size_t length() const { return length_; }

  // Numeric kinds: the values (malloc'd; the taker frees them with std::free).
  void* take_values();
  const void* values() const { return values_; }
  // Text: the Arrow structs, for an importer that moves them out (marking
  // them released), as Arrow's C data interface prescribes.
  ArrowArray* arrow_array() { return &array_; }
  ArrowSchema* arrow_schema() { return &schema_; }

 private:
  friend ExportedColumn export_column(std::string name, Column&& c, bool keep_width);
  std::string name_;
  Kind kind_;
  std::size_t length_;
  void* values_ = nullptr;
  ArrowArray array_{};
  ArrowSchema schema_{};
};

// Takes the column's storage over. Float64 and Bool pass through; Int64 with
// missing values becomes Float64 with NaN (as pandas holds such integers);
// with `keep_width`, integers the source delivered narrower (int_width 4 or
// 2) get their width back; Text becomes an Arrow array.
ExportedColumn export_column(std::string name, Column&& c, bool keep_width);

}  // namespace halvex::table
