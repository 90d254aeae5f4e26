// Whole-document parse of arbitrary bytes: an Error or a tree that writes and reads back
// to the same text.
#include <cstdint>
#include <string>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace halvex;
  json::Document doc;
  doc.text.assign(reinterpret_cast<const char*>(data), size);
  try {
    // A shallow limit as well, so the depth checks meet input that crosses them.
    json::parse_document(doc, size % 2 ? json::DEFAULT_MAX_DEPTH : 8);
  } catch (const Error&) {
    return 0;
  }
  fuzz::check_roundtrip(doc.root);
  return 0;
}
