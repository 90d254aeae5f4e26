// Uniform access to the row objects of a scoreboard document, whether the rows are parsed
// JSON or live in the caller's own objects (the bindings provide that second kind).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "common/errors.h"
#include "json/document_file.h"
#include "json/lazy_rows.h"
#include "json/value.h"

namespace halvex::pipeline {

class RowSource {
 public:
  virtual ~RowSource() = default;
  virtual size_t size() const = 0;
  // Sets the member names that fetch() looks up, in this order.
  virtual void prepare(const std::vector<std::string>& keys) = 0;
  // Looks up the prepared names in row i: values[k] and found[k] (false when the member is
  // absent). Values stay valid until the next fetch. Throws TypeError for a row that is not
  // an object.
  virtual void fetch(size_t i, json::Value* values, bool* found) = 0;
  // An independent source over the same rows for another thread, or nullptr when the rows
  // can only be read from this one.
  virtual std::unique_ptr<RowSource> clone() const { return nullptr; }
  // Throws when the rows fetched so far may not all come from one content of the document
  // (its file changed while it was read); called after a pass over the rows.
  virtual void verify() const {}
};

// Independent sources over the same rows, one per thread, for reading `n_rows` rows on
// `threads` threads; empty when one thread should read them all (few rows, one thread, or a
// source that can only be read from the calling thread). `rows` must be prepared first.
std::vector<std::unique_ptr<RowSource>> reader_clones(const RowSource& rows, unsigned threads, size_t n_rows);

// Looks up `keys` among the members of `row`, trying each key's position in the previous
// row first (rows of one document usually share their member order).
void look_up_members(const json::Value& row, const std::vector<std::string>& keys,
                     std::vector<size_t>& hints, json::Value* values, bool* found);

// Rows held in a parsed JSON array.
class ValueRowSource : public RowSource {
 public:
  explicit ValueRowSource(const json::Value& rows);
  size_t size() const override { return n_; }
  void prepare(const std::vector<std::string>& keys) override;
  void fetch(size_t i, json::Value* values, bool* found) override;
  std::unique_ptr<RowSource> clone() const override;

 private:
  ValueRowSource() = default;
  const json::Value* rows_;
  size_t n_;
  std::vector<std::string> keys_;
  std::vector<size_t> hints_;  // member position where each key was found last time
};

// Rows of a document read with lazy rows: each row is parsed when it is fetched.
class LazyRowSource : public RowSource {
 public:
  explicit LazyRowSource(const json::Document& doc) : doc_(&doc), changed_(json::change_flag(doc)) {}
  size_t size() const override { return doc_->row_begin.size(); }
  void prepare(const std::vector<std::string>& keys) override;
  void fetch(size_t i, json::Value* values, bool* found) override;
  std::unique_ptr<RowSource> clone() const override;
  void verify() const override;

 private:
  const json::Document* doc_;
  const std::atomic<bool>* changed_ = nullptr;  // the mapping lost a page
  size_t since_check_ = 0;                      // rows fetched since the file was compared
  std::vector<std::string> keys_;
  std::unique_ptr<json::FieldSet> fields_;
  json::Arena arena_;
  json::ParseScratch scratch_;
  size_t last_ = SIZE_MAX;      // the row fetched last
  uint64_t released_ = 0;       // row text released up to here
};

// Rethrows `e` as an error of the same kind (and class) whose message also names the row:
// its position in the document's rows and, when `muta` is given, its customer number. A
// ChangedError is about the whole document and goes on as it is.
[[noreturn]] void rethrow_for_row(const Error& e, size_t position, const json::Value* muta);
// How those messages name a row: " (row 12, muta 345)".
std::string row_place(size_t position, const json::Value* muta);

// The error for a row that is not an object.
[[noreturn]] void throw_row_not_object(const char* type_name);

}  // namespace halvex::pipeline
