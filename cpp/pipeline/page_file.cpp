#include "pipeline/page_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/errors.h"
#include "json/number_text.h"

namespace halvex::pipeline {

namespace {

[[noreturn]] void throw_os(int err, const std::string& path) {
  throw OsError(err, std::strerror(err), path);
}

}  // namespace

std::string parent_dir(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void make_dirs(const std::string& path) {
  if (path.empty()) return;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return;
    throw_os(EEXIST, path);
  }
  std::string parent = parent_dir(path);
  if (!parent.empty() && parent != path) make_dirs(parent);
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) throw_os(errno, path);
}

namespace {

constexpr size_t kWriteBuffer = size_t(1) << 20;

}  // namespace

AtomicFile::AtomicFile(const std::string& target) {
  // A symbolic link keeps pointing where it did: the page replaces the file it points to.
  path_ = target;
  struct stat lst;
  if (::lstat(target.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
    if (char* real = ::realpath(target.c_str(), nullptr)) {
      path_ = real;
      std::free(real);
    }
  }
  std::string dir = parent_dir(path_);
  make_dirs(dir);
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) throw_os(EISDIR, target);
  std::string base = path_.substr(dir.empty() ? 0 : dir.size() + (dir == "/" ? 0 : 1));
  std::string tmpl = (dir.empty() ? std::string() : (dir == "/" ? dir : dir + "/")) + "." + base + ".tmp-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  fd_ = ::mkstemp(name.data());
  if (fd_ < 0) throw_os(errno, target);
  tmp_path_ = name.data();
  // mkstemp creates the file private; give it the mode an ordinary open() would.
  mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd_, 0666 & ~mask) != 0) fail(errno);
  buffer_.reserve(kWriteBuffer);
}

AtomicFile::~AtomicFile() {
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(tmp_path_.c_str());
  }
}

void AtomicFile::fail(int err) {
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(tmp_path_.c_str());
    fd_ = -1;
  }
  throw_os(err, path_);
}

void AtomicFile::flush() {
  const char* p = buffer_.data();
  size_t left = buffer_.size();
  while (left > 0) {
    ssize_t n = ::write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  buffer_.clear();
}

void AtomicFile::write(std::string_view bytes) {
  written_ += bytes.size();
  if (buffer_.size() + bytes.size() <= kWriteBuffer) {
    buffer_.append(bytes);
    return;
  }
  flush();
  if (bytes.size() >= kWriteBuffer) {
    buffer_.assign(bytes);  // large pieces go straight through
    flush();
    buffer_.shrink_to_fit();
    buffer_.reserve(kWriteBuffer);
  } else {
    buffer_.append(bytes);
  }
}

uint64_t AtomicFile::commit() {
  flush();
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(tmp_path_.c_str());
    throw_os(err, path_);
  }
  if (::rename(tmp_path_.c_str(), path_.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp_path_.c_str());
    throw_os(err, path_);
  }
  return written_;
}

uint64_t write_file_atomic(const std::string& path, const std::vector<std::string_view>& pieces) {
  AtomicFile file(path);
  for (std::string_view piece : pieces) file.write(piece);
  return file.commit();
}

std::string size_text(uint64_t size_bytes) {
  if (size_bytes > 1048576) {
    double mb = static_cast<double>(size_bytes) / 1024 / 1024;
    return json::format_fixed(mb, 1) + " MB";
  }
  return json::format_fixed(static_cast<double>(size_bytes) / 1024, 1) + " KB";
}

std::string limit_text(double limit_mb) { return json::double_repr(limit_mb, false); }

}  // namespace halvex::pipeline
