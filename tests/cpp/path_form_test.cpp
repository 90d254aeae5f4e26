// Path texts of the render job against what Python's PurePosixPath gives for the same input
// (expected texts taken from Python 3.11).
#include <gtest/gtest.h>

#include <string>

#include "pipeline/path_form.h"

using namespace halvex::pipeline;

namespace {

struct PathCase {
  const char* path;
  const char* text;
  const char* parent;
  const char* name;
};

TEST(PathForm, TextParentAndNameAsPathlib) {
  const PathCase cases[] = {
      {"", ".", ".", ""},
      {".", ".", ".", ""},
      {"/", "/", "/", ""},
      {"//", "//", "//", ""},
      {"///", "/", "/", ""},
      {"a", "a", ".", "a"},
      {"a/", "a", ".", "a"},
      {"a//b", "a/b", "a", "b"},
      {"./a/./b/", "a/b", "a", "b"},
      {"//x/y", "//x/y", "//x", "y"},
      {"///x", "/x", "/", "x"},
      {"../a/..", "../a/..", "../a", ".."},
      {"/tmp/x/../y", "/tmp/x/../y", "/tmp/x/..", "y"},
  };
  for (const PathCase& c : cases) {
    EXPECT_EQ(path_text(c.path), c.text) << c.path;
    EXPECT_EQ(path_parent(c.path), c.parent) << c.path;
    EXPECT_EQ(path_name(c.path), c.name) << c.path;
  }
}

TEST(PathForm, JoinAsPathlib) {
  EXPECT_EQ(path_join("a", "html"), "a/html");
  EXPECT_EQ(path_join(".", "x"), "x");
  EXPECT_EQ(path_join("", "x"), "x");
  EXPECT_EQ(path_join("/", "x"), "/x");
  EXPECT_EQ(path_join("a", "/b"), "/b");
  EXPECT_EQ(path_join("a", ""), "a");
  EXPECT_EQ(path_join("//s", "t"), "//s/t");
  EXPECT_EQ(path_join("a/b/", "c/./d"), "a/b/c/d");
}

}  // namespace
