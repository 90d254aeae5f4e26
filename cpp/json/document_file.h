// A JSON document read from a file: mapped rather than copied when it is a regular file, and
// watched, since another process may truncate or rewrite it while it is read (a read past
// the new end would otherwise be SIGBUS).
#pragma once

#include <atomic>
#include <string>

#include "common/errors.h"
#include "json/parser.h"
#include "json/value.h"

namespace halvex::json {

// The document's file changed (truncated, rewritten in place) while it was being read.
struct ChangedError : ValueError {
  explicit ChangedError(const std::string& path)
      : ValueError("the document changed while it was read" + (path.empty() ? std::string() : ": " + path)) {}
};

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

// Reads a whole file into a string. Throws OsError.
std::string read_file(const std::string& path);

}  // namespace halvex::json
