// Small Arrow C streams for tests, written as text tables:
//
//   entity_id:u  donem:i  kombine_risk:g
//   E1           1        100.5
//   E2           -        ''
//
// The header names each column with its Arrow format (u utf8, i int32,
// l int64, g float64, tdD date32, and int64 counts for tdm date64 and the
// timestamps tss: tsm: tsu: tsn:, a zone after the colon); "-" is a missing
// value, '' an empty text.
// Rows are cut into batches of `batch_rows`, so tests cross batch borders.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "table/arrow_abi.h"

namespace halvex::testing {

struct TextColumn {
  std::string name;
  std::string format;
  std::vector<std::optional<std::string>> cells;
};

inline std::vector<std::vector<std::string>> split_lines(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::vector<std::string> row;
    for (std::string w; words >> w;) row.push_back(w);
    if (!row.empty()) rows.push_back(row);
  }
  return rows;
}

inline std::vector<TextColumn> parse_columns(const std::string& text) {
  auto rows = split_lines(text);
  std::vector<TextColumn> cols;
  for (const auto& h : rows.at(0)) {
    auto colon = h.find(':');
    if (colon == std::string::npos) throw std::invalid_argument("header cell without a type: " + h);
    cols.push_back({h.substr(0, colon), h.substr(colon + 1), {}});
  }
  for (std::size_t r = 1; r < rows.size(); ++r) {
    if (rows[r].size() != cols.size()) throw std::invalid_argument("row " + std::to_string(r) + " has a wrong width");
    for (std::size_t k = 0; k < cols.size(); ++k) {
      const std::string& v = rows[r][k];
      cols[k].cells.push_back(v == "-" ? std::nullopt : std::optional<std::string>(v == "''" ? "" : v));
    }
  }
  return cols;
}

class TextTableStream {
 public:
  // A stream over the table; the returned struct owns everything it hands out.
  static ArrowArrayStream make(const std::string& table, std::size_t batch_rows = 2) {
    auto* self = new TextTableStream(parse_columns(table), batch_rows);
    return ArrowArrayStream{get_schema, get_next, last_error, release, self};
  }

 private:
  // Schemas and batches outlive their stream: they own what they point to.
  struct SchemaData {
    std::vector<TextColumn> cols;  // names and formats
    std::vector<ArrowSchema> kids;
    std::vector<ArrowSchema*> kid_ptrs;
  };
  struct ColumnData {
    std::vector<std::uint8_t> validity;
    std::vector<std::int32_t> offsets;
    std::vector<char> values;  // chars, or fixed-width values
    const void* buffers[3] = {nullptr, nullptr, nullptr};
    ArrowArray array{};
  };
  struct BatchData {
    std::vector<std::unique_ptr<ColumnData>> cols;
    std::vector<ArrowArray*> kid_ptrs;
  };

  TextTableStream(std::vector<TextColumn> cols, std::size_t batch_rows)
      : cols_(std::move(cols)), batch_rows_(batch_rows ? batch_rows : 1) {}

  std::vector<TextColumn> cols_;
  std::size_t batch_rows_;
  std::size_t next_row_ = 0;
  bool done_ = false;

  static TextTableStream* self(ArrowArrayStream* s) { return static_cast<TextTableStream*>(s->private_data); }
  static void release_child_schema(ArrowSchema* s) { s->release = nullptr; }
  static void release_child_array(ArrowArray* a) { a->release = nullptr; }
  static void release_schema(ArrowSchema* s) {
    delete static_cast<SchemaData*>(s->private_data);
    s->release = nullptr;
  }
  static void release_array(ArrowArray* a) {
    delete static_cast<BatchData*>(a->private_data);
    a->release = nullptr;
  }
  static const char* last_error(ArrowArrayStream*) { return nullptr; }
  static void release(ArrowArrayStream* s) {
    delete self(s);
    s->release = nullptr;
  }

  static int get_schema(ArrowArrayStream* s, ArrowSchema* out) {
    auto* data = new SchemaData;
    for (const auto& c : self(s)->cols_) data->cols.push_back({c.name, c.format, {}});
    for (const auto& c : data->cols)
      data->kids.push_back(ArrowSchema{c.format.c_str(), c.name.c_str(), nullptr, ARROW_FLAG_NULLABLE, 0, nullptr,
                                       nullptr, release_child_schema, nullptr});
    for (auto& k : data->kids) data->kid_ptrs.push_back(&k);
    *out = ArrowSchema{"+s", "", nullptr, 0, static_cast<std::int64_t>(data->kids.size()), data->kid_ptrs.data(),
                       nullptr, release_schema, data};
    return 0;
  }

  static int get_next(ArrowArrayStream* s, ArrowArray* out) {
    TextTableStream& t = *self(s);
    const std::size_t total = t.cols_.empty() ? 0 : t.cols_[0].cells.size();
    if (t.done_) {
      *out = ArrowArray{};  // end of stream
      return 0;
    }
    // An empty table still yields one empty batch, as engines do.
    const std::size_t b = t.next_row_, e = std::min(total, b + t.batch_rows_);
    t.next_row_ = e;
    t.done_ = e == total;
    auto* data = new BatchData;
    for (const auto& c : t.cols_) data->cols.push_back(column(c, b, e));
    for (auto& c : data->cols) data->kid_ptrs.push_back(&c->array);
    *out = ArrowArray{static_cast<std::int64_t>(e - b), 0, 0, 1, static_cast<std::int64_t>(data->cols.size()),
                      nullptr, data->kid_ptrs.data(), nullptr, release_array, data};
    return 0;
  }

  template <class T>
  static void put(std::vector<char>& values, T v) {
    const std::size_t at = values.size();
    values.resize(at + sizeof(T));
    std::memcpy(values.data() + at, &v, sizeof(T));
  }

  static std::unique_ptr<ColumnData> column(const TextColumn& c, std::size_t b, std::size_t e) {
    auto d = std::make_unique<ColumnData>();
    const std::size_t n = e - b;
    d->validity.assign((n + 7) / 8 + 1, 0);
    std::int64_t nulls = 0;
    const bool text = c.format == "u";
    if (text) d->offsets.push_back(0);
    for (std::size_t i = 0; i < n; ++i) {
      const auto& cell = c.cells[b + i];
      if (cell) d->validity[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
      else ++nulls;
      const std::string v = cell.value_or("0");
      if (text) {
        if (cell) d->values.insert(d->values.end(), v.begin(), v.end());
        d->offsets.push_back(static_cast<std::int32_t>(d->values.size()));
      } else if (c.format == "i" || c.format == "tdD") {
        put<std::int32_t>(d->values, static_cast<std::int32_t>(std::stol(v)));
      } else if (c.format == "s") {
        put<std::int16_t>(d->values, static_cast<std::int16_t>(std::stoi(v)));
      } else if (c.format == "l" || c.format == "tdm" || c.format.rfind("ts", 0) == 0) {
        put<std::int64_t>(d->values, std::stoll(v));
      } else if (c.format == "g") {
        put<double>(d->values, std::stod(v));
      } else {
        throw std::invalid_argument("format not handled by the test stream: " + c.format);
      }
    }
    d->values.push_back('\0');  // never an empty buffer
    d->buffers[0] = nulls ? d->validity.data() : nullptr;
    d->buffers[1] = text ? static_cast<const void*>(d->offsets.data()) : d->values.data();
    d->buffers[2] = d->values.data();
    d->array = ArrowArray{static_cast<std::int64_t>(n), nulls, 0, text ? 3 : 2, 0, d->buffers, nullptr, nullptr,
                          release_child_array, nullptr};
    return d;
  }
};

}  // namespace halvex::testing
