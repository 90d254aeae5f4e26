// Writing the page: folders, an atomic replace of the target file, and the size report.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace halvex::pipeline {

// Creates a folder and its missing parents; an existing folder is fine. Throws OsError.
void make_dirs(const std::string& path);

// Parent folder of a path ("" for a bare file name).
std::string parent_dir(const std::string& path);

// A file written to a temporary name beside its target and renamed over it on commit(), so
// readers never see a partial page and a failed write leaves an existing page untouched.
// Without commit() the temporary file is removed. A symbolic link at the target keeps
// pointing where it did: the file it points to is replaced. Throws OsError.
class AtomicFile {
 public:
  explicit AtomicFile(const std::string& path);  // creates the parent folder
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  void write(std::string_view bytes);
  uint64_t commit();  // returns the size in bytes

 private:
  void flush();
  [[noreturn]] void fail(int err);
  std::string path_, tmp_path_;
  int fd_ = -1;
  std::string buffer_;
  uint64_t written_ = 0;
};

// Writes the concatenation of `pieces` atomically (see AtomicFile); returns the size.
uint64_t write_file_atomic(const std::string& path, const std::vector<std::string_view>& pieces);

// "2.0 MB" above 1 MiB, else "1.5 KB": one decimal, rounded from the exact value.
std::string size_text(uint64_t size_bytes);

// A limit as Python prints a float: shortest round-trip text, whole numbers with ".0".
std::string limit_text(double limit_mb);

}  // namespace halvex::pipeline
