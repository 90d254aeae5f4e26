#include "json/document_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "common/errors.h"
#include "common/path_text.h"
#include "json/parser.h"

namespace halvex::json {

namespace {

[[noreturn]] void throw_os(int err, const std::string& path) { throw OsError(err, std::strerror(err), path); }

// Reads what an open file holds, to its end. A regular file is read into a buffer of its
// size; a pipe or device as a stream, in blocks.
std::string read_fd(int fd, const struct stat& st, const std::string& path) {
  std::string out;
  size_t size = S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) : 0;
  out.resize(size > 0 ? size + 1 : 65536);  // one byte more: the end is seen in one read
  size_t used = 0;
  while (true) {
    if (used == out.size()) out.resize(out.size() * 2);
    ssize_t n = ::read(fd, out.data() + used, out.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os(errno, path);
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  out.resize(used);
  return out;
}

// An open descriptor, closed on every way out.
struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

int open_for_reading(const std::string& path, struct stat& st) {
  check_path_text(path);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw_os(errno, path);
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    int e = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(fd);
    throw_os(e, path);
  }
  return fd;
}

}  // namespace

std::string read_file(const std::string& path) {
  struct stat st;
  Fd fd{open_for_reading(path, st)};
  return read_fd(fd.fd, st, path);
}

void Document::release_row_text(uint64_t upto) const { release_row_text(rows_text_begin, upto); }

void Document::release_row_text(uint64_t begin, uint64_t upto) const {
  if (!mapped || !release_rows) return;
  static const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  uint64_t from = (begin + page - 1) / page * page;
  uint64_t to = upto / page * page;
  if (to > from) ::madvise(mapped->data() + from, to - from, MADV_DONTNEED);
}

// A mapped document file can be truncated or rewritten by another process while it is read;
// a read of a mapped page past the new end is then SIGBUS. Each mapping is watched: the
// SIGBUS handler puts a zero page where the file went missing and marks the watch, and the
// file's identity, size and times are compared with those taken before the mapping. Callers
// check (check_unchanged) before they trust what they read, so a changed file ends the read
// with a clear error instead of a signal or a page built from two contents.
namespace {

constexpr size_t kMaxWatches = 64;  // documents mapped at once; more are read into memory

struct Watch {
  std::atomic<uintptr_t> begin{0}, end{0};  // the mapping, read by the signal handler
  std::atomic<bool> faulted{false};
  std::atomic<bool> in_use{false};
  int fd = -1;  // kept open to compare the file with its snapshot
  struct stat snapshot {};
  std::string path;
};

Watch g_watches[kMaxWatches];
std::mutex g_handler_mu;
struct sigaction g_previous {};
const uintptr_t g_page_size = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));  // known before any fault

void on_sigbus(int sig, siginfo_t* info, void* context) {
  const auto addr = reinterpret_cast<uintptr_t>(info->si_addr);
  const uintptr_t page = g_page_size;
  for (Watch& w : g_watches) {
    uintptr_t b = w.begin.load(std::memory_order_acquire), e = w.end.load(std::memory_order_acquire);
    if (b == 0 || addr < b || addr >= e) continue;
    // Only the page that went missing: pages already copied (strings decoded in place, the
    // document's snapshot) never fault and keep their content.
    void* at = reinterpret_cast<void*>(addr / page * page);
    if (::mmap(at, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      w.faulted.store(true, std::memory_order_release);
      return;
    }
    break;
  }
  // Not a watched mapping: whoever handled SIGBUS before, or the default action.
  if ((g_previous.sa_flags & SA_SIGINFO) && g_previous.sa_sigaction) {
    g_previous.sa_sigaction(sig, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(sig);
  } else {
    ::signal(SIGBUS, SIG_DFL);  // the access is repeated on return and ends the process
  }
}

// Installed again whenever another handler (faulthandler, say) has replaced it since; that
// one is then called for faults outside watched mappings.
void ensure_sigbus_handler() {
  std::lock_guard<std::mutex> lock(g_handler_mu);
  struct sigaction current {};
  ::sigaction(SIGBUS, nullptr, &current);
  if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == on_sigbus) return;
  struct sigaction mine {};
  mine.sa_sigaction = on_sigbus;
  mine.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&mine.sa_mask);
  g_previous = current;
  ::sigaction(SIGBUS, &mine, nullptr);
}

Watch* watch_of(const Document& doc) {
  if (!doc.mapped) return nullptr;
  const auto b = reinterpret_cast<uintptr_t>(doc.mapped->data());
  for (Watch& w : g_watches) {
    if (w.begin.load(std::memory_order_relaxed) == b) return &w;
  }
  return nullptr;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool before(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Whether some process has the file open for writing now: a read lease is refused then. The
// lease is let go at once; a writer opening meanwhile would notify us with SIGURG, which is
// ignored, instead of SIGIO, which ends the process. Where leases cannot be taken (a file of
// another user, a file system without them) the answer is "no".
bool open_for_writing(int fd) {
  if (::fcntl(fd, F_SETSIG, SIGURG) != 0) return false;
  if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    return false;
  }
  return errno == EAGAIN;
}

// The file's state, taken once its last change lies in an earlier clock tick than now and no
// writer has it open. File times come from a coarse clock and are set when a write starts:
// a change within the same tick as the snapshot, or the rest of a long write that had begun
// before it, would leave them as they were. Every write that starts later shows in them. A
// file that keeps changing is taken as it is after a while.
void settled_stat(int fd, struct stat& st, const std::string& path) {
  struct timespec res {};
  ::clock_getres(CLOCK_REALTIME_COARSE, &res);
  for (int tries = 0;; ++tries) {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    if (::fstat(fd, &st) != 0) throw_os(errno, path);
    bool settled = before(st.st_mtim, now) && before(st.st_ctim, now) && !open_for_writing(fd);
    if (settled || tries >= 200) return;
    struct timespec pause {0, std::max<long>(res.tv_nsec, 1000000)};
    ::nanosleep(&pause, nullptr);
  }
}

[[noreturn]] void throw_changed(const std::string& path) { throw ChangedError(path); }

}  // namespace

MappedFile::~MappedFile() {
  if (!data_ || !size_) return;
  const auto b = reinterpret_cast<uintptr_t>(data_);
  for (Watch& w : g_watches) {
    if (w.begin.load(std::memory_order_relaxed) != b) continue;
    w.begin.store(0, std::memory_order_release);
    w.end.store(0, std::memory_order_release);
    if (w.fd >= 0) ::close(w.fd);
    w.fd = -1;
    w.path.clear();
    w.in_use.store(false, std::memory_order_release);
    break;
  }
  ::munmap(data_, size_);
}

bool document_changed(const Document& doc) {
  Watch* w = watch_of(doc);
  if (!w) return false;
  if (w->faulted.load(std::memory_order_acquire)) return true;
  struct stat now {};
  return ::fstat(w->fd, &now) != 0 || !same_file(now, w->snapshot);
}

void check_unchanged(const Document& doc) {
  if (document_changed(doc)) throw_changed(watch_of(doc)->path);
}

const std::atomic<bool>* change_flag(const Document& doc) {
  Watch* w = watch_of(doc);
  return w ? &w->faulted : nullptr;
}

namespace {

// Moves every page of the mapping outside the row texts into anonymous memory at the same
// address, so what the parsed values point to can no longer change or vanish: a private
// copy-on-write page is not enough, since truncating the file throws those away too. Row
// texts stay shared with the page cache: they are checked as they are read.
void own_pages_outside_rows(Document& doc) {
  static const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  const uint64_t size = doc.size();
  const uint64_t mapped = (size + page - 1) / page * page;
  uint64_t rows_from = mapped, rows_to = mapped;
  if (doc.lazy_rows && !doc.row_begin.empty()) {
    rows_from = (doc.rows_text_begin + page - 1) / page * page;
    rows_to = (doc.row_begin.back() + doc.row_size.back()) / page * page;
    if (rows_to < rows_from) rows_to = rows_from;
  }
  char* base = doc.mapped->data();
  auto own = [&](uint64_t from, uint64_t to) {
    if (to <= from) return;
    // Reading a page the file no longer has finds zeros (see on_sigbus); the caller checks.
    std::string copy(base + from, std::min(to, size) - from);
    void* p = ::mmap(base + from, to - from, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (p == MAP_FAILED) throw_os(errno, "");
    std::memcpy(base + from, copy.data(), copy.size());
  };
  own(0, rows_from);
  own(rows_to, mapped);
}
}  // namespace

void read_document_file(const std::string& path, Document& doc, int max_depth, bool lazy_rows,
                        bool release_rows) {
  struct stat st;
  Fd fd{open_for_reading(path, st)};
  doc.mapped.reset();
  doc.text.clear();
  if (S_ISREG(st.st_mode) && st.st_size > 0) {
    settled_stat(fd.fd, st, path);
    Watch* watch = nullptr;
    for (Watch& w : g_watches) {
      bool idle = false;
      if (w.in_use.compare_exchange_strong(idle, true)) {
        watch = &w;
        break;
      }
    }
    if (watch) {
      ensure_sigbus_handler();
      // A private mapping shares the page cache instead of copying the file; only the pages
      // where strings are decoded in place get copies of their own.
      void* p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_PRIVATE, fd.fd, 0);
      if (p == MAP_FAILED) {
        watch->in_use.store(false);
      } else {
        watch->fd = fd.fd;
        fd.fd = -1;
        watch->snapshot = st;
        watch->path = path;
        watch->faulted.store(false);
        watch->end.store(reinterpret_cast<uintptr_t>(p) + static_cast<uintptr_t>(st.st_size));
        watch->begin.store(reinterpret_cast<uintptr_t>(p), std::memory_order_release);
        doc.mapped = std::make_unique<MappedFile>(static_cast<char*>(p), static_cast<size_t>(st.st_size));
        try {
          parse_document(doc, max_depth, lazy_rows, release_rows);
        } catch (const Error&) {
          if (document_changed(doc)) throw_changed(path);
          throw;
        }
        own_pages_outside_rows(doc);
        check_unchanged(doc);
        return;
      }
    }
  }
  // Not mappable (a pipe, a device, an empty file, or too many documents at once): read it
  // from the descriptor already open, as a stream.
  doc.text = read_fd(fd.fd, st, path);
  if (S_ISREG(st.st_mode)) {
    struct stat after {};
    if (::fstat(fd.fd, &after) != 0 || !same_file(after, st)) throw_changed(path);
  }
  parse_document(doc, max_depth, lazy_rows, release_rows);
}


}  // namespace halvex::json
