#include "json/utf8.h"

#include <cstring>

namespace halvex::json {

bool validate_utf8(std::string_view bytes, Utf8Error* err) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  auto fail = [&](size_t start, size_t end, const char* reason, bool cut = false) {
    if (err) *err = Utf8Error{start, end, reason, cut};
    return false;
  };
  while (i < n) {
    // ASCII fast path, eight bytes at a time.
    if (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, s + i, 8);
      if ((w & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return fail(i, i + 1, "invalid start byte");
    }
    for (size_t k = 1; k < len; ++k) {
      if (i + k >= n) return fail(i, n, "unexpected end of data", true);
      unsigned char cc = s[i + k];
      unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
      if (cc < l || cc > h) return fail(i, i + k, "invalid continuation byte");
    }
    i += len;
  }
  return true;
}

std::string_view utf8_prefix(std::string_view s, size_t n_code_points) {
  size_t count = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (count == n_code_points) return s.substr(0, i);
      ++count;
    }
  }
  return s;
}

size_t utf8_count(std::string_view s, size_t pos) {
  size_t count = 0;
  for (size_t i = 0; i < pos && i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) ++count;
  }
  return count;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace halvex::json
