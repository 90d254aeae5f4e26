#include "common/same_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <deque>
#include <vector>

namespace halvex {

namespace {

// As the kernel's own limit on links followed in one look-up.
constexpr int kMaxLinks = 40;

void split_into(const std::string& path, std::deque<std::string>& parts, bool front) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) names.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  if (front) {
    parts.insert(parts.begin(), names.begin(), names.end());
  } else {
    parts.insert(parts.end(), names.begin(), names.end());
  }
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& name : names) out += "/" + name;
  return out.empty() ? "/" : out;
}

}  // namespace

std::string resolved_path(const std::string& path) {
  std::deque<std::string> todo;
  if (path.empty() || path[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd)) split_into(cwd, todo, false);
  }
  split_into(path, todo, false);
  std::vector<std::string> done;
  int links = 0;
  while (!todo.empty()) {
    std::string name = std::move(todo.front());
    todo.pop_front();
    if (name == ".") continue;
    if (name == "..") {
      if (!done.empty()) done.pop_back();
      continue;
    }
    done.push_back(std::move(name));
    if (links >= kMaxLinks) continue;  // a loop: the rest stays as written
    char target[PATH_MAX];
    const ssize_t n = readlink(joined(done).c_str(), target, sizeof target);
    if (n <= 0) continue;  // not a link, or not there
    ++links;
    done.pop_back();
    if (target[0] == '/') done.clear();
    split_into(std::string(target, static_cast<size_t>(n)), todo, true);
  }
  return joined(done);
}

bool same_file(const std::string& output, const std::string& input) {
  struct stat out {}, in {};
  const bool out_exists = stat(output.c_str(), &out) == 0;
  const bool in_exists = stat(input.c_str(), &in) == 0;
  if (out_exists && in_exists) {
    return S_ISREG(in.st_mode) && out.st_dev == in.st_dev && out.st_ino == in.st_ino;
  }
  if (in_exists && !S_ISREG(in.st_mode)) return false;
  return resolved_path(output) == resolved_path(input);
}

}  // namespace halvex
