#include "pipeline/code_key.h"

#include <cmath>
#include <cstring>

#include "common/errors.h"
#include "common/number_text.h"

namespace halvex::pipeline {

CodeKey make_code_key(const json::Value& v) {
  using json::Kind;
  CodeKey k;
  switch (v.kind()) {
    case Kind::Null: k.tag = CodeKey::Tag::Null; break;
    case Kind::Bool:
    case Kind::Int: k.tag = CodeKey::Tag::Number; k.number = v.as_int(); break;
    case Kind::BigInt: k.tag = CodeKey::Tag::Big; k.text = std::string(v.as_string()); break;
    case Kind::Double: {
      double d = v.as_double();
      if (std::isfinite(d) && d == std::trunc(d)) {
        if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
          k.tag = CodeKey::Tag::Number;
          k.number = static_cast<int64_t>(d);
        } else {
          k.tag = CodeKey::Tag::Big;
          k.text = halvex::whole_double_digits(d);
        }
      } else {
        k.tag = CodeKey::Tag::Real;
        if (d == 0) d = 0.0;
        std::memcpy(&k.number, &d, sizeof d);
      }
      break;
    }
    case Kind::String: k.tag = CodeKey::Tag::Text; k.text = std::string(v.as_string()); break;
    default:
      throw TypeError(std::string("unhashable type: '") + json::type_name(v) + "'");
  }
  return k;
}

}  // namespace halvex::pipeline
