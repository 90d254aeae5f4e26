// The bytes as a document file: mapped and read with lazy rows whose texts are let go, and
// read whole by read_file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_common.h"

namespace {

const std::string& scratch_path() {
  static const std::string path = [] {
    char name[] = "/tmp/halvex-fuzz-XXXXXX";
    int fd = ::mkstemp(name);
    if (fd < 0) std::abort();
    ::close(fd);
    std::atexit([] { std::remove(scratch_path().c_str()); });
    return std::string(name);
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace halvex;
  const std::string& path = scratch_path();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);

  if (json::read_file(path) != std::string(reinterpret_cast<const char*>(data), size)) std::abort();

  json::Document doc;
  try {
    json::read_document_file(path, doc, json::DEFAULT_MAX_DEPTH, /*lazy_rows=*/true, /*release_rows=*/true);
  } catch (const Error&) {
    return 0;
  }
  fuzz::check_lazy_rows(doc);
  return 0;
}
