// A document read from its file: mapped when it is a regular file, read as a stream when it
// is a pipe, and watched while its row texts are read again from the file, which another
// process may truncate or rewrite meanwhile.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include "common/errors.h"
#include "json/document_file.h"
#include "json/lazy_rows.h"
#include "json/value.h"
#include "json/writer.h"

using namespace halvex::json;
namespace fs = std::filesystem;

namespace {

struct TempDir {
  fs::path path = fs::temp_directory_path() / ("halvex_document_file_" + std::to_string(::getpid()));
  TempDir() { fs::create_directories(path); }
  ~TempDir() { fs::remove_all(path); }
  fs::path write(const std::string& name, const std::string& text) const {
    fs::path p = path / name;
    std::FILE* f = std::fopen(p.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return p;
  }
};

// A document whose rows span many pages, with its meta before them and a member after them.
std::string many_rows(int n) {
  std::string text = R"({"meta": {"title": "Skorkart"}, "rows": [)";
  for (int i = 0; i < n; ++i) {
    if (i) text += ", ";
    text += R"({"muta": )" + std::to_string(i) + R"(, "unvan": "Firma )" + std::to_string(i) +
            R"( Sanayi ve Ticaret A.Ş."})";
  }
  return text + R"(], "trending": {"name": "after the rows"}})";
}

TEST(DocumentFile, OpenErrorsNameTheCause) {
  TempDir dir;
  try {
    read_file((dir.path / "missing.json").string());
    FAIL() << "no error for a missing file";
  } catch (const halvex::OsError& e) {
    EXPECT_EQ(e.errnum, ENOENT);
  }
  for (bool whole : {false, true}) {
    try {
      Document doc;
      if (whole) read_document_file(dir.path.string(), doc);
      else read_file(dir.path.string());
      FAIL() << "no error for a directory";
    } catch (const halvex::OsError& e) {
      EXPECT_EQ(e.errnum, EISDIR);
    }
  }
  Document doc;
  EXPECT_THROW(read_document_file(dir.path.string() + std::string("\0x", 2), doc), halvex::ValueError);
}

TEST(DocumentFile, RegularFilesAreMappedAndPipesRead) {
  TempDir dir;
  const std::string text = R"({"b": 1, "a": [NaN, "x\u0131"]})";
  Document mapped;
  read_document_file(dir.write("doc.json", text).string(), mapped);
  EXPECT_TRUE(mapped.mapped);
  EXPECT_EQ(to_json(mapped.root), R"({"b":1,"a":[NaN,"xı"]})");
  EXPECT_FALSE(document_changed(mapped));

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fds[1]);
  Document piped;
  read_document_file("/dev/fd/" + std::to_string(fds[0]), piped);
  ::close(fds[0]);
  EXPECT_FALSE(piped.mapped);
  EXPECT_EQ(to_json(piped.root), to_json(mapped.root));
  EXPECT_EQ(change_flag(piped), nullptr);
}

// Truncated under the reader: reading a row again is a clear error, never SIGBUS, and what
// was parsed outside the rows stays as it was read.
TEST(DocumentFile, TruncatedWhileRowsAreReadIsAChangedError) {
  TempDir dir;
  const fs::path file = dir.write("doc.json", many_rows(4000));
  Document doc;
  read_document_file(file.string(), doc, DEFAULT_MAX_DEPTH, true);
  ASSERT_TRUE(doc.mapped);
  ASSERT_EQ(doc.row_begin.size(), 4000u);
  Arena arena;
  ParseScratch scratch;
  EXPECT_EQ(to_json(parse_lazy_row(doc, 3999, arena, scratch)),
            R"({"muta":3999,"unvan":"Firma 3999 Sanayi ve Ticaret A.Ş."})");

  ASSERT_EQ(::truncate(file.c_str(), 0), 0);
  EXPECT_TRUE(document_changed(doc));
  // Rows in the middle: the pages at either end, shared with what precedes or follows the
  // rows, are the process's own copies and still read as they were.
  EXPECT_THROW(parse_lazy_row(doc, 2000, arena, scratch), ChangedError);
  FieldSet fields({"muta"});
  Value value;
  bool found = false;
  Kind kind;
  EXPECT_THROW(read_lazy_row_fields(doc, 1000, fields, arena, scratch, &value, &found, &kind), ChangedError);
  EXPECT_EQ(to_json(*doc.root.find("meta")), R"({"title":"Skorkart"})");
  EXPECT_EQ(to_json(*doc.root.find("trending")), R"({"name":"after the rows"})");
}

TEST(DocumentFile, RewrittenInPlaceIsSeen) {
  TempDir dir;
  const std::string text = many_rows(50);
  const fs::path file = dir.write("doc.json", text);
  Document doc;
  read_document_file(file.string(), doc, DEFAULT_MAX_DEPTH, true);
  EXPECT_NO_THROW(check_unchanged(doc));
  int fd = ::open(file.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "9", 1, static_cast<off_t>(text.find("\"muta\": 1") + 8)), 1);
  ::close(fd);
  EXPECT_THROW(check_unchanged(doc), ChangedError);
}

}  // namespace
