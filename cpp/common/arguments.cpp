#include "common/arguments.h"

#include <cmath>
#include <limits>
#include <string>

#include "common/errors.h"

namespace halvex {

namespace {

[[noreturn]] void arity_error(const Signature& sig, size_t n_positional) {
  const size_t n_params = sig.names.size();
  const bool too_many = n_positional > n_params;
  const size_t expected = too_many ? n_params : sig.required;
  const char* how = sig.required == n_params ? "exactly" : (too_many ? "at most" : "at least");
  throw TypeError(std::string(sig.function) + "() takes " + how + " " + std::to_string(expected) +
                  " positional argument" + (expected == 1 ? "" : "s") + " (" + std::to_string(n_positional) +
                  " given)");
}

}  // namespace

std::vector<int> match_arguments(const Signature& sig, size_t n_positional,
                                 const std::vector<std::string_view>& keywords) {
  const size_t n_params = sig.names.size();
  if (n_positional > n_params) arity_error(sig, n_positional);
  std::vector<int> slots(n_params, -1);
  for (size_t i = 0; i < n_positional; ++i) slots[i] = static_cast<int>(i);
  for (size_t j = 0; j < keywords.size(); ++j) {
    size_t idx = 0;
    while (idx < n_params && keywords[j] != sig.names[idx]) ++idx;
    const char* problem = idx == n_params       ? "got an unexpected keyword argument"
                          : slots[idx] >= 0 ? "got multiple values for keyword argument"
                                            : nullptr;
    if (problem) throw TypeError(std::string(sig.function) + "() " + problem + " '" + std::string(keywords[j]) + "'");
    slots[idx] = static_cast<int>(n_positional + j);
  }
  for (size_t i = 0; i < sig.required; ++i) {
    if (slots[i] >= 0) continue;
    // Too few positional arguments and no keywords reads as an arity error, as in CPython.
    if ((n_positional < sig.required && keywords.empty()) || sig.missing_is_arity) arity_error(sig, n_positional);
    throw TypeError(std::string(sig.function) + "() missing required argument '" + sig.names[i] + "' (pos " +
                    std::to_string(i + 1) + ")");
  }
  return slots;
}

std::string signature_text(const Signature& sig, const char* returns, const std::vector<std::string>& kinds,
                           const std::vector<std::string>& defaults) {
  std::string text = "def " + std::string(sig.function) + "(";
  for (size_t i = 0; i < sig.names.size(); ++i) {
    text += (i ? ", " : "") + sig.names[i];
    if (returns) text += ": " + kinds[i];
    if (i >= sig.required) text += (returns ? " = " : "=") + defaults[i];
  }
  return text + ")" + (returns ? " -> " + std::string(returns) : "");
}

long long truncate_real(double d, bool clamp, const char* nan_prefix) {
  if (std::isnan(d)) throw ValueError(std::string(nan_prefix) + "cannot convert float NaN to integer");
  // 9.2e18 is the largest round bound below 2**63 (the doubles near it are 1024 apart).
  if (std::fabs(d) >= 9.2e18) {
    // As int() then a 64-bit conversion would say: only an infinity is called one.
    if (!clamp) throw OverflowError(std::isinf(d) ? "cannot convert float infinity to integer" : "int too big to convert");
    return d > 0 ? std::numeric_limits<long long>::max() : std::numeric_limits<long long>::min();
  }
  return static_cast<long long>(std::trunc(d));
}

}  // namespace halvex
