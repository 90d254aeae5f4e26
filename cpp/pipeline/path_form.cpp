#include "pipeline/path_form.h"

#include <vector>

namespace halvex::pipeline {

namespace {

struct Parts {
  std::string root;  // "", "/" or "//"
  std::vector<std::string> names;

  std::string text() const {
    std::string out = root;
    for (size_t i = 0; i < names.size(); ++i) out += (i ? "/" : "") + names[i];
    return out.empty() ? "." : out;
  }
};

Parts parse(const std::string& p) {
  Parts parts;
  const size_t slashes = p.find_first_not_of('/') == std::string::npos ? p.size() : p.find_first_not_of('/');
  if (slashes > 0) parts.root = slashes == 2 ? "//" : "/";
  size_t start = slashes;
  while (start < p.size()) {
    size_t end = p.find('/', start);
    if (end == std::string::npos) end = p.size();
    std::string name = p.substr(start, end - start);
    if (!name.empty() && name != ".") parts.names.push_back(std::move(name));
    start = end + 1;
  }
  return parts;
}

}  // namespace

std::string path_text(const std::string& p) { return parse(p).text(); }

std::string path_parent(const std::string& p) {
  Parts parts = parse(p);
  if (!parts.names.empty()) parts.names.pop_back();
  return parts.text();
}

std::string path_join(const std::string& a, const std::string& b) {
  Parts parts = parse(a), tail = parse(b);
  if (!tail.root.empty()) return tail.text();
  parts.names.insert(parts.names.end(), tail.names.begin(), tail.names.end());
  return parts.text();
}

std::string path_name(const std::string& p) {
  Parts parts = parse(p);
  return parts.names.empty() ? "" : parts.names.back();
}

}  // namespace halvex::pipeline
