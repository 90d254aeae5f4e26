#include "pipeline/page_splice.h"

namespace halvex::pipeline {

ChunkMarkers::ChunkMarkers(uint64_t nonce) {
  prefix_ = "\x1e\x1e" + std::to_string(nonce) + "\x1f";
}

std::string ChunkMarkers::marker(size_t i) const { return prefix_ + std::to_string(i) + "\x1e"; }

bool ChunkMarkers::split(std::string_view page, size_t n_chunks, std::vector<Part>& parts) const {
  parts.clear();
  std::vector<bool> seen(n_chunks, false);
  size_t pos = 0, text_from = 0;
  while (true) {
    size_t at = page.find(prefix_, pos);
    if (at == std::string_view::npos) break;
    size_t d = at + prefix_.size(), e = d;
    size_t index = 0;
    while (e < page.size() && page[e] >= '0' && page[e] <= '9' && e - d < 19) {
      index = index * 10 + static_cast<size_t>(page[e] - '0');
      ++e;
    }
    if (e == d || e >= page.size() || page[e] != '\x1e' || index >= n_chunks) {
      pos = at + 1;
      continue;
    }
    parts.push_back(Part{SIZE_MAX, page.substr(text_from, at - text_from)});
    parts.push_back(Part{index, {}});
    seen[index] = true;
    pos = text_from = e + 1;
  }
  parts.push_back(Part{SIZE_MAX, page.substr(text_from)});
  for (bool s : seen) {
    if (!s) return false;
  }
  return true;
}

}  // namespace halvex::pipeline
