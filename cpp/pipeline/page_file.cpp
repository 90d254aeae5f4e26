#include "pipeline/page_file.h"

#include "common/number_text.h"

namespace halvex::pipeline {

uint64_t write_file_atomic(const std::string& path, const std::vector<std::string_view>& pieces) {
  AtomicFile file(path);
  for (std::string_view piece : pieces) file.write(piece);
  return file.commit();
}

std::string size_text(uint64_t size_bytes) {
  if (size_bytes > 1048576) {
    double mb = static_cast<double>(size_bytes) / 1024 / 1024;
    return halvex::format_fixed(mb, 1) + " MB";
  }
  return halvex::format_fixed(static_cast<double>(size_bytes) / 1024, 1) + " KB";
}

std::string limit_text(double limit_mb) { return halvex::double_repr(limit_mb, false); }

}  // namespace halvex::pipeline
