// UTF-8 helpers: strict validation (as Python's "utf-8" codec decodes) and code-point slicing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace halvex::json {

struct Utf8Error {
  size_t start;       // byte offset of the first invalid byte
  size_t end;         // one past the bytes that form the invalid sequence
  const char* reason; // Python's wording: "invalid start byte", "invalid continuation byte", ...
  bool cut = false;    // the bytes ended inside a character ("unexpected end of data")
};

// Returns true for valid UTF-8; otherwise fills err with Python's description of the first fault.
bool validate_utf8(std::string_view bytes, Utf8Error* err);

// The first n code points of a valid UTF-8 text.
std::string_view utf8_prefix(std::string_view s, size_t n_code_points);

// Number of code points before byte offset pos.
size_t utf8_count(std::string_view s, size_t pos);

// Appends the UTF-8 form of a code point; lone surrogates (U+D800..U+DFFF) get the generalised
// 3-byte form so that they survive a round trip and can be refused when written out.
void append_utf8(std::string& out, uint32_t cp);

}  // namespace halvex::json
