// The JSON layer: the ordered reader and the writer. Expected texts are what Python's json
// module gives for the same input.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/errors.h"
#include "json/parser.h"
#include "json/value.h"
#include "json/writer.h"

using namespace halvex::json;

namespace {

// Parses text and writes it back (compact unless spaced).
std::string roundtrip(const std::string& text, bool spaced = false, bool escape_lt = false) {
  Document doc;
  doc.text = text;
  parse_document(doc);
  return to_json(doc.root, WriteOptions{spaced, escape_lt});
}

Value parse(Document& doc, const std::string& text, int max_depth = DEFAULT_MAX_DEPTH) {
  doc.text = text;
  parse_document(doc, max_depth);
  return doc.root;
}

// --- reader -----------------------------------------------------------------------------------

TEST(Reader, KeepsMemberOrder) {
  Document doc;
  Value v = parse(doc, R"({"z": 1, "a": {"y": [1, 2], "b": null}, "m": "x"})");
  ASSERT_TRUE(v.is_object());
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v.member(0).key, "z");
  EXPECT_EQ(v.member(1).key, "a");
  EXPECT_EQ(v.member(2).key, "m");
  EXPECT_EQ(to_json(v), R"({"z":1,"a":{"y":[1,2],"b":null},"m":"x"})");
}

TEST(Reader, DuplicateKeysLaterValueAtFirstPosition) {
  EXPECT_EQ(roundtrip(R"({"a": 1, "b": 2, "a": 3})"), R"({"a":3,"b":2})");
  EXPECT_EQ(roundtrip(R"({"a": {"x": 1}, "a": [2], "c": {"k": 1, "k": 2, "k": 3}})"), R"({"a":[2],"c":{"k":3}})");
  Document doc;
  Value v = parse(doc, R"({"a": 1, "b": 2, "a": 3})");
  ASSERT_NE(v.find("a"), nullptr);
  EXPECT_EQ(v.find("a")->as_int(), 3);
}

TEST(Reader, NonFiniteTokens) {
  Document doc;
  Value v = parse(doc, "[NaN, Infinity, -Infinity, -0.0, -0]");
  ASSERT_EQ(v.size(), 5u);
  EXPECT_TRUE(v[0].is_double() && std::isnan(v[0].as_double()));
  EXPECT_EQ(v[1].as_double(), HUGE_VAL);
  EXPECT_EQ(v[2].as_double(), -HUGE_VAL);
  EXPECT_TRUE(std::signbit(v[3].as_double()));
  EXPECT_TRUE(v[4].is_int());
  EXPECT_EQ(to_json(v), "[NaN,Infinity,-Infinity,-0.0,0]");
  EXPECT_EQ(roundtrip("[1E400, -1e400, 1e-400]"), "[Infinity,-Infinity,0.0]");
}

TEST(Reader, Numbers) {
  EXPECT_EQ(roundtrip("[1.0e2, 1e2, 2.50, 0.1, 1E-5, 12, -7, 123456789.123]"),
            "[100.0,100.0,2.5,0.1,1e-05,12,-7,123456789.123]");
}

TEST(Reader, BigIntegersExact) {
  Document doc;
  Value v = parse(doc, "[123456789012345678901234567890, -9223372036854775808, 9223372036854775807, "
                       "9223372036854775808, -9223372036854775809]");
  EXPECT_EQ(v[0].kind(), Kind::BigInt);
  EXPECT_EQ(v[1].kind(), Kind::Int);
  EXPECT_EQ(v[1].as_int(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(v[2].kind(), Kind::Int);
  EXPECT_EQ(v[3].kind(), Kind::BigInt);
  EXPECT_EQ(v[4].kind(), Kind::BigInt);
  EXPECT_EQ(to_json(v), "[123456789012345678901234567890,-9223372036854775808,9223372036854775807,"
                        "9223372036854775808,-9223372036854775809]");
}

TEST(Reader, Strings) {
  Document doc;
  Value v = parse(doc, R"(["\u00e9\/\"\\\b\f\n\r\t", "\ud83d\ude00", "ş", "", "a\u0000b"])");
  EXPECT_EQ(v[0].as_string(), "\xc3\xa9/\"\\\b\f\n\r\t");
  EXPECT_EQ(v[1].as_string(), "\xf0\x9f\x98\x80");
  EXPECT_EQ(v[2].as_string(), "\xc5\x9f");
  EXPECT_EQ(v[3].as_string(), "");
  EXPECT_EQ(v[4].as_string(), std::string("a\0b", 3));
  EXPECT_EQ(to_json(v[4]), R"("a\u0000b")");
}

TEST(Reader, LoneSurrogateReadsButCannotBeWritten) {
  Document doc;
  Value v = parse(doc, R"(["\ud800"])");
  EXPECT_THROW(to_json(v), halvex::ValueError);
}

struct ErrorCase {
  const char* text;
  const char* message;
  size_t pos, line, column;
};

// The error of kind E that reading `text` raises; a test failure when it raises none.
template <class E>
std::optional<E> read_error(const std::string& text) {
  Document doc;
  doc.text = text;
  try {
    parse_document(doc);
  } catch (const E& e) {
    return e;
  }
  ADD_FAILURE() << "no error for " << text;
  return std::nullopt;
}

class ReaderErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ReaderErrors, MessageAndPosition) {
  const auto& c = GetParam();
  const auto e = read_error<ParseError>(c.text);
  ASSERT_TRUE(e);
  EXPECT_STREQ(e->what(), c.message);
  EXPECT_EQ(e->pos(), c.pos);
  EXPECT_EQ(e->line(), c.line);
  EXPECT_EQ(e->column(), c.column);
}

// Messages as Python's json.loads raises them.
INSTANTIATE_TEST_SUITE_P(
    Python, ReaderErrors,
    ::testing::Values(
        ErrorCase{"", "Expecting value: line 1 column 1 (char 0)", 0, 1, 1},
        ErrorCase{" ", "Expecting value: line 1 column 2 (char 1)", 1, 1, 2},
        ErrorCase{"{", "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)", 1, 1, 2},
        ErrorCase{"[1,]", "Expecting value: line 1 column 4 (char 3)", 3, 1, 4},
        ErrorCase{"[1 2]", "Expecting ',' delimiter: line 1 column 4 (char 3)", 3, 1, 4},
        // a container closed by the other kind of bracket
        ErrorCase{"{\"a\":1]", "Expecting ',' delimiter: line 1 column 7 (char 6)", 6, 1, 7},
        ErrorCase{"[1}", "Expecting ',' delimiter: line 1 column 3 (char 2)", 2, 1, 3},
        ErrorCase{"{\"a\":{}]", "Expecting ',' delimiter: line 1 column 8 (char 7)", 7, 1, 8},
        ErrorCase{"{\"a\":1 \"b\":2}", "Expecting ',' delimiter: line 1 column 8 (char 7)", 7, 1, 8},
        ErrorCase{"{\"a\" 1}", "Expecting ':' delimiter: line 1 column 6 (char 5)", 5, 1, 6},
        ErrorCase{"{\"a\":1,}", "Expecting property name enclosed in double quotes: line 1 column 8 (char 7)", 7, 1, 8},
        ErrorCase{"{1:2}", "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)", 1, 1, 2},
        ErrorCase{"\"abc", "Unterminated string starting at: line 1 column 1 (char 0)", 0, 1, 1},
        ErrorCase{"\"a\\x\"", "Invalid \\escape: line 1 column 3 (char 2)", 2, 1, 3},
        ErrorCase{"\"\\u12g4\"", "Invalid \\uXXXX escape: line 1 column 3 (char 2)", 2, 1, 3},
        ErrorCase{"tru", "Expecting value: line 1 column 1 (char 0)", 0, 1, 1},
        ErrorCase{"[1]x", "Extra data: line 1 column 4 (char 3)", 3, 1, 4},
        ErrorCase{"{\"a\":1} {}", "Extra data: line 1 column 9 (char 8)", 8, 1, 9},
        ErrorCase{"\n\n  x", "Expecting value: line 3 column 3 (char 4)", 4, 3, 3},
        ErrorCase{"\"\xc3\xa9\x01\"", "Invalid control character at: line 1 column 3 (char 2)", 2, 1, 3},
        ErrorCase{"\"ab\ncd\"", "Invalid control character at: line 1 column 4 (char 3)", 3, 1, 4},
        ErrorCase{"-", "Expecting value: line 1 column 1 (char 0)", 0, 1, 1},
        ErrorCase{"01", "Extra data: line 1 column 2 (char 1)", 1, 1, 2},
        ErrorCase{"1.", "Extra data: line 1 column 2 (char 1)", 1, 1, 2},
        ErrorCase{".5", "Expecting value: line 1 column 1 (char 0)", 0, 1, 1},
        ErrorCase{"1e", "Extra data: line 1 column 2 (char 1)", 1, 1, 2},
        ErrorCase{"[1,\n 2,\n ]", "Expecting value: line 3 column 2 (char 9)", 9, 3, 2},
        ErrorCase{"NaNx", "Extra data: line 1 column 4 (char 3)", 3, 1, 4},
        ErrorCase{"-Inf", "Expecting value: line 1 column 1 (char 0)", 0, 1, 1},
        // positions count characters, not bytes
        ErrorCase{"{\"\xc3\xa9\": }", "Expecting value: line 1 column 7 (char 6)", 6, 1, 7},
        ErrorCase{"\xef\xbb\xbf{}", "Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)", 0, 1, 1},
        ErrorCase{"\x0c" "1", "Expecting value: line 1 column 1 (char 0)", 0, 1, 1},
        ErrorCase{"1 2", "Extra data: line 1 column 3 (char 2)", 2, 1, 3}));

struct Utf8Case {
  std::string bytes;
  size_t start, end;
  const char* reason;
};

class ReaderUtf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(ReaderUtf8, InvalidBytesAreADecodeError) {
  const auto& c = GetParam();
  const auto e = read_error<DecodeError>(c.bytes);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->start(), c.start);
  EXPECT_EQ(e->end(), c.end);
  EXPECT_EQ(e->reason(), c.reason);
  EXPECT_EQ(e->bytes(), c.bytes.substr(0, c.end));  // the input up to the fault, as Python holds it
}

// Positions and reasons as bytes.decode("utf-8") reports them.
INSTANTIATE_TEST_SUITE_P(
    Python, ReaderUtf8,
    ::testing::Values(Utf8Case{"\xff", 0, 1, "invalid start byte"},
                      Utf8Case{"[\"\xc3\"]", 2, 3, "invalid continuation byte"},
                      Utf8Case{"\"\xc3", 1, 2, "unexpected end of data"},
                      Utf8Case{"\xc0\x80", 0, 1, "invalid start byte"},
                      Utf8Case{"\xed\xa0\x80", 0, 1, "invalid continuation byte"},
                      Utf8Case{"a\xe2\x82", 1, 3, "unexpected end of data"},
                      Utf8Case{"\xf4\x90\x80\x80", 0, 1, "invalid continuation byte"},
                      Utf8Case{"ok\xe2(\xa1", 2, 3, "invalid continuation byte"}));

// Faults found past the first block the reader checks at a time (32 MiB), and at its edge.
TEST(ReaderUtf8, FaultsBeyondTheFirstBlock) {
  const size_t block = size_t(32) << 20;
  auto first_fault = [](const std::string& text) -> std::pair<size_t, std::string> {
    Document doc;
    doc.text = text;
    try {
      parse_document(doc);
    } catch (const DecodeError& e) {
      return {e.start(), e.what()};
    } catch (const ParseError&) {
      return {0, "parse error"};
    }
    return {0, "valid"};
  };
  std::string text = "[\"" + std::string(block + 100, 'a') + "\"]";
  {
    std::string t = text;  // deep inside the second block
    t[block + 50] = '\xff';
    EXPECT_EQ(first_fault(t).first, block + 50);
  }
  {
    std::string t = text;  // a character split by the block's edge is valid
    t.replace(block - 1, 3, "\xe2\x82\xac");
    EXPECT_EQ(first_fault(t).second, "valid");
  }
  {
    std::string t = text;  // a character cut short at the edge: its real fault, not the block's end
    t.replace(block - 2, 2, "\xe2\x82");
    EXPECT_EQ(first_fault(t), std::make_pair(block - 2, "'utf-8' codec can't decode bytes in position " +
                                                          std::to_string(block - 2) + "-" + std::to_string(block - 1) +
                                                          ": invalid continuation byte"));
  }
  {
    std::string t = text;  // four-byte character across the edge, then a stray continuation byte
    t.replace(block - 3, 5, "\xf0\x90\x80\x80\x80");
    EXPECT_EQ(first_fault(t).first, block + 1);
  }
  // Continuation bytes past a whole block: no character starts where the block ends.
  EXPECT_EQ(first_fault("ok" + std::string(block + 10, '\x80')).first, 2u);
}

TEST(Reader, NestingLimit) {
  {
    Document doc;
    EXPECT_NO_THROW(parse(doc, "[[[[[1]]]]]", 5));
  }
  {
    Document doc;
    EXPECT_THROW(parse(doc, "[[[[[[1]]]]]]", 5), ParseError);
  }
  {
    Document doc;
    EXPECT_THROW(parse(doc, R"({"a":{"a":{"a":{"a":{"a":{"a":1}}}}}})", 5), ParseError);
  }
  {
    Document doc;  // far deeper than the default limit: an error, not a stack overflow
    EXPECT_THROW(parse(doc, std::string(200000, '[')), ParseError);
  }
  {
    Document doc;
    std::string deep = std::string(DEFAULT_MAX_DEPTH, '[') + std::string(DEFAULT_MAX_DEPTH, ']');
    EXPECT_NO_THROW(parse(doc, deep));
  }
}

TEST(Value, TruthinessAndEquality) {
  Document doc;
  Value v = parse(doc, R"([null, false, 0, 0.0, "", [], {}, true, 1, -0.5, "0", [0], {"a": 0}, NaN, 1, 1.0, true])");
  for (size_t i = 0; i < 7; ++i) EXPECT_FALSE(v[i].truthy()) << i;
  for (size_t i = 7; i < 14; ++i) EXPECT_TRUE(v[i].truthy()) << i;
  EXPECT_TRUE(equal(v[14], v[15]));
  EXPECT_TRUE(equal(v[14], v[16]));
  EXPECT_FALSE(equal(v[13], v[13]));  // NaN != NaN
  EXPECT_STREQ(type_name(v[0]), "NoneType");
  EXPECT_STREQ(type_name(v[1]), "bool");
  EXPECT_STREQ(type_name(v[2]), "int");
  EXPECT_STREQ(type_name(v[3]), "float");
  EXPECT_STREQ(type_name(v[4]), "str");
  EXPECT_STREQ(type_name(v[5]), "list");
  EXPECT_STREQ(type_name(v[6]), "dict");
}

// Sizes beyond 32 bits are refused instead of wrapping to a small size (nothing is read).
TEST(Value, SizesBeyond32BitsRefused) {
  const size_t too_many = (size_t(1) << 32) + 5;
  EXPECT_THROW(Value::array(nullptr, too_many), halvex::OverflowError);
  EXPECT_THROW(Value::object(nullptr, too_many), halvex::OverflowError);
  EXPECT_EQ(Value::array(nullptr, UINT32_MAX).size(), UINT32_MAX);
}

// --- writer -----------------------------------------------------------------------------------

const char* const kSample =
    "{\"a\": [1, 2.5, null, true, false, \"\xc5\x9f<\\\"\\\\\\n\\t\\u0001\x7f\xe2\x80\xa8\"], \"b\": {}, "
    "\"c\": [], \"\xc3\xa9\": {\"x\": -1}}";

TEST(Writer, CompactAndSpacedEqualJsonDumps) {
  // json.dumps(v, ensure_ascii=False, separators=(",", ":")) and json.dumps(v, ensure_ascii=False)
  EXPECT_EQ(roundtrip(kSample),
            "{\"a\":[1,2.5,null,true,false,\"\xc5\x9f<\\\"\\\\\\n\\t\\u0001\x7f\xe2\x80\xa8\"],\"b\":{},\"c\":[],"
            "\"\xc3\xa9\":{\"x\":-1}}");
  EXPECT_EQ(roundtrip(kSample, true),
            "{\"a\": [1, 2.5, null, true, false, \"\xc5\x9f<\\\"\\\\\\n\\t\\u0001\x7f\xe2\x80\xa8\"], \"b\": {}, "
            "\"c\": [], \"\xc3\xa9\": {\"x\": -1}}");
}

TEST(Writer, ControlCharacters) {
  std::string s;
  for (int c = 0; c < 0x20; ++c) s.push_back(static_cast<char>(c));
  std::string out;
  write_string(out, s);
  EXPECT_EQ(out,
            "\"\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r\\u000e\\u000f"
            "\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018\\u0019\\u001a\\u001b\\u001c\\u001d"
            "\\u001e\\u001f\"");
}

TEST(Writer, EscapeLt) {
  EXPECT_EQ(roundtrip(R"({"<k>": ["</script>", "a<b", 1]})", false, true),
            R"({"\u003ck>":["\u003c/script>","a\u003cb",1]})");
  EXPECT_EQ(roundtrip(R"({"<k>": ["</script>"]})", true, true), R"({"\u003ck>": ["\u003c/script>"]})");
  EXPECT_EQ(roundtrip(R"(["<"])"), R"(["<"])");
  std::string out;
  write_string(out, "\xed\x9f\xbf<", true);  // U+D7FF is an ordinary character
  EXPECT_EQ(out, "\"\xed\x9f\xbf\\u003c\"");
}

TEST(Writer, BuiltValues) {
  Arena arena;
  std::vector<Value> items = {Value::integer(-3), Value::real(12.0), Value::real(1e16), Value::boolean(true),
                              Value::null(), arena.string("x\"y"), Value::big_integer(arena.copy_string("-123456789012345678901"))};
  std::vector<Member> members = {{"list", arena.array(items)}, {"nan", Value::real(std::nan(""))},
                                 {"empty", Value::object(nullptr, 0)}};
  Value obj = arena.object(members);
  EXPECT_EQ(to_json(obj), R"({"list":[-3,12.0,1e+16,true,null,"x\"y",-123456789012345678901],"nan":NaN,"empty":{}})");
  EXPECT_EQ(to_json(obj, WriteOptions{true, false}),
            R"({"list": [-3, 12.0, 1e+16, true, null, "x\"y", -123456789012345678901], "nan": NaN, "empty": {}})");
}

}  // namespace
