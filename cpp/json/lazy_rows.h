// Rows of a document parsed with lazy rows (see parse_document), read one at a time: whole,
// or only the members a caller wants. Row texts of a mapped file are read from the file
// again, so each read checks that the file has not changed meanwhile.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/parser.h"
#include "json/value.h"

namespace halvex::json {

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

// Reads the wanted members of row i without building the rest of the row: values[k] and
// found[k] for each field. A member repeated in the row takes its later value, as when the
// row is built whole. Returns false when the row is not an object (values are then
// untouched).
bool read_lazy_row_fields(const Document& doc, size_t i, FieldSet& fields, Arena& arena,
                          ParseScratch& scratch, Value* values, bool* found, Kind* row_kind);

// Builds row i in `arena`. Safe to call from several threads at once with different arenas
// and scratches.
Value parse_lazy_row(const Document& doc, size_t i, Arena& arena, ParseScratch& scratch,
                     int max_depth = DEFAULT_MAX_DEPTH);

}  // namespace halvex::json
