// Whether an output names an input where the paths decide: paths not there yet, loops of
// links, and pipes named twice (links and spellings of files: test_output_not_input.py).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/same_file.h"

using namespace halvex;
namespace fs = std::filesystem;

namespace {

struct Folder {
  fs::path path;
  Folder() {
    char tmpl[] = "/tmp/same_file_XXXXXX";
    path = mkdtemp(tmpl);
    fs::create_directories(path / "sub");
    std::ofstream(path / "doc.json") << "{}";
  }
  ~Folder() { fs::remove_all(path); }
  std::string operator/(const char* name) const { return (path / name).string(); }
};

TEST(SameFile, PathsThatAreNotThereYet) {
  Folder f;
  fs::create_symlink(f / "missing.csv", f / "dangling.html");
  EXPECT_TRUE(same_file(f / "dangling.html", f / "missing.csv"));
  EXPECT_TRUE(same_file(f / "sub/../missing.csv", f / "missing.csv"));
  EXPECT_FALSE(same_file(f / "missing.html", f / "missing.csv"));
  EXPECT_EQ(resolved_path(f / "dangling.html"), resolved_path(f / "missing.csv"));
}

TEST(SameFile, LoopsAndPipes) {
  Folder f;
  fs::create_symlink("b", f / "a");
  fs::create_symlink("a", f / "b");
  EXPECT_FALSE(same_file(f / "a", f / "doc.json"));  // ends, and names no input
  ASSERT_EQ(mkfifo((f / "pipe").c_str(), 0600), 0);
  EXPECT_FALSE(same_file(f / "pipe", f / "pipe"));  // nothing there to lose
}

}  // namespace
