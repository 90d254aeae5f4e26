#include "pipeline/reference_csv.h"

#include "json/document_file.h"
#include "json/parser.h"

namespace halvex::pipeline {

int CsvTable::column(const std::string& name) const {
  // A repeated column name: the last one wins, as when a line becomes a mapping.
  for (size_t i = header.size(); i-- > 0;) {
    if (header[i] == name) return static_cast<int>(i);
  }
  return -1;
}

CsvTable parse_csv(std::string text) {
  if (text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
      static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF) {
    text.erase(0, 3);
  }
  // Universal newlines, as a text-mode read does: CRLF and CR become LF.
  std::string t;
  t.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      t.push_back('\n');
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      t.push_back(text[i]);
    }
  }

  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  std::string field;
  bool in_quotes = false, field_started = false, any = false;
  auto end_field = [&] {
    record.push_back(std::move(field));
    field.clear();
    field_started = false;
  };
  auto end_record = [&] {
    if (any) {
      end_field();
      records.push_back(std::move(record));
    }
    record.clear();
    field.clear();
    any = false;
    field_started = false;
  };
  for (size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    if (in_quotes) {
      if (c == '"') {
        if (i + 1 < t.size() && t[i + 1] == '"') {
          field.push_back('"');
          ++i;
        } else {
          in_quotes = false;
        }
      } else {
        field.push_back(c);
      }
      continue;
    }
    if (c == '"' && !field_started) {
      in_quotes = true;
      field_started = true;
      any = true;
    } else if (c == ',') {
      end_field();
      any = true;
    } else if (c == '\n') {
      end_record();
    } else {
      field.push_back(c);
      field_started = true;
      any = true;
    }
  }
  end_record();

  CsvTable table;
  if (records.empty()) return table;
  table.header = std::move(records[0]);
  for (size_t r = 1; r < records.size(); ++r) {
    std::vector<std::optional<std::string>> row(table.header.size());
    for (size_t c = 0; c < table.header.size() && c < records[r].size(); ++c) {
      row[c] = std::move(records[r][c]);
    }
    table.rows.push_back(std::move(row));
  }
  return table;
}

CsvTable read_csv_file(const std::string& path) {
  std::string text = json::read_file(path);
  json::check_utf8(text);
  return parse_csv(std::move(text));
}

}  // namespace halvex::pipeline
