// Hashable identity of a region or branch code with Python's dict semantics: 1, 1.0 and true
// are one key; 12 and "12" are two.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "json/value.h"

namespace halvex::pipeline {

struct CodeKey {
  enum class Tag : uint8_t { Number, Real, Big, Text, Null };
  Tag tag = Tag::Null;
  int64_t number = 0;  // Number: integral value; Real: the double's bits
  std::string text;    // Big: decimal digits; Text: the string

  bool operator==(const CodeKey& o) const {
    return tag == o.tag && number == o.number && text == o.text;
  }
};

// Throws TypeError for arrays and objects ("unhashable type: 'list'").
CodeKey make_code_key(const json::Value& v);

struct CodeKeyHash {
  size_t operator()(const CodeKey& k) const {
    size_t h = std::hash<std::string>()(k.text);
    return h ^ (std::hash<int64_t>()(k.number) * 0x9E3779B97F4A7C15ULL) ^ static_cast<size_t>(k.tag);
  }
};

}  // namespace halvex::pipeline
