#include "json/parser.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "common/cancel.h"
#include "common/errors.h"
#include "common/parallel.h"
#include "json/document_file.h"
#include "json/lazy_rows.h"
#include "json/utf8.h"

namespace halvex::json {

namespace {

std::string position_suffix(size_t pos, size_t line, size_t col) {
  return ": line " + std::to_string(line) + " column " + std::to_string(col) + " (char " +
         std::to_string(pos) + ")";
}

// Row texts are let go in steps of this many bytes (see Document::release_row_text).
constexpr uint64_t kReleaseStep = uint64_t(32) << 20;
// Row arrays of at least this many bytes are checked on two threads (see record_rows).
constexpr size_t kSplitMinBytes = size_t(2) << 20;
// How far past the middle of the rows a row start is looked for.
constexpr size_t kGuessWindow = size_t(1) << 20;

// Python caps int() conversions of decimal text at this many digits.
constexpr size_t kMaxIntDigits = 4300;

class Parser {
 public:
  // in_place: decode escaped strings over their own text (the buffer is modified); otherwise
  // decoded strings are copied into the arena. lazy: where rows are recorded, or nullptr.
  Parser(char* base, size_t size, Arena& arena, ParseScratch& scratch, int max_depth, bool in_place,
         Document* lazy)
      : arena_(arena), max_depth_(max_depth), in_place_(in_place), lazy_(lazy),
        values_(scratch.values), members_(scratch.members), shape_(scratch.shape) {
    base_ = base;
    p_ = base_;
    end_ = base_ + size;
  }

  // One value that is known to be valid, starting at p_.
  Value parse_at(size_t offset) {
    p_ = base_ + offset;
    skip_ws();
    return parse_value(1);
  }

  Value parse() {
    if (end_ - base_ >= 3 && static_cast<unsigned char>(base_[0]) == 0xEF &&
        static_cast<unsigned char>(base_[1]) == 0xBB && static_cast<unsigned char>(base_[2]) == 0xBF) {
      fail("Unexpected UTF-8 BOM (decode using utf-8-sig)", base_);
    }
    skip_ws();
    Value v = parse_value(0);
    skip_ws();
    if (p_ != end_) fail("Extra data", p_);
    return v;
  }

 private:
  [[noreturn]] void fail(const std::string& msg, const char* at) {
    size_t byte_pos = static_cast<size_t>(at - base_);
    std::string_view all(base_, static_cast<size_t>(end_ - base_));
    size_t pos = utf8_count(all, byte_pos);
    size_t line = 1;
    size_t last_nl_char = 0;
    bool seen_nl = false;
    size_t chars = 0;
    for (size_t i = 0; i < byte_pos; ++i) {
      unsigned char c = static_cast<unsigned char>(base_[i]);
      if ((c & 0xC0) != 0x80) {
        if (c == '\n') {
          ++line;
          last_nl_char = chars;
          seen_nl = true;
        }
        ++chars;
      }
    }
    size_t col = seen_nl ? pos - last_nl_char : pos + 1;
    throw ParseError(msg, pos, line, col);
  }

  void skip_ws() { p_ = const_cast<char*>(past_ws(p_)); }

  // A container nested past the limit is refused where it opens.
  void check_depth(int depth) {
    if (depth > max_depth_) fail("Nesting too deep (more than " + std::to_string(max_depth_) + " levels)", p_);
  }
  // Past a container's opening bracket and the spaces after it; true, with `closing` passed
  // too, when the container is empty.
  bool open_empty(char closing) {
    ++p_;
    skip_ws();
    if (p_ < end_ && *p_ == closing) {
      ++p_;
      return true;
    }
    return false;
  }
  // After an element or member and the spaces after it: true past a ',' (another follows),
  // false past `closing` (the container ends).
  bool next_item(char closing) {
    if (p_ < end_ && *p_ == ',') {
      ++p_;
      return true;
    }
    if (p_ < end_ && *p_ == closing) {
      ++p_;
      return false;
    }
    fail("Expecting ',' delimiter", p_);
  }

  const char* past_ws(const char* q) const {
    while (q < end_ && (*q == ' ' || *q == '\n' || *q == '\r' || *q == '\t')) ++q;
    return q;
  }

  Value parse_value(int depth) {
    if (p_ >= end_) fail("Expecting value", p_);
    switch (*p_) {
      case '"': return Value::string(parse_string());
      case '{': return parse_object(depth + 1);
      case '[': return parse_array(depth + 1);
      case 't':
        if (match("true")) return Value::boolean(true);
        break;
      case 'f':
        if (match("false")) return Value::boolean(false);
        break;
      case 'n':
        if (match("null")) return Value::null();
        break;
      case 'N':
        if (match("NaN")) return Value::real(std::nan(""));
        break;
      case 'I':
        if (match("Infinity")) return Value::real(HUGE_VAL);
        break;
      case '-':
        if (end_ - p_ >= 9 && std::memcmp(p_, "-Infinity", 9) == 0) {
          p_ += 9;
          return Value::real(-HUGE_VAL);
        }
        return parse_number();
      default:
        if (*p_ >= '0' && *p_ <= '9') return parse_number();
        break;
    }
    fail("Expecting value", p_);
  }

  bool match(const char* word) {
    size_t n = std::strlen(word);
    if (static_cast<size_t>(end_ - p_) >= n && std::memcmp(p_, word, n) == 0) {
      p_ += n;
      return true;
    }
    return false;
  }

  static bool digit(char c) { return c >= '0' && c <= '9'; }

  // The number at p_ per the JSON grammar: where it ends and whether it is a float.
  const char* scan_number(bool& is_float) {
    const char* start = p_;
    const char* q = p_;
    is_float = false;
    if (*q == '-') ++q;
    if (q >= end_ || !digit(*q)) fail("Expecting value", start);
    if (*q == '0') {
      ++q;
    } else {
      while (q < end_ && digit(*q)) ++q;
    }
    if (q + 1 < end_ && *q == '.' && digit(q[1])) {
      is_float = true;
      q += 2;
      while (q < end_ && digit(*q)) ++q;
    }
    if (q < end_ && (*q == 'e' || *q == 'E')) {
      const char* e = q + 1;
      if (e < end_ && (*e == '+' || *e == '-')) ++e;
      if (e < end_ && digit(*e)) {
        is_float = true;
        q = e;
        while (q < end_ && digit(*q)) ++q;
      }
    }
    return q;
  }

  Value parse_number() {
    const char* start = p_;
    bool is_float;
    const char* q = scan_number(is_float);
    p_ = const_cast<char*>(q);
    if (is_float) {
      double d = 0;
      auto res = std::from_chars(start, q, d);
      if (res.ec == std::errc::result_out_of_range) {
        d = std::strtod(std::string(start, q).c_str(), nullptr);
      }
      return Value::real(d);
    }
    int64_t i = 0;
    auto res = std::from_chars(start, q, i);
    if (res.ec == std::errc()) return Value::integer(i);
    size_t ndigits = static_cast<size_t>(q - start) - (*start == '-' ? 1 : 0);
    if (ndigits > kMaxIntDigits) {
      throw ValueError("Exceeds the limit (4300 digits) for integer string conversion: value has " +
                       std::to_string(ndigits) +
                       " digits; use sys.set_int_max_str_digits() to increase the limit");
    }
    return Value::big_integer(std::string_view(start, static_cast<size_t>(q - start)));
  }

  static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool read_hex4(const char* at, uint32_t& out) {
    if (end_ - at < 4) return false;
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      int h = hex_value(at[k]);
      if (h < 0) return false;
      v = (v << 4) | static_cast<uint32_t>(h);
    }
    out = v;
    return true;
  }

  // Decodes the body of the string opened at `open`, from q (at a backslash or the first
  // byte not yet handled) to the closing quote, into `out`; returns the closing quote.
  // Out is an in-place writer, a std::string, or a sink that only checks.
  template <class Out>
  const char* decode_body(const char* open, const char* q, Out& out) {
    while (true) {
      if (q >= end_) fail("Unterminated string starting at", open);
      unsigned char c = static_cast<unsigned char>(*q);
      if (c == '"') return q;
      if (c < 0x20) fail("Invalid control character at", q);
      if (c != '\\') {
        out.put(*q++);
        continue;
      }
      if (q + 1 >= end_) fail("Unterminated string starting at", open);
      char e = q[1];
      switch (e) {
        case '"': out.put('"'); break;
        case '\\': out.put('\\'); break;
        case '/': out.put('/'); break;
        case 'b': out.put('\b'); break;
        case 'f': out.put('\f'); break;
        case 'n': out.put('\n'); break;
        case 'r': out.put('\r'); break;
        case 't': out.put('\t'); break;
        case 'u': {
          uint32_t cp;
          if (!read_hex4(q + 2, cp)) fail("Invalid \\uXXXX escape", q + 1);
          q += 6;
          if (cp >= 0xD800 && cp <= 0xDBFF && end_ - q >= 6 && q[0] == '\\' && q[1] == 'u') {
            uint32_t lo;
            if (read_hex4(q + 2, lo) && lo >= 0xDC00 && lo <= 0xDFFF) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
              q += 6;
            }
          }
          out.code_point(cp);
          continue;
        }
        default:
          fail("Invalid \\escape", q);
      }
      q += 2;
    }
  }

  // Writes decoded bytes over the text already read (decoded text is never longer).
  struct InPlace {
    char* w;
    void put(char c) { *w++ = c; }
    void code_point(uint32_t cp) {
      char buf[4];
      size_t n = encode(cp, buf);
      std::memcpy(w, buf, n);
      w += n;
    }
    static size_t encode(uint32_t cp, char* buf) {
      std::string tmp;
      append_utf8(tmp, cp);
      std::memcpy(buf, tmp.data(), tmp.size());
      return tmp.size();
    }
  };
  struct Copy {
    std::string s;
    void put(char c) { s.push_back(c); }
    void code_point(uint32_t cp) { append_utf8(s, cp); }
  };
  struct Check {
    void put(char) {}
    void code_point(uint32_t) {}
  };

  // p_ at the opening quote; returns the decoded text. Strings without escapes (nearly all)
  // are returned where they stand.
  std::string_view parse_string() {
    const char* open = p_;
    char* q = const_cast<char*>(scan_plain(p_ + 1));
    char* start = p_ + 1;
    if (q < end_ && *q == '"') {
      p_ = q + 1;
      return {start, static_cast<size_t>(q - start)};
    }
    if (q < end_ && static_cast<unsigned char>(*q) < 0x20) fail("Invalid control character at", q);
    if (q >= end_) fail("Unterminated string starting at", open);
    if (in_place_) {
      InPlace out{q};
      const char* close = decode_body(open, q, out);
      p_ = const_cast<char*>(close + 1);
      return {start, static_cast<size_t>(out.w - start)};
    }
    Copy out;
    out.s.assign(start, q);
    const char* close = decode_body(open, q, out);
    p_ = const_cast<char*>(close + 1);
    return arena_.copy_string(out.s);
  }

  void skip_string() {
    const char* q = scan_plain(p_ + 1);
    if (q < end_ && *q == '"') {
      p_ = const_cast<char*>(q + 1);
      return;
    }
    Check out;
    p_ = const_cast<char*>(decode_body(p_, q, out) + 1);
  }

  // First byte at or after q that is a quote, a backslash or a control character (or end_).
  // Eight bytes at a time: strings are most of a document's bytes.
  const char* scan_plain(const char* q) const {
    constexpr uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
    while (end_ - q >= 8) {
      uint64_t w;
      std::memcpy(&w, q, 8);
      uint64_t quote = w ^ (kOnes * '"'), slash = w ^ (kOnes * '\\');
      uint64_t hit = ((quote - kOnes) & ~quote) | ((slash - kOnes) & ~slash) | ((w - kOnes * 0x20) & ~w);
      if (hit & kHigh) break;
      q += 8;
    }
    while (q < end_) {
      unsigned char c = static_cast<unsigned char>(*q);
      if (c == '"' || c == '\\' || c < 0x20) return q;
      ++q;
    }
    return q;
  }

  // Validation without building anything: the same grammar and the same errors.
  void skip_value(int depth) {
    if (p_ >= end_) fail("Expecting value", p_);
    switch (*p_) {
      case '"': skip_string(); return;
      case '{': skip_object(depth + 1); return;
      case '[': skip_array(depth + 1); return;
      case '-':
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        if (*p_ == '-' && end_ - p_ >= 9 && std::memcmp(p_, "-Infinity", 9) == 0) {
          p_ += 9;
          return;
        }
        skip_number();
        return;
      default: parse_value(depth); return;  // literals build nothing
    }
  }

  // The number grammar without converting anything.
  void skip_number() {
    bool is_float;
    p_ = const_cast<char*>(scan_number(is_float));
  }

 public:
  // The wanted members of the object at `offset` (see read_lazy_row_fields).
  bool scan_fields(size_t offset, FieldSet& fields, Value* values, bool* found, Kind* row_kind) {
    p_ = base_ + offset;
    skip_ws();
    for (size_t k = 0; k < fields.size(); ++k) {
      found[k] = false;
      values[k] = Value::null();
    }
    if (p_ >= end_ || *p_ != '{') {
      *row_kind = parse_value(1).kind();
      return false;
    }
    ++p_;
    skip_ws();
    if (p_ < end_ && *p_ == '}') return true;
    size_t position = 0;
    while (true) {
      std::string_view key = parse_string();
      skip_ws();
      ++p_;  // ':'
      skip_ws();
      int k = fields.match(key, position++);
      if (k >= 0) {
        values[k] = parse_value(1);
        found[k] = true;
      } else {
        skip_value(1);
      }
      skip_ws();
      if (p_ < end_ && *p_ == ',') {
        ++p_;
        skip_ws();
        continue;
      }
      ++p_;  // '}'
      fields.fill_repeats(values, found);
      return true;
    }
  }

 private:

  void skip_array(int depth) {
    check_depth(depth);
    if (open_empty(']')) return;
    while (true) {
      skip_ws();
      skip_value(depth);
      skip_ws();
      if (!next_item(']')) return;
    }
  }

  void skip_object(int depth) {
    check_depth(depth);
    if (open_empty('}')) return;
    while (true) {
      if (p_ >= end_ || *p_ != '"') fail("Expecting property name enclosed in double quotes", p_);
      skip_string();
      skip_ws();
      if (p_ >= end_ || *p_ != ':') fail("Expecting ':' delimiter", p_);
      ++p_;
      skip_ws();
      skip_value(depth);
      skip_ws();
      if (!next_item('}')) return;
      skip_ws();
    }
  }

  // The root's "rows": each element is validated and its text range kept.
  //
  // A large array is checked on two threads. A second parser starts at a row start guessed
  // halfway through (the "{" of "}, {") and checks the rows from there to the end of the
  // array, while this one checks the rows up to the guess. The second parser's rows count
  // only when this one arrives at exactly that row and the second met no error; otherwise
  // (the guess lay inside a string, or a row after it is bad) this one carries on alone, so
  // what is accepted and which error is raised never depend on the split.
  Value record_rows(int depth) {
    check_depth(depth);
    lazy_->row_begin.clear();
    lazy_->row_size.clear();
    lazy_->rows_text_begin = static_cast<uint64_t>(p_ - base_);
    RowRanges mine{*lazy_, lazy_->row_begin, lazy_->row_size, lazy_->rows_text_begin};
    if (open_empty(']')) return Value::array(nullptr, 0);
    const char* guess = nullptr;
    if (static_cast<size_t>(end_ - p_) >= kSplitMinBytes && halvex::worker_threads() >= 2)
      guess = guess_row_start(p_ + (end_ - p_) / 2);
    if (!guess) {
      check_rows(depth, mine);
      return Value::array(nullptr, lazy_->row_begin.size());
    }
    SecondHalf second;
    bool met = false;
    halvex::run_parallel(2, [&](size_t t) {
      if (t == 1) {
        second.check(*this, guess, depth);
        return;
      }
      // The second parser stops as soon as its rows cannot count: this one went past the
      // guess, reached the end of the array, or failed.
      struct StopUnlessMet {
        SecondHalf& second;
        const bool& met;
        ~StopUnlessMet() {
          if (!met) second.stop.store(true, std::memory_order_relaxed);
        }
      } stop_unless_met{second, met};
      met = check_rows(depth, mine, guess, &second.stop) == RowsEnd::AtGuess;
    });
    if (met && second.ok) {
      lazy_->row_begin.insert(lazy_->row_begin.end(), second.begins.begin(), second.begins.end());
      lazy_->row_size.insert(lazy_->row_size.end(), second.sizes.begin(), second.sizes.end());
      p_ = const_cast<char*>(second.end);
    } else if (met) {
      check_rows(depth, mine);
    }
    return Value::array(nullptr, lazy_->row_begin.size());
  }

  // Where checked rows go: their text ranges, and where the texts already let go (in `doc`)
  // end.
  struct RowRanges {
    const Document& doc;
    std::vector<uint64_t>& begins;
    std::vector<uint32_t>& sizes;
    uint64_t released;
  };
  enum class RowsEnd { AtGuess, ArrayEnd, Stopped };

  // Checks rows from p_ (after the "[" or a ","), recording each, to the end of the array.
  // Returns AtGuess, without checking it, when a row starts exactly at `stop_at`; a row start
  // past it makes the guess void (said through `void_guess`) and the check goes on. Returns
  // Stopped, before a row, once `stop` is set.
  RowsEnd check_rows(int depth, RowRanges& out, const char* stop_at = nullptr, std::atomic<bool>* void_guess = nullptr,
                     const std::atomic<bool>* stop = nullptr) {
    while (true) {
      if (stop && stop->load(std::memory_order_relaxed)) return RowsEnd::Stopped;
      skip_ws();
      const char* start = p_;
      if (stop_at && start >= stop_at) {
        if (start == stop_at) return RowsEnd::AtGuess;
        stop_at = nullptr;
        if (void_guess) void_guess->store(true, std::memory_order_relaxed);
      }
      skip_value(depth);
      const uint64_t offset = static_cast<uint64_t>(start - base_);
      if (out.begins.size() % kRowsPerCancelPoint == 0) cancel_point();
      out.begins.push_back(offset);
      out.sizes.push_back(static_cast<uint32_t>(p_ - start));
      // Checked row texts need not stay in memory: they are read again, row by row, later.
      if (offset - out.released >= kReleaseStep) {
        out.doc.release_row_text(out.released, offset);
        out.released = offset;
      }
      skip_ws();
      if (!next_item(']')) return RowsEnd::ArrayEnd;
    }
  }

  // The "{" of the first "}, {" (white space allowed) at or after `from`: where an object row
  // begins, unless those bytes lie inside a string. Null when there is none close by.
  const char* guess_row_start(const char* from) const {
    const char* limit = std::min<const char*>(end_, from + kGuessWindow);
    for (const char* q = from; q < limit; ++q) {
      q = static_cast<const char*>(std::memchr(q, '}', static_cast<size_t>(limit - q)));
      if (!q) return nullptr;
      const char* r = past_ws(q + 1);
      if (r >= end_ || *r != ',') continue;
      r = past_ws(r + 1);
      if (r < end_ && *r == '{') return r;
    }
    return nullptr;
  }

  // The rows from a guessed row start to the end of the array, checked by a parser of their
  // own on the second thread. Nothing it reads is decoded in place, and it lets go only row
  // texts after the guess, so the first parser's reads and writes are never disturbed.
  struct SecondHalf {
    std::atomic<bool> stop{false};
    bool ok = false;  // reached the end of the array without an error
    const char* end = nullptr;  // just past the array's "]"
    std::vector<uint64_t> begins;
    std::vector<uint32_t> sizes;

    void check(const Parser& first, const char* from, int depth) {
      Arena arena;
      ParseScratch scratch;
      Parser parser(first.base_, static_cast<size_t>(first.end_ - first.base_), arena, scratch, first.max_depth_,
                    false, nullptr);
      parser.p_ = const_cast<char*>(from);
      RowRanges ranges{*first.lazy_, begins, sizes, static_cast<uint64_t>(from - first.base_)};
      try {
        ok = parser.check_rows(depth, ranges, nullptr, nullptr, &stop) == RowsEnd::ArrayEnd;
        end = parser.p_;
      } catch (...) {
        // Void: the first parser checks these rows again and raises what is wrong, in order.
      }
    }
  };

  Value parse_array(int depth) {
    check_depth(depth);
    if (open_empty(']')) return Value::array(nullptr, 0);
    size_t mark = values_.size();
    while (true) {
      skip_ws();
      Value v = parse_value(depth);
      values_.push_back(v);
      skip_ws();
      if (!next_item(']')) break;
    }
    size_t n = values_.size() - mark;
    Value* items = arena_.copy_values(values_.data() + mark, n);
    values_.resize(mark);
    return Value::array(items, n);
  }

  Value parse_object(int depth) {
    check_depth(depth);
    if (open_empty('}')) return Value::object(nullptr, 0);
    size_t mark = members_.size();
    while (true) {
      if (p_ >= end_ || *p_ != '"') fail("Expecting property name enclosed in double quotes", p_);
      std::string_view key = parse_string();
      skip_ws();
      if (p_ >= end_ || *p_ != ':') fail("Expecting ':' delimiter", p_);
      ++p_;
      skip_ws();
      Value v = (lazy_ && depth == 1 && key == "rows" && p_ < end_ && *p_ == '[') ? record_rows(depth + 1)
                                                                              : parse_value(depth);
      members_.push_back(Member{key, v});
      skip_ws();
      if (!next_item('}')) break;
      skip_ws();
    }
    size_t n = members_.size() - mark;
    if (n > 1) n = resolve_duplicates(members_.data() + mark, n);
    Member* ms = arena_.copy_members(members_.data() + mark, n);
    members_.resize(mark);
    return Value::object(ms, n);
  }

  // Python's dict semantics for repeated keys: the later value wins, the first position stays.
  // Returns the new member count. Objects with the same keys as the previous large object
  // (rows of one document share their layout) are checked with a cheap comparison.
  size_t resolve_duplicates(Member* ms, size_t n) {
    if (n <= 12) {
      bool dup = false;
      for (size_t i = 1; i < n && !dup; ++i) {
        for (size_t j = 0; j < i; ++j) {
          if (ms[i].key == ms[j].key) { dup = true; break; }
        }
      }
      if (!dup) return n;
      return merge_duplicates(ms, n);
    }
    if (shape_.size() == n) {
      bool same = true;
      for (size_t i = 0; i < n; ++i) {
        if (shape_[i] != ms[i].key) { same = false; break; }
      }
      if (same) return n;
    }
    std::unordered_map<std::string_view, size_t> seen;
    seen.reserve(n * 2);
    bool dup = false;
    for (size_t i = 0; i < n; ++i) {
      if (!seen.emplace(ms[i].key, i).second) { dup = true; break; }
    }
    if (dup) return merge_duplicates(ms, n);
    shape_.assign(n, std::string());
    for (size_t i = 0; i < n; ++i) shape_[i] = std::string(ms[i].key);
    return n;
  }

  static size_t merge_duplicates(Member* ms, size_t n) {
    std::unordered_map<std::string_view, size_t> first;
    first.reserve(n * 2);
    size_t out = 0;
    for (size_t i = 0; i < n; ++i) {
      auto [it, inserted] = first.emplace(ms[i].key, out);
      if (inserted) {
        ms[out++] = ms[i];
      } else {
        ms[it->second].value = ms[i].value;
      }
    }
    return out;
  }

  Arena& arena_;
  int max_depth_;
  bool in_place_;
  Document* lazy_;
  char* base_;
  char* p_;
  char* end_;
  std::vector<Value>& values_;
  std::vector<Member>& members_;
  std::vector<std::string>& shape_;
};

}  // namespace

ParseError::ParseError(std::string msg, size_t char_pos, size_t line, size_t column)
    : Error(ErrorKind::JsonDecode, msg + position_suffix(char_pos, line, column)),
      msg_(std::move(msg)), pos_(char_pos), line_(line), column_(column) {}

namespace {

// Python's UnicodeDecodeError text: one byte by its value, several by their range.
std::string decode_message(std::string_view text, size_t start, size_t end, const std::string& reason) {
  char head[64];
  if (end == start + 1 && start < text.size()) {
    std::snprintf(head, sizeof head, "byte 0x%02x in position %zu",
                  static_cast<unsigned>(static_cast<unsigned char>(text[start])), start);
  } else {
    std::snprintf(head, sizeof head, "bytes in position %zu-%zu", start, end - 1);
  }
  return std::string("'utf-8' codec can't decode ") + head + ": " + reason;
}

}  // namespace

DecodeError::DecodeError(std::string_view text, size_t start, size_t end, std::string reason)
    : Error(ErrorKind::UnicodeDecode, decode_message(text, start, end, reason)),
      bytes_(std::make_shared<const std::string>(text.substr(0, end))), start_(start), end_(end),
      reason_(std::move(reason)) {}

DecodeError::DecodeError(const DecodeError& e, const std::string& more)
    : Error(ErrorKind::UnicodeDecode, decode_message(*e.bytes_, e.start_, e.end_, e.reason_ + more)),
      bytes_(e.bytes_), start_(e.start_), end_(e.end_), reason_(e.reason_ + more) {}

void check_utf8(std::string_view text) {
  Utf8Error err;
  if (!validate_utf8(text, &err)) throw DecodeError(text, err.start, err.end, err.reason);
}

namespace {

// True when the text is known to be valid UTF-8 after checking its halves at once; false
// when that was not worth it or found an error, which the caller then finds (and describes)
// in one pass. The halves meet at a byte that starts a character, so two valid halves make
// a valid whole.
bool valid_utf8_on_two_threads(std::string_view text) {
  if (text.size() < kSplitMinBytes || halvex::worker_threads() < 2) return false;
  size_t mid = text.size() / 2;
  while (mid > 0 && (static_cast<unsigned char>(text[mid]) & 0xC0) == 0x80) --mid;
  bool valid[2] = {false, false};
  halvex::run_parallel(2, [&](size_t t) {
    Utf8Error err;
    valid[t] = validate_utf8(t == 0 ? text.substr(0, mid) : text.substr(mid), &err);
  });
  return valid[0] && valid[1];
}

}  // namespace

void parse_document(Document& doc, int max_depth, bool lazy_rows, bool release_rows) {
  doc.release_rows = release_rows;
  std::string_view bytes(doc.data(), doc.size());
  // Checked block by block; a mapped file's blocks are let go again at once (nothing has
  // been decoded in them yet), so the check does not pull the whole file into memory.
  const size_t block = kReleaseStep;
  const std::atomic<bool>* changed = change_flag(doc);
  for (size_t pos = 0; pos < bytes.size();) {
    if (changed && changed->load(std::memory_order_relaxed)) throw ChangedError("");
    const size_t end = std::min(bytes.size(), pos + block);
    const std::string_view part = bytes.substr(pos, end - pos);
    size_t next = end;
    Utf8Error err;
    if (!valid_utf8_on_two_threads(part) && !validate_utf8(part, &err)) {
      // A character cut by the block's end is checked again from its first byte with the
      // next block; any other fault is the first of the file.
      const bool cut = err.cut && end < bytes.size() && err.start > 0;
      if (!cut) throw DecodeError(bytes, pos + err.start, pos + err.end, err.reason);
      next = pos + err.start;
    }
    if (doc.mapped && release_rows) {
      static const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
      size_t from = pos / page * page, to = next / page * page;
      if (to > from) ::madvise(doc.mapped->data() + from, to - from, MADV_DONTNEED);
    }
    pos = next;
  }
  doc.lazy_rows = lazy_rows;
  doc.row_begin.clear();
  doc.row_size.clear();
  ParseScratch scratch;
  Parser parser(doc.data(), doc.size(), doc.arena, scratch, max_depth, true, lazy_rows ? &doc : nullptr);
  doc.root = parser.parse();
}


namespace detail {

Value parse_row_at(const Document& doc, size_t offset, Arena& arena, ParseScratch& scratch, int max_depth) {
  // Row texts were validated and are never decoded in place: copy-decoding keeps them intact.
  Parser parser(const_cast<char*>(doc.data()), doc.size(), arena, scratch, max_depth, false, nullptr);
  return parser.parse_at(offset);
}

bool scan_row_fields_at(const Document& doc, size_t offset, FieldSet& fields, Arena& arena, ParseScratch& scratch,
                        Value* values, bool* found, Kind* row_kind) {
  Parser parser(const_cast<char*>(doc.data()), doc.size(), arena, scratch, DEFAULT_MAX_DEPTH, false, nullptr);
  return parser.scan_fields(offset, fields, values, found, row_kind);
}

}  // namespace detail

}  // namespace halvex::json
