// JSON writer whose output equals Python's json.dumps(value, ensure_ascii=False,
// separators=...) byte for byte; optionally writes "<" as \u003c for text inside a <script>.
#pragma once

#include <string>

#include "json/value.h"

namespace halvex::json {

struct WriteOptions {
  bool spaced = false;     // ", " and ": " (json.dumps' defaults) instead of "," and ":"
  bool escape_lt = false;  // "<" as \u003c, so no value can close a script element
};

// Throws ValueError for a string holding a lone surrogate (it has no UTF-8 form).
void write(std::string& out, const Value& v, const WriteOptions& opts = {});
std::string to_json(const Value& v, const WriteOptions& opts = {});

// Writes one JSON string literal.
void write_string(std::string& out, std::string_view s, bool escape_lt = false);

}  // namespace halvex::json
