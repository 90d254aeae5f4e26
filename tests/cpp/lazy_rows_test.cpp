// Rows read lazily: the rows of a document are only checked when it is parsed, and each row
// is read field by field (read_lazy_row_fields) or built whole (parse_lazy_row) when needed.
// Whatever way a row is read, it must give what the eagerly parsed document holds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "json/lazy_rows.h"
#include "json/parser.h"
#include "json/value.h"
#include "json/writer.h"

using namespace halvex::json;

namespace {

const char* const kRows = R"({"meta": {"donemler": ["a"]}, "rows": [
  {"muta": 1, "qvra": 700, "unvan": "Fi\u0131rma \"A\"", "son_risk": 2.5e6},
  {"unvan": "B", "muta": "0042", "son_risk": null, "x": {"deep": [1, 2, {"q": "a"}]}, "qvra": "YI"},
  {"muta": 3, "muta": 4, "qvra": -1.5, "qvrb": 12345678901234567890123},
  {},
  {"son_risk": NaN, "qvra": Infinity, "muta": -Infinity, "unvan": ""},
  [1, 2], "text", null, true, 7.5, 12
], "after": {"rows": [{"not": "these"}]}})";

struct Parsed {
  Document eager, lazy;
  Parsed(const std::string& text) {
    eager.text = text;
    parse_document(eager);
    lazy.text = text;
    parse_document(lazy, DEFAULT_MAX_DEPTH, true);
  }
  const Value& eager_row(size_t i) const { return eager.root.member(1).value.begin_items()[i]; }
};

// Reads the fields named from the rows of a document, with the buffers kept between rows.
struct FieldReader {
  explicit FieldReader(std::vector<std::string> keys) : fields(std::move(keys)) {}
  bool read(const Document& doc, size_t row, Value* values, bool* found, Kind* kind) {
    return read_lazy_row_fields(doc, row, fields, arena, scratch, values, found, kind);
  }
  FieldSet fields;
  Arena arena;
  ParseScratch scratch;
};

// The member of an eagerly parsed row, or nothing.
const Value* member(const Value& row, const std::string& key) {
  for (size_t j = 0; j < row.size(); ++j)
    if (row.member(j).key == key) return &row.member(j).value;
  return nullptr;
}

TEST(LazyRows, RowTextRangesAreKeptForEveryRow) {
  Parsed p(kRows);
  ASSERT_EQ(p.lazy.row_begin.size(), 11u);
  ASSERT_EQ(p.lazy.row_size.size(), 11u);
  EXPECT_EQ(p.lazy.text.substr(p.lazy.row_begin[3], p.lazy.row_size[3]), "{}");
  EXPECT_EQ(p.lazy.text.substr(p.lazy.row_begin[5], p.lazy.row_size[5]), "[1, 2]");
  // Members after "rows" are parsed as usual; a nested "rows" is not the document's.
  EXPECT_EQ(to_json(p.lazy.root.member(2).value), R"({"rows":[{"not":"these"}]})");
}

TEST(LazyRows, WholeRowsEqualTheEagerParse) {
  Parsed p(kRows);
  Arena arena;
  ParseScratch scratch;
  for (size_t i = 0; i < p.lazy.row_begin.size(); ++i) {
    Value row = parse_lazy_row(p.lazy, i, arena, scratch);
    EXPECT_EQ(to_json(row), to_json(p.eager_row(i))) << "row " << i;
  }
  // Reading does not decode in place: a second read of the same text gives the same row.
  const std::string text_before = p.lazy.text;
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(to_json(parse_lazy_row(p.lazy, i, arena, scratch)), to_json(p.eager_row(i)));
  }
  EXPECT_EQ(p.lazy.text, text_before);
}

TEST(LazyRows, FieldsEqualTheMembersOfTheEagerParse) {
  Parsed p(kRows);
  const std::vector<std::string> keys = {"muta", "unvan", "son_risk", "qvra", "qvrb", "absent", "x"};
  FieldReader reader(keys);
  std::vector<Value> values(keys.size());
  std::unique_ptr<bool[]> found(new bool[keys.size()]);
  // Twice over: the second pass reads with the member positions learnt in the first.
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < 5; ++i) {
      Kind kind;
      ASSERT_TRUE(reader.read(p.lazy, i, values.data(), found.get(), &kind));
      for (size_t k = 0; k < keys.size(); ++k) {
        const Value* want = member(p.eager_row(i), keys[k]);
        EXPECT_EQ(found[k], want != nullptr) << "row " << i << " " << keys[k];
        if (want) {
          EXPECT_EQ(values[k].kind(), want->kind()) << "row " << i << " " << keys[k];
          EXPECT_EQ(to_json(values[k]), to_json(*want)) << "row " << i << " " << keys[k];
        } else {
          EXPECT_TRUE(values[k].is_null());
        }
      }
    }
  }
}

TEST(LazyRows, RepeatedMemberTakesItsLaterValue) {
  Parsed p(kRows);
  FieldReader reader({"muta"});
  Value v;
  bool found = false;
  Kind kind;
  ASSERT_TRUE(reader.read(p.lazy, 2, &v, &found, &kind));
  EXPECT_TRUE(found);
  EXPECT_EQ(v.as_int(), 4);
}

TEST(LazyRows, FieldWantedTwiceIsFilledAtEachPosition) {
  // A period named twice asks for the same member at two positions.
  Parsed p(kRows);
  FieldReader reader({"qvra", "muta", "qvra", "absent", "absent"});
  Value v[5];
  bool found[5];
  Kind kind;
  for (size_t i : {0, 1, 2, 0}) {
    ASSERT_TRUE(reader.read(p.lazy, i, v, found, &kind));
    EXPECT_TRUE(found[0] && found[2]) << "row " << i;
    EXPECT_EQ(to_json(v[0]), to_json(*member(p.eager_row(i), "qvra")));
    EXPECT_EQ(to_json(v[2]), to_json(v[0]));
    EXPECT_FALSE(found[3] || found[4]);
  }
}

TEST(LazyRows, RowThatIsNotAnObjectReportsItsKind) {
  Parsed p(kRows);
  FieldReader reader({"muta"});
  Value v;
  bool found = true;
  const Kind kinds[] = {Kind::Array, Kind::String, Kind::Null, Kind::Bool, Kind::Double, Kind::Int};
  for (size_t i = 5; i < p.lazy.row_begin.size(); ++i) {
    Kind kind = Kind::Object;
    EXPECT_FALSE(reader.read(p.lazy, i, &v, &found, &kind)) << i;
    EXPECT_EQ(kind, kinds[i - 5]) << "row " << i;
  }
}

TEST(LazyRows, BadRowsFailWhenTheDocumentIsParsed) {
  // The same errors, at the same positions, as an eager parse.
  const char* const bad[] = {
      R"({"rows": [{"a": 1,}]})", R"({"rows": [{"a" 1}]})", R"({"rows": [{"a": tru}]})",
      R"({"rows": [{"a": [1, 2}]})", R"({"rows": [{"a": "x)", R"({"rows": [{"a": 01}]})",
      R"({"rows": [1 2]})", R"({"rows": [{"a": -}]})", R"({"rows": [{1: 2}]})",
      // closed by the other kind of bracket: a row's object, an array in a row, the rows
      R"({"rows": [{"a": 1]]})", R"({"rows": [{"a": [1}}]})", R"({"rows": [1}})"};
  for (const char* text : bad) {
    std::string eager_error, lazy_error;
    try {
      Document d;
      d.text = text;
      parse_document(d);
    } catch (const ParseError& e) {
      eager_error = e.what();
    }
    try {
      Document d;
      d.text = text;
      parse_document(d, DEFAULT_MAX_DEPTH, true);
    } catch (const ParseError& e) {
      lazy_error = e.what();
    }
    EXPECT_FALSE(eager_error.empty()) << text;
    EXPECT_EQ(lazy_error, eager_error) << text;
  }
}

TEST(LazyRows, NestingLimitAppliesInsideRowsAsInAnEagerParse) {
  const std::string text = R"({"rows": [{"a": )" + std::string(8, '[') + std::string(8, ']') + "}]}";
  int deepest_ok = 0;
  for (int limit = 8; limit <= 13; ++limit) {
    Document eager, lazy;
    eager.text = lazy.text = text;
    bool eager_ok = true, lazy_ok = true;
    try { parse_document(eager, limit); } catch (const ParseError&) { eager_ok = false; }
    try { parse_document(lazy, limit, true); } catch (const ParseError&) { lazy_ok = false; }
    EXPECT_EQ(lazy_ok, eager_ok) << "limit " << limit;
    if (!eager_ok) deepest_ok = limit;
  }
  EXPECT_GT(deepest_ok, 8);  // the limit was reached inside the row
}

TEST(LazyRows, EmptyAndMissingRows) {
  Document empty;
  empty.text = R"({"rows": [], "meta": {}})";
  parse_document(empty, DEFAULT_MAX_DEPTH, true);
  EXPECT_TRUE(empty.row_begin.empty());
  Document none;
  none.text = R"({"meta": {}})";
  parse_document(none, DEFAULT_MAX_DEPTH, true);
  EXPECT_TRUE(none.row_begin.empty());
}

// Row arrays of a few MiB are checked on two threads, the second starting at a row start
// guessed halfway through. Whatever the guess hits, the rows kept and the errors raised must
// be those of a check on one thread.
struct Threads {
  explicit Threads(const char* n) { setenv("HALVEX_THREADS", n, 1); }
  ~Threads() { unsetenv("HALVEX_THREADS"); }
};

struct LazyOutcome {
  std::vector<uint64_t> begins;
  std::vector<uint32_t> sizes;
  std::string error;
  bool operator==(const LazyOutcome&) const = default;
};

LazyOutcome parse_lazily(const std::string& text, const char* threads) {
  Threads t(threads);
  LazyOutcome out;
  Document d;
  d.text = text;
  try {
    parse_document(d, DEFAULT_MAX_DEPTH, true);
  } catch (const std::exception& e) {
    out.error = e.what();
  }
  out.begins = d.row_begin;
  out.sizes = d.row_size;
  return out;
}

// About 3 MiB of rows; `middle` stands at the middle of the document.
std::string large_document(const std::string& middle) {
  std::string half;
  for (int i = 0; half.size() < (size_t(3) << 19); ++i)
    half += R"({"muta": )" + std::to_string(i) + R"(, "unvan": "Firma )" + std::to_string(i) + "\"}, ";
  return R"({"meta": {"donemler": ["a"]}, "rows": [)" + half + middle + ", " + half + R"({"muta": 0}], "x": 1})";
}

TEST(LazyRows, LargeRowArraysGiveTheRowsOfAOneThreadCheck) {
  // The guess at the middle falls: on a real row start; inside a string that looks like row
  // starts; inside a string that looks like rows and the end of the array (the second
  // parser then finishes without an error); inside a row's nested object; and nowhere near.
  const std::string middles[] = {
      R"({"muta": "mid"})",
      R"({"unvan": ")" + std::string(600, 'x') + R"(}, {}, {}, {a: 1}, {b: [2]}, {c: 3 "})",
      R"({"unvan": "}, {}]"})",
      R"({"unvan": "}, {\"muta\": 1}], \"meta\": {}}, {"})",
      R"({"x": {"a": {"b": 1}, "c": {"d": 2}}, "y": [{"e": 3}, {"f": 4}]})",
      R"({"pad": ")" + std::string(size_t(3) << 20, 'p') + "\"}",
  };
  for (const auto& middle : middles) {
    const std::string text = large_document(middle);
    ASSERT_GT(text.size(), size_t(2) << 20);
    LazyOutcome one = parse_lazily(text, "1"), two = parse_lazily(text, "2");
    EXPECT_EQ(one.error, "") << middle.substr(0, 40);
    EXPECT_GT(one.begins.size(), 1000u);
    EXPECT_TRUE(two == one) << middle.substr(0, 40);
  }
}

TEST(LazyRows, ErrorsInLargeRowArraysAreTheFirstInDocumentOrder) {
  // A bad middle row; a middle row nested too deeply; an error after the middle only; one
  // in each half; a control character in a string after the middle.
  std::vector<std::string> texts = {
      large_document(R"({"muta": tru})"),
      large_document(R"({"muta": )" + std::string(1200, '[') + std::string(1200, ']') + "}"),
  };
  std::string second_half = large_document(R"({"muta": 1})");
  second_half.insert(second_half.rfind(R"({"muta": )") + 1, "x");
  texts.push_back(second_half);
  std::string both = second_half;
  both.insert(both.find(R"({"muta": )") + 1, "x");
  texts.push_back(both);
  std::string control = large_document(R"({"muta": 1})");
  const size_t quote = control.find("Firma", control.size() / 2 + 5000);
  control[quote] = '\x01';
  texts.push_back(control);
  for (const std::string& text : texts) {
    LazyOutcome one = parse_lazily(text, "1"), two = parse_lazily(text, "2");
    EXPECT_NE(one.error, "");
    EXPECT_EQ(two.error, one.error);
    Document eager;
    eager.text = text;
    std::string eager_error;
    try {
      parse_document(eager);
    } catch (const std::exception& e) {
      eager_error = e.what();
    }
    EXPECT_EQ(one.error, eager_error);
  }
}

}  // namespace
