// A column-oriented table: named columns in a fixed order, all of one length.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "table/column.h"

namespace halvex::table {

class Table {
 public:
  Table() = default;
  Table(Table&&) noexcept = default;
  Table& operator=(Table&&) noexcept = default;

  std::size_t num_rows() const { return rows_; }
  std::size_t num_columns() const { return cols_.size(); }
  const std::vector<std::string>& names() const { return names_; }

  bool has(const std::string& name) const { return find(name) >= 0; }
  Column& at(const std::string& name);
  const Column& at(const std::string& name) const;
  Column& at(std::size_t i) { return *cols_[i]; }
  const Column& at(std::size_t i) const { return *cols_[i]; }

  // Adds the column at the end, or replaces a column of the same name in place.
  // References to other columns stay valid.
  void set(const std::string& name, Column col);
  // Removes a column and returns it.
  Column take_column(const std::string& name);
  void rename(const std::string& from, const std::string& to);

  // A table with the named columns in the given order. The rvalue form moves
  // the columns out of this table; the const form copies them.
  Table select(const std::vector<std::string>& names) &&;
  Table select(const std::vector<std::string>& names) const&;

 private:
  long find(const std::string& name) const;

  std::vector<std::string> names_;
  std::vector<std::unique_ptr<Column>> cols_;
  std::size_t rows_ = 0;
};

}  // namespace halvex::table
