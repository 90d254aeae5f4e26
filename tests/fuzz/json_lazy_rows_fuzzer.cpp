// Parse with lazy rows, then every row built whole and read field by field (the renderer's
// two ways of reading a row of a document file).
#include <cstdint>
#include <string>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace halvex;
  json::Document doc;
  doc.text.assign(reinterpret_cast<const char*>(data), size);
  try {
    json::parse_document(doc, json::DEFAULT_MAX_DEPTH, /*lazy_rows=*/true);
  } catch (const Error&) {
    return 0;
  }
  fuzz::check_lazy_rows(doc);
  return 0;
}
