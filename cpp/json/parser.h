// JSON parser with Python's json module semantics: member order kept, NaN / Infinity /
// -Infinity accepted, duplicate keys resolved as a dict does (the later value at the first
// key's position), integers of any size exact, strict UTF-8.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/errors.h"
#include "json/value.h"

namespace halvex::json {

// Deeper nesting than this is refused with a ParseError instead of exhausting the stack.
constexpr int DEFAULT_MAX_DEPTH = 1000;

// A syntax error; what() is Python's "msg: line L column C (char P)".
class ParseError : public Error {
 public:
  ParseError(std::string msg, size_t char_pos, size_t line, size_t column);
  const std::string& msg() const { return msg_; }
  size_t pos() const { return pos_; }
  size_t line() const { return line_; }
  size_t column() const { return column_; }

 private:
  std::string msg_;
  size_t pos_, line_, column_;
};

// Bytes that are not valid UTF-8 text; what() is Python's "'utf-8' codec can't decode byte
// 0xff in position 1234: invalid start byte". Like Python's exception, it holds the input
// (its first end() bytes, so that bytes()[start, end) is the fault): a copy made once, and
// shared by the copies of the error.
class DecodeError : public Error {
 public:
  DecodeError(std::string_view text, size_t start, size_t end, std::string reason);
  // The same fault, its reason followed by `more` (where it was found).
  DecodeError(const DecodeError& e, const std::string& more);
  std::string_view bytes() const { return *bytes_; }
  size_t start() const { return start_; }
  size_t end() const { return end_; }
  const std::string& reason() const { return reason_; }

 private:
  std::shared_ptr<const std::string> bytes_;
  size_t start_, end_;
  std::string reason_;
};

// Throws DecodeError for the first fault of text that is not valid UTF-8.
void check_utf8(std::string_view text);

// Parses the document's text (which must hold the whole document) into doc.root. Strings are
// decoded in place, so the text buffer is modified. With lazy_rows, the elements of the root
// object's "rows" array are validated only, and their text ranges kept (json/lazy_rows.h
// reads them). Throws DecodeError or ParseError.
void parse_document(Document& doc, int max_depth = DEFAULT_MAX_DEPTH, bool lazy_rows = false,
                    bool release_rows = false);

// Working memory of the parser, kept between calls so that parsing many small values (rows)
// allocates nothing after the first few.
struct ParseScratch {
  std::vector<Value> values;
  std::vector<Member> members;
  std::vector<std::string> shape;  // keys of the last large object found free of duplicates
};

class FieldSet;

namespace detail {
// For json/lazy_rows: the value known to be valid at `offset` of the document's text, its
// strings copied into `arena` (the text is left as it is).
Value parse_row_at(const Document& doc, size_t offset, Arena& arena, ParseScratch& scratch, int max_depth);
// For json/lazy_rows: the wanted members of the value at `offset` (see read_lazy_row_fields).
bool scan_row_fields_at(const Document& doc, size_t offset, FieldSet& fields, Arena& arena, ParseScratch& scratch,
                        Value* values, bool* found, Kind* row_kind);
}  // namespace detail

}  // namespace halvex::json
