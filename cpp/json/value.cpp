#include "json/value.h"

#include <cmath>
#include <cstdlib>
#include <string>

#include "common/errors.h"

namespace halvex::json {

void Value::throw_too_large(size_t n) {
  throw OverflowError("a text, list or object of " + std::to_string(n) + " elements is too large (at most " +
                      std::to_string(UINT32_MAX) + ")");
}

namespace {

// Numbers compare by value across kinds, as Python's == does for bool, int and float.
bool numeric(const Value& v) {
  return v.kind() == Kind::Bool || v.kind() == Kind::Int || v.kind() == Kind::BigInt ||
         v.kind() == Kind::Double;
}

bool numbers_equal(const Value& a, const Value& b) {
  auto as_int = [](const Value& v, int64_t& out) {
    if (v.kind() == Kind::Bool || v.kind() == Kind::Int) { out = v.as_int(); return true; }
    return false;
  };
  int64_t ia, ib;
  if (as_int(a, ia) && as_int(b, ib)) return ia == ib;
  if (a.kind() == Kind::BigInt && b.kind() == Kind::BigInt) return a.as_string() == b.as_string();
  // A BigInt never equals a 64-bit integer; against a double compare exactly via its value.
  auto to_double = [](const Value& v) -> double {
    switch (v.kind()) {
      case Kind::Bool:
      case Kind::Int: return static_cast<double>(v.as_int());
      case Kind::BigInt: return std::strtod(std::string(v.as_string()).c_str(), nullptr);
      default: return v.as_double();
    }
  };
  if ((a.kind() == Kind::BigInt && b.kind() != Kind::Double) ||
      (b.kind() == Kind::BigInt && a.kind() != Kind::Double)) {
    return false;
  }
  if (a.kind() != Kind::Double && b.kind() == Kind::Double) {
    double d = b.as_double();
    if (!std::isfinite(d) || d != std::trunc(d)) return false;
    if (a.kind() == Kind::BigInt) return to_double(a) == d;
    // Exact: the double must be integral and equal the integer without rounding.
    if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return false;
    return static_cast<int64_t>(d) == a.as_int();
  }
  if (a.kind() == Kind::Double && b.kind() != Kind::Double) return numbers_equal(b, a);
  return a.as_double() == b.as_double();
}

}  // namespace

bool equal(const Value& a, const Value& b) {
  if (numeric(a) && numeric(b)) return numbers_equal(a, b);
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Null: return true;
    case Kind::String: return a.as_string() == b.as_string();
    case Kind::Array:
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i) {
        if (!equal(a[i], b[i])) return false;
      }
      return true;
    case Kind::Object: {
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i) {
        const Value* other = b.find(a.member(i).key);
        if (!other || !equal(a.member(i).value, *other)) return false;
      }
      return true;
    }
    default: return false;
  }
}

const char* type_name(const Value& v) {
  switch (v.kind()) {
    case Kind::Null: return "NoneType";
    case Kind::Bool: return "bool";
    case Kind::Int:
    case Kind::BigInt: return "int";
    case Kind::Double: return "float";
    case Kind::String: return "str";
    case Kind::Array: return "list";
    case Kind::Object: return "dict";
    case Kind::Opaque: return "object";
  }
  return "object";
}

Value copy_into(const Value& v, Arena& arena) {
  switch (v.kind()) {
    case Kind::String: return Value::string(arena.copy_string(v.as_string()));
    case Kind::BigInt: return Value::big_integer(arena.copy_string(v.as_string()));
    case Kind::Opaque: return Value::opaque(arena.copy_string(v.as_string()));
    case Kind::Array: {
      auto* items = static_cast<Value*>(arena.allocate(v.size() * sizeof(Value), alignof(Value)));
      for (size_t i = 0; i < v.size(); ++i) new (items + i) Value(copy_into(v[i], arena));
      return Value::array(v.size() ? items : nullptr, v.size());
    }
    case Kind::Object: {
      auto* members = static_cast<Member*>(arena.allocate(v.size() * sizeof(Member), alignof(Member)));
      for (size_t i = 0; i < v.size(); ++i) {
        const Member& m = v.member(i);
        new (members + i) Member{arena.copy_string(m.key), copy_into(m.value, arena)};
      }
      return Value::object(v.size() ? members : nullptr, v.size());
    }
    default: return v;
  }
}

}  // namespace halvex::json
