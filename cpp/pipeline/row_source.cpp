#include "pipeline/row_source.h"

#include "common/errors.h"
#include "json/document_file.h"
#include "json/lazy_rows.h"
#include "json/parser.h"
#include "pipeline/text_form.h"

namespace halvex::pipeline {

namespace {

constexpr size_t kRowsPerCheck = 4096;  // rows read between two looks at the document file

}  // namespace

std::string row_place(size_t position, const json::Value* muta) {
  std::string where = " (row " + std::to_string(position);
  if (muta && !muta->is_null()) where += ", muta " + text_form(*muta);
  return where + ")";
}

void rethrow_for_row(const Error& e, size_t position, const json::Value* muta) {
  // A stopped run and a changed file are not the row's fault.
  if (e.kind() == ErrorKind::Cancelled || dynamic_cast<const json::ChangedError*>(&e)) throw;
  const std::string where = row_place(position, muta);
  if (auto* os = dynamic_cast<const OsError*>(&e)) throw OsError(os->errnum, os->what() + where, os->filename);
  if (auto* pe = dynamic_cast<const json::ParseError*>(&e)) {
    throw json::ParseError(pe->msg() + where, pe->pos(), pe->line(), pe->column());
  }
  if (auto* de = dynamic_cast<const json::DecodeError*>(&e)) {
    throw json::DecodeError(*de, where);
  }
  const std::string message = e.what() + where;
  switch (e.kind()) {
    case ErrorKind::Type: throw TypeError(message);
    case ErrorKind::Value: throw ValueError(message);
    case ErrorKind::Key: throw KeyError(message);
    case ErrorKind::Overflow: throw OverflowError(message);
    case ErrorKind::ZeroDivision: throw ZeroDivisionError(message);
    case ErrorKind::Recursion: throw RecursionError(message);
    default: throw Error(e.kind(), message);
  }
}

void throw_row_not_object(const char* type_name) {
  throw TypeError(std::string("row must be an object, not '") + type_name + "'");
}

ValueRowSource::ValueRowSource(const json::Value& rows) : rows_(nullptr), n_(0) {
  if (!rows.is_array()) {
    throw TypeError(std::string("'rows' must be an array, not '") + json::type_name(rows) + "'");
  }
  rows_ = rows.begin_items();
  n_ = rows.size();
}

void ValueRowSource::prepare(const std::vector<std::string>& keys) {
  keys_ = keys;
  hints_.assign(keys.size(), 0);
}

std::vector<std::unique_ptr<RowSource>> reader_clones(const RowSource& rows, unsigned threads, size_t n_rows) {
  constexpr size_t kMinRowsPerSplit = 4096;  // below this, threads cost more than they save
  std::vector<std::unique_ptr<RowSource>> clones;
  if (threads < 2 || n_rows < kMinRowsPerSplit) return clones;
  for (unsigned t = 0; t < threads; ++t) {
    auto src = rows.clone();
    if (!src) return {};
    clones.push_back(std::move(src));
  }
  return clones;
}

void look_up_members(const json::Value& row, const std::vector<std::string>& keys,
                     std::vector<size_t>& hints, json::Value* values, bool* found) {
  if (!row.is_object()) throw_row_not_object(json::type_name(row));
  const size_t n = row.size();
  const json::Member* ms = row.begin_members();
  for (size_t k = 0; k < keys.size(); ++k) {
    const std::string& key = keys[k];
    size_t h = hints[k];
    if (h < n && ms[h].key == key) {
      values[k] = ms[h].value;
      found[k] = true;
      continue;
    }
    found[k] = false;
    values[k] = json::Value::null();
    for (size_t j = 0; j < n; ++j) {
      if (ms[j].key == key) {
        values[k] = ms[j].value;
        found[k] = true;
        hints[k] = j;
        break;
      }
    }
  }
}

void ValueRowSource::fetch(size_t i, json::Value* values, bool* found) {
  look_up_members(rows_[i], keys_, hints_, values, found);
}

std::unique_ptr<RowSource> ValueRowSource::clone() const {
  std::unique_ptr<ValueRowSource> copy(new ValueRowSource());
  copy->rows_ = rows_;
  copy->n_ = n_;
  copy->prepare(keys_);
  return copy;
}

void LazyRowSource::prepare(const std::vector<std::string>& keys) {
  keys_ = keys;
  fields_ = std::make_unique<json::FieldSet>(keys);
}

void LazyRowSource::fetch(size_t i, json::Value* values, bool* found) {
  // Reading in document order: the texts behind are done with.
  if (last_ != SIZE_MAX && i == last_ + 1 && doc_->row_begin[i] - released_ >= (uint64_t(32) << 20)) {
    released_ = doc_->row_begin[i];
    doc_->release_row_text(released_);
  }
  if (last_ == SIZE_MAX || i < last_) released_ = doc_->row_begin[i];
  last_ = i;
  arena_.reset();
  json::Kind kind;
  const bool is_object = json::read_lazy_row_fields(*doc_, i, *fields_, arena_, scratch_, values, found, &kind);
  // A vanished page reads as zeros: the values are not the row's. The file itself is compared
  // now and then (its times), and by the pass's verify() at the end.
  if (changed_ && (changed_->load(std::memory_order_relaxed) || ++since_check_ >= kRowsPerCheck)) {
    since_check_ = 0;
    verify();
  }
  if (!is_object) {
    switch (kind) {
      case json::Kind::Array: throw_row_not_object("list");
      case json::Kind::String: throw_row_not_object("str");
      case json::Kind::Null: throw_row_not_object("NoneType");
      case json::Kind::Bool: throw_row_not_object("bool");
      case json::Kind::Double: throw_row_not_object("float");
      default: throw_row_not_object("int");
    }
  }
}

void LazyRowSource::verify() const { json::check_unchanged(*doc_); }

std::unique_ptr<RowSource> LazyRowSource::clone() const {
  auto copy = std::make_unique<LazyRowSource>(*doc_);
  copy->prepare(keys_);
  return copy;
}

}  // namespace halvex::pipeline
