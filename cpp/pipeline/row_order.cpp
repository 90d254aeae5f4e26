#include "pipeline/row_order.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <string>

#include "common/errors.h"
#include "common/number_text.h"
#include "pipeline/row_source.h"

namespace halvex::pipeline {

namespace {

// A numeric sort key compared exactly, as Python compares int and float.
struct NumKey {
  enum class K : uint8_t { Int, Real, Big } kind = K::Int;
  int64_t i = 0;
  double d = 0;
  std::string big;  // decimal digits with an optional "-"
};

// Exact comparison of two decimal integers.
int compare_big(const std::string& a, const std::string& b) {
  bool na = !a.empty() && a[0] == '-', nb = !b.empty() && b[0] == '-';
  if (na != nb) return na ? -1 : 1;
  std::string_view da = std::string_view(a).substr(na), db = std::string_view(b).substr(nb);
  int mag = da.size() != db.size() ? (da.size() < db.size() ? -1 : 1) : (da < db ? -1 : (da > db ? 1 : 0));
  return na ? -mag : mag;
}

std::string exact_digits(const NumKey& k) {
  if (k.kind == NumKey::K::Big) return k.big;
  if (k.kind == NumKey::K::Int) return std::to_string(k.i);
  return halvex::whole_double_digits(k.d);
}

// -1, 0, 1 for a < b, a == b, a > b.
int compare(const NumKey& a, const NumKey& b) {
  using K = NumKey::K;
  if (a.kind == K::Int && b.kind == K::Int) return a.i < b.i ? -1 : (a.i > b.i ? 1 : 0);
  if (a.kind != K::Big && b.kind != K::Big) {
    // long double holds every int64 and every double exactly.
    long double x = a.kind == K::Int ? static_cast<long double>(a.i) : a.d;
    long double y = b.kind == K::Int ? static_cast<long double>(b.i) : b.d;
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  auto approx = [](const NumKey& k) -> long double {
    if (k.kind == K::Big) return std::strtold(k.big.c_str(), nullptr);
    return k.kind == K::Int ? static_cast<long double>(k.i) : k.d;
  };
  long double x = approx(a), y = approx(b);
  if (x != y) return x < y ? -1 : 1;
  // Equal approximations: compare whole numbers exactly (a fractional double is never this big).
  if ((a.kind == K::Real && a.d != std::trunc(a.d)) || (b.kind == K::Real && b.d != std::trunc(b.d))) return 0;
  return compare_big(exact_digits(a), exact_digits(b));
}

// A text as Python's repr shows it, cut after kShownChars bytes.
std::string quoted(std::string_view s) {
  constexpr size_t kShownChars = 40;
  std::string out = "'";
  size_t i = 0;
  for (; i < s.size() && i < kShownChars; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '\\' || c == '\'') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) out += s[i++];  // whole characters
  return out + (i < s.size() ? "'..." : "'");
}

}  // namespace

struct RiskOrder::Impl {
  std::vector<NumKey> numeric;
  std::vector<std::string> texts;  // one per row: add() may run on several threads
  // The first row (in row order) with a text key, and how an error names it.
  std::mutex first_text_mu;
  std::atomic<size_t> first_text{std::numeric_limits<size_t>::max()};
  std::string first_text_place;
};

RiskOrder::RiskOrder(size_t n) : impl_(new Impl) {
  impl_->numeric.resize(n);
  impl_->texts.resize(n);
}
RiskOrder::~RiskOrder() { delete impl_; }

void RiskOrder::add(size_t n, const json::Value& v, bool found, size_t position, const json::Value* muta) {
  Impl& m = *impl_;
  if (!found || !v.truthy()) return;
  switch (v.kind()) {
    case json::Kind::Bool:
    case json::Kind::Int: m.numeric[n].i = v.as_int(); break;
    case json::Kind::BigInt:
      m.numeric[n].kind = NumKey::K::Big;
      m.numeric[n].big = std::string(v.as_string());
      break;
    case json::Kind::Double:
      // NaN compares false both ways and would leave the order undefined: it counts as 0.
      if (!std::isnan(v.as_double())) {
        m.numeric[n].kind = NumKey::K::Real;
        m.numeric[n].d = v.as_double();
      }
      break;
    case json::Kind::String:
      m.texts[n] = std::string(v.as_string());
      if (n < m.first_text.load(std::memory_order_relaxed)) {
        std::lock_guard lock(m.first_text_mu);
        if (n < m.first_text.load(std::memory_order_relaxed)) {
          m.first_text_place = row_place(position, muta);
          m.first_text.store(n, std::memory_order_relaxed);
        }
      }
      break;
    default:
      throw TypeError(std::string("'<' not supported between instances of '") + json::type_name(v) +
                      "' and 'int'");
  }
}

std::vector<uint32_t> RiskOrder::sorted_positions() const {
  const Impl& m = *impl_;
  const size_t n = m.numeric.size();
  // Falsy keys count as the integer 0, so text keys can only be ordered among themselves.
  const bool any_text = m.first_text.load() < n;
  bool all_text = any_text;
  if (all_text) {
    for (size_t i = 0; i < n; ++i) {
      if (m.texts[i].empty()) { all_text = false; break; }
    }
  }
  if (any_text && !all_text) {
    throw TypeError("son_risk must be a number, not str " + quoted(m.texts[m.first_text]) + m.first_text_place);
  }
  std::vector<uint32_t> idx(n);
  for (size_t i = 0; i < n; ++i) idx[i] = static_cast<uint32_t>(i);
  if (all_text) {
    std::stable_sort(idx.begin(), idx.end(), [&](uint32_t a, uint32_t b) { return m.texts[a] > m.texts[b]; });
  } else {
    bool has_big = false, has_real = false;
    for (const auto& k : m.numeric) {
      has_big |= k.kind == NumKey::K::Big;
      has_real |= k.kind == NumKey::K::Real;
    }
    if (!has_big) {
      // The usual case: one flat array of keys; long double holds every int64 and double exactly.
      std::vector<long double> key(n);
      for (size_t i = 0; i < n; ++i) {
        const NumKey& k = m.numeric[i];
        key[i] = k.kind == NumKey::K::Int ? static_cast<long double>(k.i) : k.d;
      }
      if (!has_real) {
        std::vector<int64_t> ikey(n);
        for (size_t i = 0; i < n; ++i) ikey[i] = m.numeric[i].i;
        std::stable_sort(idx.begin(), idx.end(), [&](uint32_t a, uint32_t b) { return ikey[a] > ikey[b]; });
      } else {
        std::stable_sort(idx.begin(), idx.end(), [&](uint32_t a, uint32_t b) { return key[a] > key[b]; });
      }
    } else {
      std::stable_sort(idx.begin(), idx.end(),
                       [&](uint32_t a, uint32_t b) { return compare(m.numeric[a], m.numeric[b]) > 0; });
    }
  }
  return idx;
}

}  // namespace halvex::pipeline
