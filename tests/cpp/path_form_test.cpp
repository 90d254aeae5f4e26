// Path texts of the render job against what Python's PurePosixPath gives for the same input
// (expected rows in tests/cpp/data, taken from Python 3.11).
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "pipeline/path_form.h"

using namespace halvex::pipeline;

namespace {

// The rows of an expected-rows file: fields split at '|', an empty field an empty text;
// lines starting with '#' are comments.
std::vector<std::vector<std::string>> read_rows(const std::string& name, size_t fields) {
  std::ifstream in(std::string(HALVEX_TEST_DATA) + "/" + name);
  EXPECT_TRUE(in) << name;
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with('#')) continue;
    std::vector<std::string> row(1);
    for (char c : line) {
      if (c == '|') row.emplace_back();
      else row.back().push_back(c);
    }
    EXPECT_EQ(row.size(), fields) << name << ": " << line;
    if (row.size() == fields) rows.push_back(std::move(row));
  }
  EXPECT_FALSE(rows.empty()) << name;
  return rows;
}

TEST(PathForm, TextParentAndNameAsPathlib) {
  for (const auto& r : read_rows("path_forms.txt", 4)) {
    EXPECT_EQ(path_text(r[0]), r[1]) << r[0];
    EXPECT_EQ(path_parent(r[0]), r[2]) << r[0];
    EXPECT_EQ(path_name(r[0]), r[3]) << r[0];
  }
}

TEST(PathForm, JoinAsPathlib) {
  for (const auto& r : read_rows("path_joins.txt", 3)) EXPECT_EQ(path_join(r[0], r[1]), r[2]) << r[0] << " / " << r[1];
}

}  // namespace
