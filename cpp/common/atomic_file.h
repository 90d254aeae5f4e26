// The one writer of whole output files (pages, feature matrices, CLI outputs): a reader of the
// target sees the old file or the complete new one, never a part, whatever happens meanwhile.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace halvex {

// Writes `path` through a temporary file created exclusively beside it (an unpredictable name
// that starts with "." and the target's name and holds ".hxtmp."), synced to disk before it
// is renamed over the target on commit(); the folder is synced after. Without commit() (a
// failure, an exception, a destroyed writer) the temporary file is removed and the target is
// untouched.
//
// - An existing target keeps its permission bits, and its owner and group where the process
//   may set them; a new file gets the mode an ordinary open() would give it (0666 less the
//   umask, or the folder's default ACL).
// - A symbolic link is written through: the file it points to is replaced, also when it does
//   not exist yet; a loop of links is OsError(ELOOP).
// - A named pipe or a character device (/dev/stdout in a pipeline, /dev/null) is opened and
//   written directly: nothing there to replace.
// - A path with an embedded NUL is ValueError; a path ending in "/" or naming a folder is
//   OsError(EISDIR). Missing parent folders are created.
// - A temporary file that a killed writer left for the same target (older than
//   kStaleTempSeconds, and not locked by a live writer) is removed by the next commit.
//
// Throws OsError for every failure of the file system, with the target's path.
class AtomicFile {
 public:
  static constexpr int kStaleTempSeconds = 300;

  explicit AtomicFile(const std::string& path);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  void write(std::string_view bytes);
  // Makes the written bytes the target's content; returns their number. In a cancelled run
  // (common/cancel.h) it throws Cancelled instead and the target stays.
  uint64_t commit();
  // Gives up: the temporary file goes, the target stays as it was. Called by the destructor.
  void discard();

  const std::string& path() const { return path_; }       // as given
  const std::string& target() const { return target_; }   // the file actually replaced
  bool direct() const { return direct_; }                 // written in place (pipe, device)
  uint64_t written() const { return written_; }

 private:
  void flush();
  void write_through(std::string_view bytes);
  void start_writeback();
  [[noreturn]] void fail(int err);
  std::string path_, target_, tmp_path_;
  int fd_ = -1;
  bool direct_ = false;
  std::string buffer_;
  uint64_t written_ = 0;
  uint64_t handed_ = 0;          // bytes handed to the file
  uint64_t writeback_from_ = 0;  // where the next early writeback starts
};

// Removes temporary files of `target` (see AtomicFile) whose writer is gone and that are
// older than `min_age_seconds`; returns how many were removed. Never throws.
int remove_stale_temps(const std::string& target, int min_age_seconds = AtomicFile::kStaleTempSeconds);

// Creates a folder and its missing parents; an existing folder is fine. Throws OsError.
void make_dirs(const std::string& path);

// Parent folder of a path ("" for a bare file name).
std::string parent_dir(const std::string& path);

}  // namespace halvex
