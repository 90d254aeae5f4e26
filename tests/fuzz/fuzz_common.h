// Shared by the JSON reader's fuzz targets: what every parsed document must satisfy.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/errors.h"
#include "json/document_file.h"
#include "json/lazy_rows.h"
#include "json/parser.h"
#include "json/value.h"
#include "json/writer.h"

namespace halvex::fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& a, const std::string& b) {
  std::fprintf(stderr, "%s\n  first:  %s\n  second: %s\n", what, a.c_str(), b.c_str());
  std::abort();
}

// The members rows of a scoreboard carry (and one no row has), for field-wise reads.
inline std::vector<std::string> row_keys() {
  return {"muta", "unvan", "segment", "bolge_kodu", "sube_kodu", "son_risk", "qvr2025-01",
          "r2025-02", "_ml_yi_prob", "", "absent"};
}

// Writing a value and reading the text back gives the same text again. A string holding a
// lone surrogate has no UTF-8 form: the writer refuses it with an Error, never a crash.
inline void check_roundtrip(const json::Value& v) {
  std::string first;
  try {
    first = json::to_json(v);
  } catch (const Error&) {
    return;
  }
  json::Document again;
  again.text = first;
  try {
    json::parse_document(again);
  } catch (const Error& e) {
    fail("written text does not read back", first, e.what());
  }
  std::string second = json::to_json(again.root);
  if (second != first) fail("written text changes when read and written again", first, second);
}

// Every row of a document read with lazy rows: built whole, and read field by field. Both
// must agree on every wanted member (a repeated member takes its later value in both).
inline void compare_row_reads(const json::Document& doc) {
  if (!doc.lazy_rows) return;
  json::FieldSet fields(row_keys());
  std::vector<json::Value> values(fields.size());
  std::unique_ptr<bool[]> found(new bool[fields.size()]);
  json::ParseScratch scratch, field_scratch;
  json::Arena arena, field_arena;
  const auto keys = row_keys();
  for (size_t i = 0; i < doc.row_begin.size(); ++i) {
    json::Value row = json::parse_lazy_row(doc, i, arena, scratch);
    check_roundtrip(row);
    json::Kind kind = json::Kind::Null;
    bool is_object = json::read_lazy_row_fields(doc, i, fields, field_arena, field_scratch,
                                                values.data(), found.get(), &kind);
    if (is_object != row.is_object()) fail("row kinds differ", json::type_name(row), is_object ? "dict" : "other");
    if (!is_object) {
      if (kind != row.kind()) fail("row kinds differ", json::type_name(row), "kind");
      continue;
    }
    for (size_t k = 0; k < keys.size(); ++k) {
      const json::Value* whole = row.find(keys[k]);
      if ((whole != nullptr) != found[k]) fail("member found in one read only", keys[k], "");
      if (!whole) continue;
      std::string a, b;
      try {
        a = json::to_json(*whole);
        b = json::to_json(values[k]);
      } catch (const Error&) {
        continue;
      }
      if (a != b) fail("member differs between the two reads", a, b);
    }
  }
}

// The same, for rows that were validated when the document was read: reading one again
// must not fail.
inline void check_lazy_rows(const json::Document& doc) {
  try {
    compare_row_reads(doc);
  } catch (const Error& e) {
    fail("a validated row does not read again", e.what(), "");
  }
}

}  // namespace halvex::fuzz
