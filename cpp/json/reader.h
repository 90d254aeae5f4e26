// JSON reader with Python's json module semantics: member order kept, NaN / Infinity /
// -Infinity accepted, duplicate keys resolved as a dict does (the later value at the first
// key's position), integers of any size exact, strict UTF-8.
#pragma once

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
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

// The document's file changed (truncated, rewritten in place) while it was being read.
struct ChangedError : ValueError {
  explicit ChangedError(const std::string& path)
      : ValueError("the document changed while it was read" + (path.empty() ? std::string() : ": " + path)) {}
};

// Parses the document's text (which must hold the whole document) into doc.root. Strings are
// decoded in place, so the text buffer is modified. With lazy_rows, the elements of the root
// object's "rows" array are validated only (see Document). Throws DecodeError or ParseError.
void parse_document(Document& doc, int max_depth = DEFAULT_MAX_DEPTH, bool lazy_rows = false,
                    bool release_rows = false);

// Reads a whole file as UTF-8 JSON text (mapped, not copied, when it is a regular file; a
// pipe or device is read as a stream from the one descriptor opened). With release_rows, the
// memory of row texts is let go as they are read (for callers that read each row once, in
// order). Throws OsError, DecodeError or ParseError, or ValueError when the file changed
// while it was read. Everything but the row texts is the process's own copy once this returns;
// row texts are read from the file again later, so their readers call check_unchanged.
void read_document_file(const std::string& path, Document& doc, int max_depth = DEFAULT_MAX_DEPTH,
                        bool lazy_rows = false, bool release_rows = false);

// Whether the file a document was mapped from has changed since it was read (truncated,
// rewritten in place): a read of a vanished page found zeros instead of a signal, or the
// file's size or times differ. Always false for a document held in memory.
bool document_changed(const Document& doc);
// Throws ChangedError when document_changed.
void check_unchanged(const Document& doc);
// Set once a read of the document's mapping found a page gone (cheap to test per row), or
// nullptr for a document held in memory.
const std::atomic<bool>* change_flag(const Document& doc);

// Working memory of the parser, kept between calls so that parsing many small values (rows)
// allocates nothing after the first few.
struct ParseScratch {
  std::vector<Value> values;
  std::vector<Member> members;
  std::vector<std::string> shape;  // keys of the last large object found free of duplicates
};

// The member names a caller wants from many objects, with what was learnt about where they
// stand (objects of one document usually share their member order). A name may be wanted
// more than once (a period listed twice): every entry of it gets the member.
class FieldSet {
 public:
  explicit FieldSet(std::vector<std::string> keys);
  size_t size() const { return keys_.size(); }
  // Index of the first entry of `key` among the wanted names, or -1; `position` is the
  // member's position.
  int match(std::string_view key, size_t position);
  // Copies what the first entry of each repeated name got to its later entries.
  void fill_repeats(Value* values, bool* found) const;

 private:
  std::vector<std::string> keys_;
  std::vector<int> at_position_;  // field seen at each member position last time, or -1
  std::vector<std::pair<size_t, size_t>> repeats_;  // (later entry, first entry of its name)
};

// Reads the wanted members of row i (a document read with lazy rows) without building the
// rest of the row: values[k] and found[k] for each field. A member repeated in the row takes
// its later value, as when the row is built whole. Returns false when the row is not an
// object (values are then untouched).
bool read_lazy_row_fields(const Document& doc, size_t i, FieldSet& fields, Arena& arena,
                          ParseScratch& scratch, Value* values, bool* found, Kind* row_kind);

// Builds row i of a document read with lazy rows, in `arena`. Safe to call from several
// threads at once with different arenas and scratches.
Value parse_lazy_row(const Document& doc, size_t i, Arena& arena, ParseScratch& scratch,
                     int max_depth = DEFAULT_MAX_DEPTH);

// Reads a whole file into a string. Throws OsError.
std::string read_file(const std::string& path);

}  // namespace halvex::json
