#include "json/writer.h"

#include <array>

#include "common/errors.h"
#include "common/number_text.h"

namespace halvex::json {

namespace {

// 0: copy; 1: needs attention (escape, "<", or a possible surrogate lead byte 0xED).
constexpr std::array<uint8_t, 256> make_table(bool escape_lt) {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 1;
  t['"'] = 1;
  t['\\'] = 1;
  t[0xED] = 1;
  if (escape_lt) t['<'] = 1;
  return t;
}
constexpr auto kPlain = make_table(false);
constexpr auto kScript = make_table(true);

const char kHex[] = "0123456789abcdef";

}  // namespace

void write_string(std::string& out, std::string_view s, bool escape_lt) {
  const auto& table = escape_lt ? kScript : kPlain;
  out.push_back('"');
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t run = 0;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = p[i];
    if (!table[c]) continue;
    if (c == 0xED) {
      // U+D800..U+DFFF encoded as ED A0..BF xx: a lone surrogate from a \u escape.
      if (i + 1 < n && p[i + 1] >= 0xA0) {
        throw ValueError("'utf-8' codec can't encode character: surrogates not allowed");
      }
      continue;
    }
    out.append(s.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default: {
        char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        out.append(esc, 6);
      }
    }
  }
  out.append(s.data() + run, n - run);
  out.push_back('"');
}

void write(std::string& out, const Value& v, const WriteOptions& opts) {
  switch (v.kind()) {
    case Kind::Null: out += "null"; return;
    case Kind::Bool: out += v.as_bool() ? "true" : "false"; return;
    case Kind::Int: append_int(out, v.as_int()); return;
    case Kind::BigInt: out += v.as_string(); return;
    case Kind::Double: append_double_repr(out, v.as_double(), true); return;
    case Kind::String: write_string(out, v.as_string(), opts.escape_lt); return;
    case Kind::Opaque:
      throw TypeError("Object of type " + std::string(v.as_string()) + " is not JSON serializable");
    case Kind::Array: {
      out.push_back('[');
      for (size_t i = 0; i < v.size(); ++i) {
        if (i) out += opts.spaced ? ", " : ",";
        write(out, v[i], opts);
      }
      out.push_back(']');
      return;
    }
    case Kind::Object: {
      out.push_back('{');
      for (size_t i = 0; i < v.size(); ++i) {
        if (i) out += opts.spaced ? ", " : ",";
        const Member& m = v.member(i);
        write_string(out, m.key, opts.escape_lt);
        out += opts.spaced ? ": " : ":";
        write(out, m.value, opts);
      }
      out.push_back('}');
      return;
    }
  }
}

std::string to_json(const Value& v, const WriteOptions& opts) {
  std::string out;
  write(out, v, opts);
  return out;
}

}  // namespace halvex::json
