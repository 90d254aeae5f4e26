#include "pipeline/render_job.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <thread>

#include "common/cancel.h"
#include "common/errors.h"
#include "common/number_text.h"
#include "common/parallel.h"
#include "common/same_file.h"
#include "json/document_file.h"
#include "json/lazy_rows.h"
#include "json/writer.h"
#include "pipeline/catalogue.h"
#include "pipeline/chunks.h"
#include "pipeline/constants.h"
#include "pipeline/page_data.h"
#include "pipeline/page_file.h"
#include "pipeline/path_form.h"
#include "pipeline/row_encoding.h"
#include "pipeline/row_slots.h"
#include "pipeline/standard_page.h"
#include "pipeline/text_form.h"

namespace halvex::pipeline {

namespace {

const json::WriteOptions kCompact{false, true};  // page JSON: "<" as \u003c
const json::WriteOptions kSpaced{true, true};

ContextValue text_value(std::string s) {
  ContextValue v;
  v.kind = ContextValue::Kind::Text;
  v.text = std::move(s);
  return v;
}
ContextValue int_value(long long n) {
  ContextValue v;
  v.kind = ContextValue::Kind::Integer;
  v.integer = n;
  return v;
}
ContextValue json_value(const json::Value& j) {
  ContextValue v;
  v.kind = ContextValue::Kind::Json;
  v.json = j;
  return v;
}
ContextValue caller_value(const char* slot, ContextValue fallback) {
  fallback.caller = slot;
  return fallback;
}

// meta of the document and its two period lists (risk_donemler defaults to donemler).
struct Periods {
  json::Value meta, donemler, risk_donemler;
};

Periods read_periods(DocumentSource& doc, json::Arena& arena) {
  // meta and rows are required: a missing one is a KeyError, as a dict look-up gives.
  for (const char* key : {"meta", "rows"}) {
    if (!doc.has(key)) throw KeyError(key);
  }
  Periods p;
  // The caller's meta goes to the template as it is: values without a JSON form are fine
  // there as long as the period lists have one.
  p.meta = *doc.member("meta", arena, true);
  if (!p.meta.is_object()) {
    throw TypeError(std::string("'meta' must be an object, not '") + json::type_name(p.meta) + "'");
  }
  const json::Value* d = p.meta.find("donemler");
  p.donemler = d ? *d : json::Value::array(nullptr, 0);
  const json::Value* r = p.meta.find("risk_donemler");
  p.risk_donemler = r ? *r : p.donemler;
  return p;
}

// The context every page starts with, in the templates' order.
Context page_context(const Periods& periods, long long top_n, size_t n_chunks, size_t n_rows) {
  Context ctx;
  ctx.emplace_back("donemler", text_value(json::to_json(periods.donemler, kSpaced)));
  ctx.emplace_back("risk_donemler", text_value(json::to_json(periods.risk_donemler, kSpaced)));
  ctx.emplace_back("top_n", int_value(top_n));
  ctx.emplace_back("meta", caller_value("meta", json_value(periods.meta)));
  ctx.emplace_back("data_chunks", ContextValue{});  // filled when the page is rendered
  ContextValue enumerate;
  enumerate.kind = ContextValue::Kind::Builtin;
  enumerate.text = "enumerate";
  ctx.emplace_back("enumerate", enumerate);
  ctx.emplace_back("total_chunks", int_value(static_cast<long long>(n_chunks)));
  ctx.emplace_back("total_rows", int_value(static_cast<long long>(n_rows)));
  return ctx;
}

std::vector<uint32_t> filter_rows(RenderHost& host, DocumentSource& doc) {
  const size_t n = doc.rows().size();
  // Rows are numbered in 32 bits from here on: more would be rows mixed up, so they are refused.
  if (n > UINT32_MAX) {
    throw OverflowError("too many rows: " + std::to_string(n) + " (at most " + std::to_string(UINT32_MAX) + ")");
  }
  const bool filter = host.has_row_filter();
  std::vector<uint32_t> kept;
  kept.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    if (!filter || host.keep_row(doc, i)) kept.push_back(static_cast<uint32_t>(i));
  }
  return kept;
}

// ValueError when writing the page would replace one of the files it is made from; checked
// before anything is written, so that file stays as it is.
void refuse_input(const std::string& out_path, const char* what, const std::string& input) {
  if (!input.empty() && same_file(out_path, input)) {
    throw ValueError("the output '" + out_path + "' is " + what + " '" + input +
                     "' (the same file); the page must be written elsewhere");
  }
}

// Renders the template (data_chunks set here) and writes the page atomically; its size in
// bytes. Large pages are rendered with chunk markers and the chunk texts written in their
// place, unless the template did more with a chunk than insert it: then it gets the texts.
uint64_t render_and_write(RenderHost& host, const std::string& template_path, Context ctx,
                          const ChunkTexts& chunks, const std::string& out_path) {
  refuse_input(out_path, "the page template", template_path);
  ContextValue* slot = nullptr;
  for (auto& [name, value] : ctx) {
    if (name == "data_chunks") slot = &value;
  }
  slot->kind = ContextValue::Kind::Chunks;
  const size_t n = chunks.size();
  if (chunks.total_bytes() >= SPLICE_MIN_BYTES) {
    std::random_device rd;
    ChunkMarkers markers((uint64_t(rd()) << 32) ^ rd());
    for (size_t i = 0; i < n; ++i) slot->markers.push_back(markers.marker(i));
    std::unique_ptr<RenderedPage> page = host.render_template(template_path, ctx);
    std::vector<ChunkMarkers::Part> parts;  // views into the page text
    if (markers.split(page->text(), n, parts)) {
      ctx.clear();
      uint64_t size = 0;
      host.run_detached([&] {
        AtomicFile file(out_path);
        for (const auto& part : parts) {
          cancel_point();
          if (part.chunk == SIZE_MAX) {
            file.write(part.text);
          } else {
            chunks.write(part.chunk, file);
          }
        }
        size = file.commit();
      });
      return size;
    }
    slot->markers.clear();
  }
  slot->chunks = &chunks;
  std::unique_ptr<RenderedPage> page = host.render_template(template_path, ctx);
  ctx.clear();
  const std::string_view text = page->text();  // read while the host is attached
  uint64_t size = 0;
  host.run_detached([&] { size = write_file_atomic(out_path, {text}); });
  return size;
}

std::string size_line(uint64_t size_bytes, size_t n_rows, size_t n_chunks) {
  return "    Boyut: " + size_text(size_bytes) + "  |  " + std::to_string(n_rows) + " satır  |  " +
         std::to_string(n_chunks) + " chunk";
}

void print_size_warning(RenderHost& host, uint64_t size_bytes, double limit) {
  double size_mb = static_cast<double>(size_bytes) / 1024 / 1024;
  if (limit > 0 && size_mb > limit) {
    host.print("    [WARN] Boyut limiti aşıldı: " + halvex::format_fixed(size_mb, 1) + " MB > " + limit_text(limit) +
               " MB");
  }
}

PageResult no_periods(RenderHost& host, const std::string& out_path) {
  host.print("    [WARN] No periods in data, skipping HTML render");
  PageResult r;
  r.html_path = out_path;
  return r;
}

// The default output: <folder of the document's folder>/html/qvr_dashboard.html.
std::string output_path(const std::optional<std::string>& output, const std::string& json_dir) {
  // A trailing separator names a folder; normalising the path would drop it and write a file
  // named after the folder instead.
  if (output && !output->empty() && output->back() == '/') throw OsError(EISDIR, std::strerror(EISDIR), *output);
  if (output) return path_text(*output);
  return path_join(path_join(path_parent(json_dir), "html"), "qvr_dashboard.html");
}

// The default output's folder is made once the output is known to replace no input.
void make_output_dir(const std::optional<std::string>& output, const std::string& out_path) {
  if (!output) make_dirs(path_parent(out_path));
}


// The page data: diagnostic index for the page mode, vocabularies, the caller's sections.
PageData page_data(RenderHost& host, DocumentSource& doc, const std::unordered_set<std::string>* mutas,
                   json::Arena& arena) {
  PageData page;
  if (auto v = doc.member("flow_matrix", arena)) page.flow_matrix_js = json::to_json(*v, kCompact);
  if (auto v = doc.member("band_snapshot", arena)) page.band_snapshot_js = json::to_json(*v, kCompact);
  const bool has_extra = host.has_extra();
  if (auto mode = has_extra ? host.extra_member("page_mode", arena) : std::nullopt) {
    page.page_mode = mode->is_string() ? std::string(mode->as_string()) : json::to_json(*mode);
  }
  const bool admin = page.page_mode == "admin";
  const bool withhold = host.sql_admin_only() && !admin;
  json::Value diag = doc.page_diag_index(mutas, withhold, arena);

  // Vocabularies: all four names or none.
  auto groups = host.diag_groups_name("DIAG_GROUPS", arena);
  auto kriter = host.diag_groups_name("KRITER_ACIKLAMA", arena);
  auto kik = host.diag_groups_name("KIK_COL_ACIKLAMA", arena);
  auto memzuc = host.diag_groups_name("MEMZUC_COL_ACIKLAMA", arena);
  if (groups && kriter && kik && memzuc) {
    page.diag_groups_js = json::to_json(*groups, kCompact);
    std::vector<json::Member> merged;
    for (const json::Value* m : {&*kriter, &*kik, &*memzuc}) {
      if (!m->is_object()) throw TypeError(std::string("'") + json::type_name(*m) + "' object is not a mapping");
      for (size_t i = 0; i < m->size(); ++i) {
        const json::Member& mem = m->member(i);
        auto same = std::find_if(merged.begin(), merged.end(), [&](const json::Member& e) { return e.key == mem.key; });
        if (same != merged.end()) {
          same->value = mem.value;
        } else {
          merged.push_back(mem);
        }
      }
    }
    page.kriter_aciklama_js = json::to_json(arena.object(merged), kCompact);
  }

  // The index for the page: whole for administrators, group letters otherwise (a criterion's
  // group asked once per code).
  if (diag.truthy()) {
    if (admin) {
      page.diag_index_js = json::to_json(diag, kCompact);
    } else {
      GroupResolver resolve = remember_groups(host.criterion_groups(arena));
      page.diag_index_js = json::to_json(slim_diag_index(diag, resolve, arena), kCompact);
    }
  }
  if (has_extra) {
    auto section = [&](const char* key, std::string& js) {
      if (auto v = host.extra_member(key, arena)) js = json::to_json(*v, kCompact);
    };
    section("backtest_summary", page.backtest_summary_js);
    section("backtest_firma", page.backtest_firma_js);
    section("ml_predictions", page.ml_predictions_js);
  }
  return page;
}

std::string page_json(const json::Value& v) { return json::to_json(v, kCompact); }


const char* const kAdminLayers[] = {"SQL", "SQL_DELTA"};

// The Python type name of a value (an opaque value keeps its own).
std::string value_type(const json::Value& v) {
  return v.kind() == json::Kind::Opaque ? std::string(v.as_string()) : json::type_name(v);
}

// A finding as the page gets it: without "aciklama"; nullopt when it belongs to an
// administrator-only layer that is withheld.
std::optional<json::Value> page_finding(const json::Value& finding, bool withhold, json::Arena& arena) {
  if (!finding.is_object()) {
    throw TypeError("finding must be an object, not '" + value_type(finding) + "'");
  }
  if (withhold) {
    const json::Value* katman = finding.find("katman");
    for (const char* layer : kAdminLayers) {
      if (katman && katman->is_string() && katman->as_string() == layer) return std::nullopt;
    }
  }
  std::vector<json::Member> members;
  for (size_t i = 0; i < finding.size(); ++i) {
    if (finding.member(i).key != "aciklama") members.push_back(finding.member(i));
  }
  return arena.object(members);
}

// The findings of one period (an array of findings, or an empty object or text, which hold
// none).
json::Value page_findings(const json::Value& findings, bool withhold, json::Arena& arena) {
  if (findings.is_array()) {
    std::vector<json::Value> kept;
    for (size_t i = 0; i < findings.size(); ++i) {
      if (auto finding = page_finding(findings[i], withhold, arena)) kept.push_back(*finding);
    }
    return arena.array(kept);
  }
  if ((findings.is_object() || findings.is_string()) && findings.size() == 0) {
    return withhold ? json::Value::array(nullptr, 0) : findings;
  }
  throw TypeError("findings must be an array, not '" + value_type(findings) + "'");
}

// One period's entry of a customer.
json::Value page_period(const json::Value& entry, bool withhold, json::Arena& arena) {
  if (entry.is_array()) return page_findings(entry, withhold, arena);
  if (!entry.is_object() || !entry.find("bulgular")) return entry;
  std::vector<json::Member> fields;
  for (size_t i = 0; i < entry.size(); ++i) {
    const json::Member& m = entry.member(i);
    fields.push_back(json::Member{m.key, m.key == "bulgular" ? page_findings(m.value, withhold, arena) : m.value});
  }
  return arena.object(fields);
}

}  // namespace

json::Value read_page_diag_index(const std::optional<json::Value>& index, const std::unordered_set<std::string>* mutas,
                                 bool withhold, json::Arena& arena) {
  if (!index) return json::Value::object(nullptr, 0);
  if (!index->is_object()) return *index;
  if (index->size() == 0) mutas = nullptr;
  std::vector<json::Member> customers;
  for (size_t c = 0; c < index->size(); ++c) {
    const json::Member& customer = index->member(c);
    if (mutas && !mutas->count(std::string(customer.key))) continue;
    if (!customer.value.is_object()) {
      customers.push_back(customer);
      continue;
    }
    std::vector<json::Member> periods;
    for (size_t p = 0; p < customer.value.size(); ++p) {
      const json::Member& period = customer.value.member(p);
      periods.push_back(json::Member{period.key, page_period(period.value, withhold, arena)});
    }
    customers.push_back(json::Member{customer.key, arena.object(periods)});
  }
  return arena.object(customers);
}

json::Value DocumentSource::page_diag_index(const std::unordered_set<std::string>* mutas, bool withhold,
                                            json::Arena& arena) {
  return read_page_diag_index(diag_index(mutas, arena), mutas, withhold, arena);
}

FileDocument::FileDocument(const std::string& path, bool release_rows) {
  json::read_document_file(path, doc_, json::DEFAULT_MAX_DEPTH, true, release_rows);
}

const json::Value& FileDocument::root() {
  if (!doc_.root.is_object()) {
    throw TypeError(std::string("the scoreboard document must be a JSON object, not '") +
                    json::type_name(doc_.root) + "'");
  }
  return doc_.root;
}

bool FileDocument::has(const char* key) { return root().find(key) != nullptr; }

std::optional<json::Value> FileDocument::member(const char* key, json::Arena&, bool) {
  const json::Value* v = root().find(key);
  if (!v) return std::nullopt;
  return *v;
}

RowSource& FileDocument::rows() {
  if (!rows_) {
    const json::Value* rows = root().find("rows");
    if (doc_.lazy_rows && rows->is_array() && !rows->begin_items()) {
      rows_ = std::make_unique<LazyRowSource>(doc_);
    } else {
      rows_ = std::make_unique<ValueRowSource>(*rows);
    }
  }
  return *rows_;
}

json::Value FileDocument::row(size_t i, json::Arena& arena) {
  const json::Value* rows = root().find("rows");
  if (doc_.lazy_rows && rows->is_array() && !rows->begin_items()) {
    json::ParseScratch scratch;
    return json::parse_lazy_row(doc_, i, arena, scratch);
  }
  return (*rows)[i];
}

void RenderOptions::check() const {
  if (chunk_size < 0) throw ValueError("chunk_size must be a positive integer, got " + std::to_string(chunk_size));
}

json::Value PageResult::to_value(bool compressed, json::Arena& arena) const {
  std::vector<json::Member> m{
      {"html_path", arena.string(html_path)},
      {"rows", json::Value::integer(static_cast<int64_t>(rows))},
      {"chunks", json::Value::integer(static_cast<int64_t>(chunks))},
      {"size_kb", written ? json::Value::real(static_cast<double>(size_bytes) / 1024) : json::Value::integer(0)}};
  if (compressed && written) m.push_back({"compression_pct", json::Value::real(compression_pct)});
  return arena.object(m);
}

PageResult render_standard_page(RenderHost& host, std::unique_ptr<DocumentSource> doc,
                                const std::string& document_path, const std::optional<std::string>& output,
                                const std::optional<std::string>& ref_csv, const RenderOptions& options,
                                const std::optional<std::string>& trending) {
  options.check();
  // The document, its folder and the output path.
  const bool from_file = !doc;
  std::string json_dir;
  if (doc) {
    json_dir = (output && !output->empty()) ? path_parent(*output) : ".";
  } else {
    host.run_detached([&] { doc = std::make_unique<FileDocument>(document_path, true); });
    json_dir = path_parent(document_path);
  }
  const std::string out_path = output_path(output, json_dir);
  // The reference file and the chart libraries.
  const std::string ref = ref_csv ? *ref_csv : path_join(json_dir, "sube_bolge_ref.csv");
  if (from_file) refuse_input(out_path, "the scoreboard document", document_path);
  refuse_input(out_path, "the region/branch reference file", ref);
  if (trending) refuse_input(out_path, "the trending lists file", *trending);
  ChartLibraries charts = read_chart_libraries(host.js_dir());
  refuse_input(out_path, "a chart library", charts.d3_path);
  refuse_input(out_path, "a chart library", charts.d3_sankey_path);
  make_output_dir(output, out_path);

  // meta, rows and the periods.
  json::Arena arena;
  Periods periods = read_periods(*doc, arena);
  if (!periods.donemler.truthy()) return no_periods(host, out_path);

  // Filter, then order, catalogue, row arrays and chunks in one go.
  std::vector<uint32_t> kept = filter_rows(host, *doc);
  auto layout = RowLayout::standard(period_items(periods.donemler, arena), period_items(periods.risk_donemler, arena));
  ReferenceNames names = read_reference_names(ref);
  cancel_point();
  StandardRows rows;
  if (doc->rows_on_any_thread()) {
    host.run_detached(
        [&] { build_standard_rows(doc->rows(), kept, layout, names, options.chunk_size, worker_threads(), rows); });
  } else {
    // Rows that only this thread may read are still encoded on a second one.
    build_standard_rows(doc->rows(), kept, layout, names, options.chunk_size, worker_threads(), rows);
  }
  if (!host.has_row_filter()) host.rows_ordered(*doc, rows.order);
  const size_t n_rows = rows.order.size();
  const size_t n_chunks = rows.size();

  // Template and page data (the index of a filtered page keeps the kept customers only).
  const std::string template_path = host.template_path(false);
  std::unordered_set<std::string> mutas;
  if (host.has_row_filter()) {
    doc->rows().prepare({"muta"});
    json::Value muta;
    bool found;
    for (uint32_t i : kept) {
      doc->rows().fetch(i, &muta, &found);
      if (found && !muta.is_null()) mutas.insert(text_form(muta));
    }
  }
  PageData page = page_data(host, *doc, host.has_row_filter() ? &mutas : nullptr, arena);
  cancel_point();

  // The context, in the template's order.
  Context ctx = page_context(periods, options.top_n, n_chunks, n_rows);
  json::Arena list_arena;
  ctx.emplace_back("bolge_list_js", text_value(page_json(rows.catalogue.region_list(list_arena))));
  ctx.emplace_back("sube_list_js", text_value(page_json(rows.catalogue.branch_list(list_arena))));
  ctx.emplace_back("external_link", caller_value("external_link", text_value("")));
  ctx.emplace_back("risk_birim", text_value("mio_tl"));
  ctx.emplace_back("d3_js", text_value(std::move(charts.d3)));
  ctx.emplace_back("d3_sankey_js", text_value(std::move(charts.d3_sankey)));
  ctx.emplace_back("flow_matrix_js", text_value(std::move(page.flow_matrix_js)));
  ctx.emplace_back("band_snapshot_js", text_value(std::move(page.band_snapshot_js)));
  ctx.emplace_back("diag_index_js", text_value(std::move(page.diag_index_js)));
  ctx.emplace_back("diag_groups_js", text_value(std::move(page.diag_groups_js)));
  ctx.emplace_back("kriter_aciklama_js", text_value(std::move(page.kriter_aciklama_js)));
  ctx.emplace_back("page_mode", caller_value("page_mode", text_value(page.page_mode)));
  ctx.emplace_back("backtest_summary_js", text_value(std::move(page.backtest_summary_js)));
  ctx.emplace_back("backtest_firma_js", text_value(std::move(page.backtest_firma_js)));
  ctx.emplace_back("ml_predictions_js", text_value(std::move(page.ml_predictions_js)));
  ctx.emplace_back("row_slots_js", text_value(row_slots_json(layout)));

  // Render, write, report.
  PageResult result;
  result.html_path = out_path;
  result.rows = n_rows;
  result.chunks = n_chunks;
  result.written = true;
  result.size_bytes = render_and_write(host, template_path, std::move(ctx), rows, out_path);
  host.print("    HTML: " + out_path);
  host.print(size_line(result.size_bytes, n_rows, n_chunks));
  host.print("    Bölge: " + std::to_string(rows.catalogue.regions.size()) + "  |  Şube: " +
             std::to_string(rows.catalogue.branches.size()));
  print_size_warning(host, result.size_bytes, options.max_size_mb);
  return result;
}

PageResult render_compressed_page(RenderHost& host, const std::string& document_path,
                                  const std::optional<std::string>& output, const RenderOptions& options) {
  options.check();
  // Paths; the default folder is made before the document is read.
  const std::string out_path = output_path(output, path_parent(document_path));
  refuse_input(out_path, "the scoreboard document", document_path);
  make_output_dir(output, out_path);
  // Document and periods. Rows are read again in page order here, so their texts stay mapped.
  std::unique_ptr<FileDocument> doc;
  host.run_detached([&] { doc = std::make_unique<FileDocument>(document_path, false); });
  json::Arena arena;
  Periods periods = read_periods(*doc, arena);
  if (!periods.donemler.truthy()) return no_periods(host, out_path);

  // Filter, then order, encode and compress.
  std::vector<uint32_t> kept = filter_rows(host, *doc);
  auto layout =
      RowLayout::compressed(period_items(periods.donemler, arena), period_items(periods.risk_donemler, arena));
  cancel_point();
  CompressedChunks chunks;
  host.run_detached(
      [&] { chunks = encode_compressed_chunks(doc->rows(), kept, layout, options.chunk_size, worker_threads()); });
  PageResult result;
  result.html_path = out_path;
  result.rows = kept.size();
  result.chunks = chunks.base64.size();
  result.written = true;
  result.compression_pct =
      (1.0 - static_cast<double>(chunks.b64_chars) / static_cast<double>(chunks.raw_bytes)) * 100.0;

  // Template with its variables; the parsed file is no longer needed.
  const std::string template_path = host.template_path(true);
  json::Arena meta_arena;
  periods.meta = json::copy_into(periods.meta, meta_arena);
  Context ctx = page_context(periods, options.top_n, result.chunks, result.rows);
  ctx.emplace_back("row_slots_js", text_value(row_slots_json(layout)));
  doc.reset();
  arena.reset();
  cancel_point();

  // 14-18.
  result.size_bytes = render_and_write(host, template_path, std::move(ctx), StringChunks(chunks.base64), out_path);

  // 14-18.
  host.print("    HTML (v300): " + out_path);
  host.print(size_line(result.size_bytes, result.rows, result.chunks));
  host.print("    Gzip kazanç: " + halvex::format_fixed(result.compression_pct, 0) + "%  (ham: " +
             halvex::format_fixed(static_cast<double>(chunks.raw_bytes) / 1024 / 1024, 1) + " MB → gz+b64: " +
             halvex::format_fixed(static_cast<double>(chunks.b64_chars) / 1024 / 1024, 1) + " MB)");
  print_size_warning(host, result.size_bytes, options.max_size_mb);
  return result;
}

}  // namespace halvex::pipeline
