#include "pipeline/text_form.h"

#include "common/number_text.h"

namespace halvex::pipeline {

namespace {

// repr() of a string, for values nested in lists and dicts: single quotes unless the text
// holds a single quote and no double quote.
void append_repr_string(std::string& out, std::string_view s) {
  bool has_single = s.find('\'') != std::string_view::npos;
  bool has_double = s.find('"') != std::string_view::npos;
  char q = (has_single && !has_double) ? '"' : '\'';
  out.push_back(q);
  static const char hex[] = "0123456789abcdef";
  for (unsigned char c : s) {
    if (c == static_cast<unsigned char>(q) || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back(q);
}

void append_repr(std::string& out, const json::Value& v) {
  if (v.is_string()) {
    append_repr_string(out, v.as_string());
  } else {
    append_text_form(out, v);
  }
}

}  // namespace

void append_text_form(std::string& out, const json::Value& v) {
  using json::Kind;
  switch (v.kind()) {
    case Kind::Null: out += "None"; return;
    case Kind::Bool: out += halvex::bool_text(v.as_bool()); return;
    case Kind::Int: halvex::append_int(out, v.as_int()); return;
    case Kind::BigInt:
    case Kind::String: out += v.as_string(); return;
    case Kind::Opaque: out += "<"; out += v.as_string(); out += " object>"; return;
    case Kind::Double: halvex::append_double_repr(out, v.as_double(), false); return;
    case Kind::Array:
      out.push_back('[');
      for (size_t i = 0; i < v.size(); ++i) {
        if (i) out += ", ";
        append_repr(out, v[i]);
      }
      out.push_back(']');
      return;
    case Kind::Object:
      out.push_back('{');
      for (size_t i = 0; i < v.size(); ++i) {
        if (i) out += ", ";
        append_repr_string(out, v.member(i).key);
        out += ": ";
        append_repr(out, v.member(i).value);
      }
      out.push_back('}');
      return;
  }
}

std::string text_form(const json::Value& v) {
  std::string s;
  append_text_form(s, v);
  return s;
}

}  // namespace halvex::pipeline
