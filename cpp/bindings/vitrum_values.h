// The fast path between Python values and the core's JSON values: deep conversion both ways
// and a RowSource over the caller's own row dicts. This is the one place in the bindings that
// works with raw PyObject*, for speed on a million rows; what it keeps it holds a reference to
// (see Converter in the .cpp), and everything it hands out is owned.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>
#include <vector>

#include "json/value.h"
#include "pipeline/row_source.h"

namespace halvex::py {

namespace nb = nanobind;

enum class Unserialisable {
  Raise,   // TypeError "Object of type X is not JSON serializable", as json.dumps
  AsText,  // the value's str() as a JSON string (json.dumps(default=str))
  Opaque,  // kept as an opaque value: an error only if it is ever written as JSON
};

// Deep conversion of a JSON-like Python value (dict, list, tuple, str, int, float, bool,
// None, numpy scalar numbers), all of it put in `arena`. A cycle is a ValueError and nesting
// past the interpreter's recursion limit a RecursionError, as for json.dumps.
json::Value to_value(PyObject* obj, json::Arena& arena, Unserialisable mode = Unserialisable::Raise);

// A dict key as json.dumps writes it (str as is, numbers in their text, true/false/null),
// copied into `arena`; TypeError for other keys.
std::string_view key_text(PyObject* key, json::Arena& arena);

// The Python form of a value (dicts keep member order).
nb::object to_python(const json::Value& v);


// Rows held in a Python list of dicts (a snapshot of the list is taken, so a row filter that
// changes the caller's list cannot pull rows out from under the encoder).
class PyRowSource : public pipeline::RowSource {
 public:
  explicit PyRowSource(PyObject* rows_list);
  size_t size() const override { return items_.size(); }
  void prepare(const std::vector<std::string>& keys) override;
  void fetch(size_t i, json::Value* values, bool* found) override;
  PyObject* item(size_t i) const { return items_[i].ptr(); }

 private:
  std::vector<nb::object> items_;    // the rows, as the list held them at the start
  std::vector<nb::object> keys_;     // interned key strings
  std::vector<nb::object> scratch_;  // values of the row being fetched
  std::vector<nb::object> kept_;     // texts the fetched values point into
  json::Arena arena_;
};

}  // namespace halvex::py
