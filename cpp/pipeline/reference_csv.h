// The region/branch reference file: a UTF-8 CSV with a header line and double-quote quoting.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace halvex::pipeline {

struct CsvTable {
  std::vector<std::string> header;
  // One entry per data line; a field past the end of a short line is nullopt.
  std::vector<std::vector<std::optional<std::string>>> rows;

  // Position of a column by name, or -1.
  int column(const std::string& name) const;
};

// Parses CSV text. A leading byte-order mark is skipped (spreadsheet programs write one).
// Lines may end in LF, CRLF or CR; empty lines are skipped.
CsvTable parse_csv(std::string text);

// Reads and parses a file. Throws OsError, or DecodeError for invalid UTF-8.
CsvTable read_csv_file(const std::string& path);

}  // namespace halvex::pipeline
