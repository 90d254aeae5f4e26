#include "table/table.h"


#include "common/errors.h"

namespace halvex::table {

long Table::find(const std::string& name) const {
  for (std::size_t i = 0; i < names_.size(); ++i)
    if (names_[i] == name) return static_cast<long>(i);
  return -1;
}

Column& Table::at(const std::string& name) {
  long i = find(name);
  if (i < 0) throw ColumnNotFound(name);
  return *cols_[i];
}

const Column& Table::at(const std::string& name) const {
  long i = find(name);
  if (i < 0) throw ColumnNotFound(name);
  return *cols_[i];
}

void Table::set(const std::string& name, Column col) {
  if (cols_.empty()) {
    rows_ = col.size();
  } else if (col.size() != rows_) {
    throw ValueError("column '" + name + "' has " + std::to_string(col.size()) +
                            " rows, the table " + std::to_string(rows_));
  }
  long i = find(name);
  if (i >= 0) {
    *cols_[i] = std::move(col);
  } else {
    names_.push_back(name);
    cols_.push_back(std::make_unique<Column>(std::move(col)));
  }
}

Column Table::take_column(const std::string& name) {
  long i = find(name);
  if (i < 0) throw ColumnNotFound(name);
  Column c = std::move(*cols_[i]);
  cols_.erase(cols_.begin() + i);
  names_.erase(names_.begin() + i);
  return c;
}

void Table::rename(const std::string& from, const std::string& to) {
  long i = find(from);
  if (i < 0) throw ColumnNotFound(from);
  if (from == to) return;
  long j = find(to);
  if (j >= 0) {
    cols_.erase(cols_.begin() + j);
    names_.erase(names_.begin() + j);
    if (j < i) --i;
  }
  names_[i] = to;
}

Table Table::select(const std::vector<std::string>& names) && {
  // Check everything before moving anything out.
  for (std::size_t k = 0; k < names.size(); ++k) {
    (void)at(names[k]);
    for (std::size_t j = 0; j < k; ++j)
      if (names[j] == names[k]) throw ValueError("column '" + names[k] + "' selected twice");
  }
  Table out;
  for (const auto& n : names) out.set(n, std::move(*cols_[find(n)]));
  out.rows_ = rows_;
  *this = Table();
  return out;
}

Table Table::select(const std::vector<std::string>& names) const& {
  Table out;
  for (const auto& n : names) out.set(n, at(n).clone());
  out.rows_ = rows_;
  return out;
}

}  // namespace halvex::table
