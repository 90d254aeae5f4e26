// The atomic writer under odd targets and failures, and row errors that name their row.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/atomic_file.h"
#include "common/errors.h"
#include "pipeline/chunks.h"
#include "pipeline/row_encoding.h"
#include "pipeline/standard_page.h"

namespace fs = std::filesystem;
using halvex::AtomicFile;

namespace {

struct TempDir {
  fs::path path;
  TempDir() {
    char tmpl[] = "/tmp/halvex_page_file_XXXXXX";
    path = ::mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path); }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  return out;
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

int os_errno(const std::function<void()>& f) {
  try {
    f();
  } catch (const halvex::OsError& e) {
    return e.errnum;
  }
  return 0;
}

void write_all(const std::string& path, const std::string& text) {
  AtomicFile f(path);
  f.write(text);
  EXPECT_EQ(f.commit(), text.size());
}

}  // namespace

TEST(AtomicFile, ReplacesWholeOrNotAtAll) {
  TempDir dir;
  const std::string page = dir / "page.html";
  write_all(page, "old");
  {
    AtomicFile f(page);
    f.write(std::string(3 << 20, 'x'));  // past the buffer: bytes are on disk, under the temp name
    EXPECT_EQ(slurp(page), "old");
    // The temporary file is beside the target, hidden and recognisable.
    int temps = 0;
    for (const auto& n : names_in(dir.path)) temps += n.rfind(".page.html.hxtmp.", 0) == 0;
    EXPECT_EQ(temps, 1);
  }  // no commit: given up
  EXPECT_EQ(slurp(page), "old");
  EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"page.html"});
  write_all(dir / "sub/deeper/new.html", "made");  // missing folders are made
  EXPECT_EQ(slurp(dir / "sub/deeper/new.html"), "made");
}

TEST(AtomicFile, NewFileTakesUmaskAndReplacementKeepsMode) {
  TempDir dir;
  mode_t old_mask = ::umask(027);
  write_all(dir / "new.html", "a");
  EXPECT_EQ(mode_of(dir / "new.html"), 0640u);
  ::chmod((dir / "new.html").c_str(), 0604);
  write_all(dir / "new.html", "b");
  EXPECT_EQ(mode_of(dir / "new.html"), 0604u);
  EXPECT_EQ(::umask(old_mask), 027u);  // the writer never changed it
}

TEST(AtomicFile, BadPathsAreClearErrors) {
  TempDir dir;
  EXPECT_THROW(AtomicFile(std::string("out") + '\0' + "x.html"), halvex::ValueError);
  EXPECT_EQ(os_errno([&] { AtomicFile f(dir / "folder/"); }), EISDIR);
  EXPECT_FALSE(fs::exists(dir / "folder"));
  fs::create_directory(dir / "adir");
  EXPECT_EQ(os_errno([&] { AtomicFile f(dir / "adir"); }), EISDIR);
  EXPECT_EQ(os_errno([&] { AtomicFile f(""); }), ENOENT);
  // The longest file name a folder takes still works: the temporary name is cut to fit.
  std::string long_name = std::string(245, 'n') + ".html";
  write_all(dir / long_name, "long");
  EXPECT_EQ(slurp(dir / long_name), "long");
  std::string turkish = std::string(196, 'a') + "şşşş" + std::string(46, 'b');  // multibyte at the cut
  write_all(dir / turkish, "tr");
  EXPECT_EQ(slurp(dir / turkish), "tr");
}

TEST(AtomicFile, SymbolicLinksAreWrittenThrough) {
  TempDir dir;
  fs::create_symlink("real.html", dir.path / "link.html");  // dangling
  write_all(dir / "link.html", "first");
  EXPECT_TRUE(fs::is_symlink(dir.path / "link.html"));
  EXPECT_EQ(slurp(dir / "real.html"), "first");
  write_all(dir / "link.html", "second");
  EXPECT_TRUE(fs::is_symlink(dir.path / "link.html"));
  EXPECT_EQ(slurp(dir / "real.html"), "second");
  fs::create_symlink("loop_b", dir.path / "loop_a");
  fs::create_symlink("loop_a", dir.path / "loop_b");
  EXPECT_EQ(os_errno([&] { AtomicFile f(dir / "loop_a"); }), ELOOP);
}

TEST(AtomicFile, PipesAndDevicesAreWrittenDirectly) {
  TempDir dir;
  const std::string fifo = dir / "out.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = slurp(fifo); });
  {
    AtomicFile f(fifo);
    EXPECT_TRUE(f.direct());
    f.write("through the pipe");
    f.commit();
  }
  reader.join();
  EXPECT_EQ(received, "through the pipe");
  struct stat st;
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));  // not replaced by a regular file
  write_all("/dev/null", "gone");
  ASSERT_EQ(::stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST(AtomicFile, StaleTempsOfDeadWritersGoOnNextCommit) {
  TempDir dir;
  const std::string page = dir / "page.html";
  pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  auto make = [&](const std::string& name, bool old) {
    std::ofstream(dir / name) << "partial";
    if (old) {
      struct timespec times[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
      ::utimensat(AT_FDCWD, (dir / name).c_str(), times, 0);
    }
  };
  const std::string stale = ".page.html.hxtmp." + std::to_string(dead) + ".aaaaaaaaaaaa";
  const std::string fresh = ".page.html.hxtmp." + std::to_string(dead) + ".bbbbbbbbbbbb";
  const std::string live = ".page.html.hxtmp." + std::to_string(::getpid()) + ".cccccccccccc";
  const std::string locked = ".page.html.hxtmp." + std::to_string(dead) + ".dddddddddddd";
  const std::string other = ".other.html.hxtmp." + std::to_string(dead) + ".eeeeeeeeeeee";
  make(stale, true);
  make(fresh, false);
  make(live, true);
  make(locked, true);
  make(other, true);
  int lock_fd = ::open((dir / locked).c_str(), O_RDONLY);  // a writer elsewhere still holds it
  ASSERT_EQ(::flock(lock_fd, LOCK_EX), 0);
  write_all(page, "new");
  ::close(lock_fd);
  EXPECT_FALSE(fs::exists(dir / stale));
  EXPECT_TRUE(fs::exists(dir / fresh));
  EXPECT_TRUE(fs::exists(dir / live));
  EXPECT_TRUE(fs::exists(dir / locked));
  EXPECT_TRUE(fs::exists(dir / other));  // another page's temps are that page's business
  EXPECT_EQ(slurp(page), "new");
}

// --- rows whose values cannot be encoded ---------------------------------------------------

namespace {

// Rows with a muta and a firm name each; one row's fetch can be made to fail.
class FakeRows : public halvex::pipeline::RowSource {
 public:
  std::vector<std::string> unvan;
  size_t throw_at = SIZE_MAX;
  size_t size() const override { return unvan.size(); }
  void prepare(const std::vector<std::string>& keys) override { keys_ = keys; }
  void fetch(size_t i, halvex::json::Value* values, bool* found) override {
    for (size_t k = 0; k < keys_.size(); ++k) {
      found[k] = false;
      values[k] = halvex::json::Value::null();
    }
    values[0] = halvex::json::Value::integer(1000 + static_cast<int64_t>(i));
    found[0] = true;
    if (i == throw_at) throw halvex::ValueError("surrogates not allowed");
    if (unvan[i].empty()) {
      values[1] = halvex::json::Value::integer(5);  // not text
    } else {
      values[1] = halvex::json::Value::string(unvan[i]);
    }
    found[1] = true;
  }

 private:
  std::vector<std::string> keys_;
};

}  // namespace

TEST(RowErrors, NameTheRowForAFailedFetchAndAFailedEncoding) {
  using namespace halvex::pipeline;
  FakeRows rows;
  rows.unvan = {"A", "B", "C", "D"};
  rows.throw_at = 2;
  const std::vector<uint32_t> kept = {0, 1, 2, 3};
  RowLayout layout = RowLayout::standard({}, {});
  ReferenceNames names;
  StandardRows out;
  try {
    build_standard_rows(rows, kept, layout, names, 10, 1, out);
    FAIL() << "no error";
  } catch (const halvex::ValueError& e) {
    EXPECT_STREQ(e.what(), "surrogates not allowed (row 2, muta 1002)");
  }
  rows.throw_at = SIZE_MAX;
  rows.unvan[3] = "";  // the firm name is a number: the encoder refuses it
  try {
    build_standard_rows(rows, kept, layout, names, 10, 1, out);
    FAIL() << "no error";
  } catch (const halvex::TypeError& e) {
    EXPECT_STREQ(e.what(), "'unvan' must be a string, not 'int' (row 3, muta 1003)");
  }
  // The compressed layout names it the same way.
  RowLayout compressed = RowLayout::compressed({}, {});
  try {
    encode_compressed_chunks(rows, kept, compressed, 10, 1);
    FAIL() << "no error";
  } catch (const halvex::TypeError& e) {
    EXPECT_STREQ(e.what(), "'unvan' must be a string, not 'int' (row 3, muta 1003)");
  }
}
