#include "common/memory.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace halvex {

namespace {

constexpr std::uint64_t kUnknown = UINT64_MAX;

// The value in kB of the line "name:  123 kB" of a /proc file, in bytes.
std::uint64_t proc_kb(const char* file, const std::string& name) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, name.size(), name) == 0 && line.size() > name.size() && line[name.size()] == ':') {
      std::istringstream value(line.substr(name.size() + 1));
      std::uint64_t kb = 0;
      if (value >> kb) return kb * 1024;
    }
  return kUnknown;
}

std::uint64_t left_by_limit(int resource, const char* size_line) {
  rlimit lim{};
  if (getrlimit(resource, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return kUnknown;
  const std::uint64_t used = proc_kb("/proc/self/status", size_line);
  if (used == kUnknown) return kUnknown;
  return used >= lim.rlim_cur ? 0 : lim.rlim_cur - used;
}

// A number file of a cgroup folder; kUnknown for "max" or nothing readable.
std::uint64_t cgroup_value(const std::string& folder, const char* name) {
  std::ifstream in(folder + "/" + name);
  std::uint64_t v = 0;
  return in >> v ? v : kUnknown;
}

std::uint64_t left_by_cgroup() {
  std::ifstream in("/proc/self/cgroup");
  std::string path;
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, 3, "0::") == 0) path = line.substr(3);
  if (path.empty()) return kUnknown;
  std::uint64_t left = kUnknown;
  // A limit set on an ancestor holds as well as the process's own.
  for (;;) {
    const std::string folder = "/sys/fs/cgroup" + (path == "/" ? std::string() : path);
    const std::uint64_t max = cgroup_value(folder, "memory.max");
    const std::uint64_t current = cgroup_value(folder, "memory.current");
    if (max != kUnknown && current != kUnknown) left = std::min(left, current >= max ? 0 : max - current);
    if (path == "/" || path.empty()) break;
    const std::size_t slash = path.rfind('/');
    path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  }
  return left;
}

}  // namespace

std::uint64_t memory_available() {
  std::uint64_t system = proc_kb("/proc/meminfo", "MemAvailable");
  if (system == kUnknown) {
    const long pages = sysconf(_SC_AVPHYS_PAGES), size = sysconf(_SC_PAGESIZE);
    if (pages > 0 && size > 0) system = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(size);
  }
  return std::min({system, left_by_limit(RLIMIT_AS, "VmSize"), left_by_limit(RLIMIT_DATA, "VmData"),
                   left_by_cgroup()});
}

}  // namespace halvex
