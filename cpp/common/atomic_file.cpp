#include "common/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/cancel.h"
#include "common/errors.h"
#include "common/path_text.h"

namespace halvex {

namespace {

constexpr size_t kWriteBuffer = size_t(1) << 20;
// Written bytes handed to the disk in steps of this while the rest is still being written,
// so that the sync before the rename has little left to wait for.
constexpr uint64_t kWritebackStep = uint64_t(8) << 20;
constexpr int kMaxLinks = 40;          // as the kernel's own limit on a chain of links
constexpr size_t kMaxNamePrefix = 200; // of the target's name in a temporary name (NAME_MAX 255)
constexpr char kTempMark[] = ".hxtmp.";

[[noreturn]] void throw_os(int err, const std::string& path) { throw OsError(err, std::strerror(err), path); }

std::string base_name(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// The start of every temporary name of `target`: "." + its name (cut to fit) + ".hxtmp.".
std::string temp_prefix(const std::string& target) {
  std::string name = base_name(target);
  if (name.size() > kMaxNamePrefix) {
    size_t cut = kMaxNamePrefix;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;  // whole characters
    name.resize(cut);
  }
  return "." + name + kTempMark;
}

std::string random_token(size_t n) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz234567";
  unsigned char raw[32];
  ssize_t got = ::getrandom(raw, n, GRND_NONBLOCK);
  if (got != static_cast<ssize_t>(n)) {
    // No entropy yet (early boot): the clock and the address of a stack slot still vary.
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t x = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(ts.tv_sec) << 30) ^
                 reinterpret_cast<uintptr_t>(&ts) ^ static_cast<uint64_t>(::getpid()) << 17;
    for (size_t i = 0; i < n; ++i) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      raw[i] = static_cast<unsigned char>(x);
    }
  }
  std::string out(n, 'a');
  for (size_t i = 0; i < n; ++i) out[i] = kAlphabet[raw[i] & 31];
  return out;
}

void sync_folder(const std::string& dir) {
  int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);  // some file systems cannot sync a folder; the rename stands all the same
  ::close(fd);
}

// Where a chain of symbolic links that ends nowhere points: the file to create.
std::string follow_dangling_link(const std::string& path) {
  std::string cur = path;
  for (int hops = 0; hops < kMaxLinks; ++hops) {
    std::vector<char> buf(PATH_MAX + 1);
    ssize_t n = ::readlink(cur.c_str(), buf.data(), buf.size() - 1);
    if (n < 0) throw_os(errno, path);
    std::string link(buf.data(), static_cast<size_t>(n));
    std::string next = link.front() == '/' ? link : join(parent_dir(cur), link);
    struct stat st;
    if (::lstat(next.c_str(), &st) != 0) {
      if (errno == ENOENT) return next;
      throw_os(errno, path);
    }
    if (!S_ISLNK(st.st_mode)) return next;
    cur = next;
  }
  throw_os(ELOOP, path);
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

AtomicFile::AtomicFile(const std::string& path) : path_(path) {
  check_path_text(path);
  if (path.empty()) throw_os(ENOENT, path);
  if (path.back() == '/') throw_os(EISDIR, path);

  // What the path names once links are followed decides how it is written.
  struct stat st;
  bool exists = ::stat(path.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) throw_os(errno, path);
  target_ = path;
  if (exists) {
    if (S_ISDIR(st.st_mode)) throw_os(EISDIR, path);
    if (!S_ISREG(st.st_mode)) {
      // A pipe or a device: written where it is, as an ordinary open() would.
      fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
      if (fd_ < 0) throw_os(errno, path);
      direct_ = true;
      buffer_.reserve(kWriteBuffer);
      return;
    }
    struct stat lst;
    if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
      if (char* real = ::realpath(path.c_str(), nullptr)) {
        target_ = real;
        std::free(real);
      } else {
        throw_os(errno, path);
      }
    }
  } else {
    struct stat lst;
    if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) target_ = follow_dangling_link(path);
  }

  std::string dir = parent_dir(target_);
  make_dirs(dir);
  const std::string prefix = join(dir, temp_prefix(target_)) + std::to_string(::getpid()) + ".";
  // A new file is created with the mode an ordinary open() gives it (the kernel applies the
  // umask or the folder's default ACL); a replacement starts private and takes the old mode.
  const mode_t create_mode = exists ? 0600 : 0666;
  for (int attempt = 0; fd_ < 0; ++attempt) {
    tmp_path_ = prefix + random_token(12);
    fd_ = ::open(tmp_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, create_mode);
    if (fd_ < 0 && (errno != EEXIST || attempt >= 100)) {
      int err = errno;
      tmp_path_.clear();
      throw_os(err, path);
    }
  }
  // Held until the rename: a cleaner never takes the file of a live writer.
  ::flock(fd_, LOCK_EX | LOCK_NB);
  if (exists) {
    struct stat mine;
    if (::fstat(fd_, &mine) == 0 && (mine.st_uid != st.st_uid || mine.st_gid != st.st_gid)) {
      if (::fchown(fd_, st.st_uid, st.st_gid) != 0) {
        if (::fchown(fd_, static_cast<uid_t>(-1), st.st_gid) != 0) {
          // Not permitted: the page becomes the writer's, like any file it creates.
        }
      }
    }
    if (::fchmod(fd_, st.st_mode & 07777) != 0) fail(errno);
  }
  buffer_.reserve(kWriteBuffer);
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  if (!direct_ && !tmp_path_.empty()) ::unlink(tmp_path_.c_str());
}

void AtomicFile::fail(int err) {
  discard();
  throw_os(err, path_);
}

void AtomicFile::flush() {
  write_through(buffer_);
  buffer_.clear();
}

void AtomicFile::write_through(std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  handed_ += bytes.size();
  start_writeback();
}

void AtomicFile::start_writeback() {
#ifdef SYNC_FILE_RANGE_WRITE
  if (direct_ || handed_ - writeback_from_ < kWritebackStep) return;
  // Starts the writing and returns; a failure shows again in the sync on commit.
  ::sync_file_range(fd_, static_cast<off_t>(writeback_from_), static_cast<off_t>(handed_ - writeback_from_),
                    SYNC_FILE_RANGE_WRITE);
  writeback_from_ = handed_;
#endif
}

void AtomicFile::write(std::string_view bytes) {
  if (fd_ < 0) throw ValueError("write to a file already committed or discarded");
  written_ += bytes.size();
  if (buffer_.size() + bytes.size() <= kWriteBuffer) {
    buffer_.append(bytes);
    return;
  }
  flush();
  if (bytes.size() >= kWriteBuffer) {
    write_through(bytes);  // large pieces go straight through, not copied
  } else {
    buffer_.append(bytes);
  }
}

uint64_t AtomicFile::commit() {
  if (fd_ < 0) throw ValueError("commit of a file already committed or discarded");
  // A run stopped while the file was written keeps the old target.
  cancel_point_now();
  flush();
  if (direct_) {
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw_os(errno, path_);
    return written_;
  }
  // On disk before it has the target's name: a crash leaves the old page or the new one.
  if (::fsync(fd_) != 0 && errno != EINVAL && errno != ENOTSUP) fail(errno);
  if (::rename(tmp_path_.c_str(), target_.c_str()) != 0) fail(errno);
  int fd = fd_;
  fd_ = -1;
  ::close(fd);
  sync_folder(parent_dir(target_));
  remove_stale_temps(target_);
  return written_;
}

int remove_stale_temps(const std::string& target, int min_age_seconds) {
  const std::string dir = parent_dir(target);
  const std::string prefix = temp_prefix(target);
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return 0;
  int removed = 0;
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  while (struct dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    // ".<name>.hxtmp.<pid>.<token>": a writer on this machine that still runs keeps its file.
    char* end = nullptr;
    long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
    if (pid <= 0 || !end || *end != '.') continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) continue;
    std::string path = join(dir, name);
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    // Old, a regular file, and not locked by a writer (one on another machine, say).
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && now.tv_sec - st.st_mtim.tv_sec >= min_age_seconds &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      struct stat again;
      if (::lstat(path.c_str(), &again) == 0 && again.st_ino == st.st_ino && again.st_dev == st.st_dev &&
          ::unlink(path.c_str()) == 0) {
        ++removed;
      }
    }
    ::close(fd);
  }
  ::closedir(d);
  return removed;
}

}  // namespace halvex
