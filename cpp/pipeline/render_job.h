// A dashboard render from document to written page: rows, filter, ordering, catalogue, page
// data, chunks, the template context, the page file and the printed lines. What only the host
// can do (render the template, call the caller's row filter, print, the host's template and
// vocabulary look-ups) comes through RenderHost, so the job itself knows nothing of Python.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "json/parser.h"
#include "json/value.h"
#include "pipeline/constants.h"
#include "pipeline/page_data.h"
#include "pipeline/page_splice.h"
#include "pipeline/row_source.h"

namespace halvex::pipeline {

// A value of the page template's context.
struct ContextValue {
  enum class Kind { None, Text, Integer, Json, Builtin, Chunks };
  Kind kind = Kind::None;
  std::string text;                    // Text; Builtin: the name of the host's builtin ("enumerate")
  long long integer = 0;               // Integer
  json::Value json;                    // Json: handed over as the host's form of the value
  const ChunkTexts* chunks = nullptr;  // Chunks: one list item per chunk text...
  std::vector<std::string> markers;    // ...or these marker texts when chunks is null
  size_t chunk_count() const { return chunks ? chunks->size() : markers.size(); }
  std::string chunk(size_t i) const { return chunks ? chunks->text(i) : markers[i]; }
  // The caller's own object for this slot ("meta", "page_mode", "external_link") stands here
  // when the host has one; this value otherwise.
  const char* caller = nullptr;
};
// The context in the template's order.
using Context = std::vector<std::pair<std::string, ContextValue>>;

// A rendered page; its text lives as long as the object. text() is called while the host is
// attached (never inside run_detached).
class RenderedPage {
 public:
  virtual ~RenderedPage() = default;
  virtual std::string_view text() const = 0;
};

// A scoreboard document: the caller's objects or a parsed file, read the same way.
class DocumentSource {
 public:
  virtual ~DocumentSource() = default;
  // Whether a top-level member is present (TypeError when the document is not an object).
  virtual bool has(const char* key) = 0;
  // A top-level member; nullopt when absent. With opaque_ok, values without a JSON form are
  // kept as opaque values (the caller's meta only goes to the template as it is).
  virtual std::optional<json::Value> member(const char* key, json::Arena& arena, bool opaque_ok = false) = 0;
  virtual RowSource& rows() = 0;
  // Whether other threads may read the rows (clones of rows()).
  virtual bool rows_on_any_thread() const = 0;
  // The diagnostic index as it stands (nullopt when absent), values without a JSON form
  // kept as opaque values. Customers not in `mutas` may be left out: the page drops them.
  virtual std::optional<json::Value> diag_index(const std::unordered_set<std::string>* /*mutas*/,
                                                json::Arena& arena) {
    return member("diag_index", arena, true);
  }
  // The diagnostic index as the page gets it: entries of kept customers only (when mutas is
  // given), findings without "aciklama", administrator-only layers withheld when asked.
  json::Value page_diag_index(const std::unordered_set<std::string>* mutas, bool withhold, json::Arena& arena);
};

// A parsed document file.
class FileDocument : public DocumentSource {
 public:
  // Reads the file (mapped); release_rows lets row texts go once read (for one pass over rows).
  FileDocument(const std::string& path, bool release_rows);
  bool has(const char* key) override;
  std::optional<json::Value> member(const char* key, json::Arena& arena, bool opaque_ok = false) override;
  RowSource& rows() override;
  bool rows_on_any_thread() const override { return true; }
  // Row i as a value (for a host that hands rows to the caller's filter).
  json::Value row(size_t i, json::Arena& arena);

 private:
  const json::Value& root();
  json::Document doc_;
  std::unique_ptr<RowSource> rows_;
};

// The index as DocumentSource::page_diag_index describes.
json::Value read_page_diag_index(const std::optional<json::Value>& index, const std::unordered_set<std::string>* mutas,
                                 bool withhold, json::Arena& arena);

class RenderHost {
 public:
  virtual ~RenderHost() = default;
  virtual std::unique_ptr<RenderedPage> render_template(const std::string& template_path, const Context& ctx) = 0;
  virtual bool has_row_filter() const = 0;
  virtual bool keep_row(DocumentSource& doc, size_t i) = 0;  // the caller's filter, for row i
  virtual void print(const std::string& line) = 0;
  virtual std::string template_path(bool compressed) = 0;
  virtual std::string js_dir() = 0;
  // Whether findings of the administrator-only layers are withheld from other page modes.
  virtual bool sql_admin_only() = 0;
  // A name of the diagnostic vocabularies; nullopt when it cannot be had.
  virtual std::optional<json::Value> diag_groups_name(const char* name, json::Arena& arena) = 0;
  // The groups of criterion codes for findings that name none (null when unknown), for one
  // page; the job asks it once per code.
  virtual GroupResolver criterion_groups(json::Arena& arena) = 0;
  // The caller's extra data: whether any was given, and a member of it (values without a
  // JSON form as their text); nullopt when absent.
  virtual bool has_extra() = 0;
  virtual std::optional<json::Value> extra_member(const char* key, json::Arena& arena) = 0;
  // Without a filter the rows were put in page order (a host may reorder the caller's list).
  virtual void rows_ordered(DocumentSource&, const std::vector<uint32_t>&) {}
  // Runs pure C++ work that calls nothing of the host (the host may let its other threads run
  // meanwhile).
  virtual void run_detached(const std::function<void()>& work) { work(); }
};

struct RenderOptions {
  long long chunk_size = DEFAULT_CHUNK_SIZE;
  long long top_n = DEFAULT_TOP_N;
  double max_size_mb = 0.0;
  // ValueError for a negative chunk size, which would silently produce a page without rows;
  // asked by both pages before they read anything.
  void check() const;
};

struct PageResult {
  std::string html_path;
  size_t rows = 0, chunks = 0;
  uint64_t size_bytes = 0;
  bool written = false;         // false: no periods, nothing rendered
  double compression_pct = 0;   // compressed page only

  // The mapping the caller gets, keys in this order: html_path, rows, chunks, size_kb (0 when
  // nothing was written) and, for a written compressed page, compression_pct.
  json::Value to_value(bool compressed, json::Arena& arena) const;
};

// The standard page. `doc` is the caller's document, or null to read document_path.
// output: the output path as given, ref_csv: the reference file as given; trending: the
// caller's trending lists file, not read, but never to be replaced by the page either.
PageResult render_standard_page(RenderHost& host, std::unique_ptr<DocumentSource> doc,
                                const std::string& document_path, const std::optional<std::string>& output,
                                const std::optional<std::string>& ref_csv, const RenderOptions& options,
                                const std::optional<std::string>& trending = std::nullopt);

// The compressed-chunk page of a document file.
PageResult render_compressed_page(RenderHost& host, const std::string& document_path,
                                  const std::optional<std::string>& output, const RenderOptions& options);

}  // namespace halvex::pipeline
