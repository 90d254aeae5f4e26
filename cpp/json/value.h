// An ordered JSON value tree, compact enough for documents with millions of rows.
//
// A Value is 16 bytes and never owns memory: strings, arrays and objects point into an
// Arena (or into the text buffer of a parsed Document). Trees are immutable once built, so a
// "copy" of a subtree is the same pointer and a changed copy only rebuilds the path to the
// change. Object members keep their stored order, which is part of every output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace halvex::json {

enum class Kind : uint8_t {
  Null,
  Bool,
  Int,     // fits a signed 64-bit integer
  BigInt,  // an integer beyond 64 bits, kept as its exact decimal text
  Double,
  String,
  Array,
  Object,
  Opaque,  // a caller's value without a JSON form; as_string() is its type name
};

struct Member;

class Value {
 public:
  constexpr Value() : kind_(Kind::Null), size_(0), i_(0) {}

  static Value null() { return Value(); }
  static Value boolean(bool b) { Value v; v.kind_ = Kind::Bool; v.i_ = b ? 1 : 0; return v; }
  static Value integer(int64_t i) { Value v; v.kind_ = Kind::Int; v.i_ = i; return v; }
  static Value real(double d) { Value v; v.kind_ = Kind::Double; v.d_ = d; return v; }
  // The text must outlive the value (arena or document buffer).
  static Value string(std::string_view s) { return with_text(Kind::String, s); }
  static Value big_integer(std::string_view digits) { return with_text(Kind::BigInt, digits); }
  static Value opaque(std::string_view type_name) { return with_text(Kind::Opaque, type_name); }
  static Value array(const Value* items, size_t n) {
    Value v; v.kind_ = Kind::Array; v.size_ = size32(n); v.a_ = items; return v;
  }
  static Value object(const Member* members, size_t n) {
    Value v; v.kind_ = Kind::Object; v.size_ = size32(n); v.m_ = members; return v;
  }

  Kind kind() const { return kind_; }
  bool is_null() const { return kind_ == Kind::Null; }
  bool is_int() const { return kind_ == Kind::Int; }
  bool is_double() const { return kind_ == Kind::Double; }
  bool is_string() const { return kind_ == Kind::String; }
  bool is_array() const { return kind_ == Kind::Array; }
  bool is_object() const { return kind_ == Kind::Object; }

  bool as_bool() const { return i_ != 0; }
  int64_t as_int() const { return i_; }
  double as_double() const { return d_; }
  std::string_view as_string() const { return {s_, size_}; }  // also the digits of a BigInt
  size_t size() const { return size_; }
  const Value* begin_items() const { return a_; }
  const Value* end_items() const { return a_ + size_; }
  const Value& operator[](size_t i) const { return a_[i]; }
  const Member* begin_members() const { return m_; }
  const Member* end_members() const;
  const Member& member(size_t i) const;

  // Member look-up by key; nullptr when absent. Linear: rows have a few dozen members.
  const Value* find(std::string_view key) const;

  // Python truthiness: null, false, 0, 0.0, "" and empty containers are "empty".
  bool truthy() const;

 private:
  static Value with_text(Kind k, std::string_view s) {
    Value v; v.kind_ = k; v.size_ = size32(s.size()); v.s_ = s.data(); return v;
  }
  // Sizes are held in 32 bits: a longer text or a larger container is refused, never cut.
  static uint32_t size32(size_t n) {
    if (n > UINT32_MAX) [[unlikely]] throw_too_large(n);
    return static_cast<uint32_t>(n);
  }
  [[noreturn]] static void throw_too_large(size_t n);

  Kind kind_;
  uint32_t size_;
  union {
    int64_t i_;
    double d_;
    const char* s_;
    const Value* a_;
    const Member* m_;
  };
};

struct Member {
  std::string_view key;
  Value value;
};

inline const Member* Value::end_members() const { return m_ + size_; }
inline const Member& Value::member(size_t i) const { return m_[i]; }

inline const Value* Value::find(std::string_view key) const {
  if (kind_ != Kind::Object) return nullptr;
  for (uint32_t i = 0; i < size_; ++i) {
    if (m_[i].key == key) return &m_[i].value;
  }
  return nullptr;
}

inline bool Value::truthy() const {
  switch (kind_) {
    case Kind::Null: return false;
    case Kind::Bool:
    case Kind::Int: return i_ != 0;
    case Kind::BigInt: return true;  // never zero: zero fits an Int
    case Kind::Opaque: return true;
    case Kind::Double: return d_ != 0.0;  // NaN is truthy, as in Python
    default: return size_ != 0;
  }
}

// Bump allocator that owns the storage of the values built in it.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  Arena(Arena&&) = default;
  Arena& operator=(Arena&&) = default;

  void* allocate(size_t bytes, size_t align = alignof(std::max_align_t)) {
    size_t pad = (align - (reinterpret_cast<uintptr_t>(cursor_) & (align - 1))) & (align - 1);
    if (pad + bytes > left_) {
      grow(bytes + align);
      pad = (align - (reinterpret_cast<uintptr_t>(cursor_) & (align - 1))) & (align - 1);
    }
    char* p = cursor_ + pad;
    cursor_ = p + bytes;
    left_ -= pad + bytes;
    return p;
  }

  std::string_view copy_string(std::string_view s) {
    if (s.empty()) return {};
    char* p = static_cast<char*>(allocate(s.size(), 1));
    std::memcpy(p, s.data(), s.size());
    return {p, s.size()};
  }
  Value* copy_values(const Value* src, size_t n) {
    if (n == 0) return nullptr;
    auto* p = static_cast<Value*>(allocate(n * sizeof(Value), alignof(Value)));
    std::memcpy(static_cast<void*>(p), src, n * sizeof(Value));
    return p;
  }
  Member* copy_members(const Member* src, size_t n) {
    if (n == 0) return nullptr;
    auto* p = static_cast<Member*>(allocate(n * sizeof(Member), alignof(Member)));
    for (size_t i = 0; i < n; ++i) new (p + i) Member(src[i]);
    return p;
  }

  Value string(std::string_view s) { return Value::string(copy_string(s)); }
  Value array(const std::vector<Value>& items) {
    return Value::array(copy_values(items.data(), items.size()), items.size());
  }
  Value object(const std::vector<Member>& members) {
    return Value::object(copy_members(members.data(), members.size()), members.size());
  }

  // Forgets every value but keeps the memory, for scratch use in loops.
  void reset() {
    if (blocks_.empty()) return;
    current_ = 0;
    cursor_ = blocks_[0].data.get();
    left_ = blocks_[0].size;
  }

 private:
  struct Block {
    std::unique_ptr<char[]> data;
    size_t size;
  };
  void grow(size_t at_least) {
    // Blocks kept by reset() are used again first.
    while (current_ + 1 < blocks_.size()) {
      ++current_;
      if (blocks_[current_].size >= at_least) {
        cursor_ = blocks_[current_].data.get();
        left_ = blocks_[current_].size;
        return;
      }
    }
    size_t size = blocks_.empty() ? kFirstBlock : blocks_.back().size * 2;
    if (size > kMaxBlock) size = kMaxBlock;
    if (size < at_least) size = at_least;
    blocks_.push_back(Block{std::unique_ptr<char[]>(new char[size]), size});
    current_ = blocks_.size() - 1;
    cursor_ = blocks_.back().data.get();
    left_ = size;
  }
  static constexpr size_t kFirstBlock = 4096;
  static constexpr size_t kMaxBlock = size_t(64) << 20;

  std::vector<Block> blocks_;
  size_t current_ = 0;
  char* cursor_ = nullptr;
  size_t left_ = 0;
};

// A copy of v whose texts, items and members all live in `arena`: it no longer depends on
// whatever held v's memory.
Value copy_into(const Value& v, Arena& arena);

// A read-only-shared, privately writable mapping of a whole file.
class MappedFile {
 public:
  MappedFile(char* data, size_t size) : data_(data), size_(size) {}
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  char* data_;
  size_t size_;
};

// A parsed JSON text: the buffer that strings point into, the arena, and the root value.
struct Document {
  std::string text;                    // the JSON text, unless it is `mapped`
  std::unique_ptr<MappedFile> mapped;  // a file mapped in place of `text`
  Arena arena;
  Value root;

  // With lazy rows, the elements of the top-level member "rows" are checked but not built:
  // their text ranges are kept and each is parsed when it is needed (parse_lazy_row), so a
  // document of a million rows never holds a million row trees at once.
  bool lazy_rows = false;
  bool release_rows = false;  // let row texts go once read (saves memory, costs re-reading)
  std::vector<uint64_t> row_begin;
  std::vector<uint32_t> row_size;
  uint64_t rows_text_begin = 0;  // where the text of the rows array starts

  // Lets the memory of the row texts before byte `upto` go: they are read again from the file
  // when needed. Only row texts are released (they are never decoded in place).
  void release_row_text(uint64_t upto) const;
  // The same for the row texts in [begin, upto).
  void release_row_text(uint64_t begin, uint64_t upto) const;

  char* data() { return mapped ? mapped->data() : text.data(); }
  const char* data() const { return mapped ? mapped->data() : text.data(); }
  size_t size() const { return mapped ? mapped->size() : text.size(); }
};

// Structural equality with Python semantics for numbers (1 == 1.0 == true).
bool equal(const Value& a, const Value& b);

// The Python type name of a value, for error messages ("str", "int", "dict", ...).
const char* type_name(const Value& v);

}  // namespace halvex::json
