#include "pipeline/amounts.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

#include "common/errors.h"
#include "common/number_text.h"

namespace halvex::pipeline {

namespace {

constexpr double kTwo63 = 9223372036854775808.0;

// A whole-valued finite double as the exact integer Python's int() would give.
json::Value whole_to_integer(double w, json::Arena& arena) {
  if (w >= -kTwo63 && w < kTwo63) return json::Value::integer(static_cast<int64_t>(w));
  return json::Value::big_integer(arena.copy_string(halvex::whole_double_digits(w)));
}

}  // namespace

json::Value mio(const json::Value& v, json::Arena& arena) {
  using json::Kind;
  double x;
  switch (v.kind()) {
    case Kind::Null: return json::Value::null();
    case Kind::Bool:
    case Kind::Int: x = static_cast<double>(v.as_int()); break;
    case Kind::Double: x = v.as_double(); break;
    case Kind::BigInt: {
      x = std::strtod(std::string(v.as_string()).c_str(), nullptr);
      if (std::isinf(x)) throw OverflowError("int too large to convert to float");
      break;
    }
    case Kind::String: {
      auto parsed = halvex::parse_python_float(v.as_string());
      if (!parsed) return json::Value::null();
      x = *parsed;
      break;
    }
    default: return json::Value::null();
  }
  if (std::isnan(x)) return json::Value::null();
  double m = x / 1000000.0;
  if (std::fabs(m) >= 1) {
    if (std::isinf(m)) throw OverflowError("cannot convert float infinity to integer");
    return whole_to_integer(std::nearbyint(m), arena);  // ties to even
  }
  return json::Value::real(halvex::round_decimals(m, 1));
}

json::Value score_code(const json::Value* v, json::Arena& arena) {
  using json::Kind;
  if (!v) return json::Value::null();
  switch (v->kind()) {
    case Kind::Null: return json::Value::null();
    case Kind::String: {
      if (v->as_string() == "YI") return json::Value::integer(-1);
      auto digits = halvex::parse_python_int_text(v->as_string());
      if (!digits) return json::Value::null();
      int64_t i = 0;
      const std::string& d = *digits;
      if (d.size() <= 18) return json::Value::integer(std::strtoll(d.c_str(), nullptr, 10));
      errno = 0;
      i = std::strtoll(d.c_str(), nullptr, 10);
      if (errno == 0) return json::Value::integer(i);
      return json::Value::big_integer(arena.copy_string(d));
    }
    case Kind::Bool: return json::Value::integer(v->as_int());
    case Kind::Int:
    case Kind::BigInt: return *v;
    case Kind::Double: {
      double d = v->as_double();
      if (std::isnan(d)) return json::Value::null();
      if (std::isinf(d)) throw OverflowError("cannot convert float infinity to integer");
      json::Value out = whole_to_integer(std::trunc(d), arena);
      return out;
    }
    default: return json::Value::null();
  }
}

}  // namespace halvex::pipeline
