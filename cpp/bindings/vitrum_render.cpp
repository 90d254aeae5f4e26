#include "vitrum_render.h"

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <random>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/errors.h"
#include "json/number_text.h"
#include "json/reader.h"
#include "json/writer.h"
#include "pipeline/chunks.h"
#include "pipeline/constants.h"
#include "pipeline/page_data.h"
#include "pipeline/page_file.h"
#include "pipeline/page_splice.h"
#include "pipeline/row_encoding.h"
#include "pipeline/row_order.h"
#include "pipeline/row_slots.h"
#include "pipeline/standard_page.h"
#include "pipeline/text_form.h"
#include "common_args.h"
#include "vitrum_values.h"

namespace halvex::py {

namespace {

const json::WriteOptions kCompact{false, true};  // page JSON: "<" as \u003c
const json::WriteOptions kSpaced{true, true};

std::string page_json(const json::Value& v) { return json::to_json(v, kCompact); }

using NoGil = nb::gil_scoped_release;  // for pure C++ work

// dict[key]; invalid when absent.
nb::object item_of(nb::handle dict, const char* key) { return nb::borrow(PyDict_GetItemString(dict.ptr(), key)); }

// The scoreboard document, either the caller's dict or a parsed file.
struct LoadedDocument {
  nb::object py;           // the caller's dict
  json::Document file;
  json::Arena arena;       // values converted from the caller's objects

  bool in_memory() const { return py.is_valid(); }

  // A top-level member; nullopt when absent.
  std::optional<json::Value> member(const char* key, Unserialisable mode = Unserialisable::Raise) {
    if (py) {
      nb::object v = item_of(py, key);
      if (!v.is_valid()) return std::nullopt;
      return to_value(v.ptr(), arena, mode);
    }
    if (!file.root.is_object()) {
      throw TypeError(std::string("the scoreboard document must be a JSON object, not '") +
                      json::type_name(file.root) + "'");
    }
    const json::Value* v = file.root.find(key);
    if (!v) return std::nullopt;
    return *v;
  }

  // meta and rows are required: a missing one is a KeyError, as a dict look-up gives.
  void require(const char* key) {
    bool present = py.is_valid() ? item_of(py, key).is_valid()
                                 : (file.root.is_object() && file.root.find(key) != nullptr);
    if (!file.root.is_object() && !py.is_valid()) member(key);  // raises the type error
    if (!present) throw KeyError(key);
  }
};

// The rows of a document as a RowSource, plus how to hand one row to a Python predicate.
struct DocumentRows {
  std::unique_ptr<pipeline::RowSource> source;
  nb::object py_rows;                 // caller's list (in-memory documents)
  const json::Value* file_rows = nullptr;
  const json::Document* lazy_doc = nullptr;

  nb::object row_object(size_t i) {
    if (py_rows.is_valid()) return nb::borrow(static_cast<PyRowSource*>(source.get())->item(i));
    if (lazy_doc) {
      json::Arena arena;
      json::ParseScratch scratch;
      return to_python(json::parse_lazy_row(*lazy_doc, i, arena, scratch));
    }
    return to_python((*file_rows)[i]);
  }
};

DocumentRows rows_of(LoadedDocument& doc) {
  DocumentRows rows;
  if (doc.in_memory()) {
    rows.py_rows = item_of(doc.py, "rows");
    rows.source = std::make_unique<PyRowSource>(rows.py_rows.ptr());
  } else {
    rows.file_rows = doc.file.root.find("rows");
    if (doc.file.lazy_rows && rows.file_rows->is_array() && !rows.file_rows->begin_items()) {
      rows.lazy_doc = &doc.file;
      rows.source = std::make_unique<pipeline::LazyRowSource>(doc.file);
    } else {
      rows.source = std::make_unique<pipeline::ValueRowSource>(*rows.file_rows);
    }
  }
  return rows;
}

// Row positions kept by the caller's predicate (all rows without one), in document order.
std::vector<uint32_t> filter_rows(DocumentRows& rows, const nb::object& row_filter) {
  const size_t n = rows.source->size();
  std::vector<uint32_t> kept;
  kept.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    if (row_filter.is_valid()) {
      nb::object verdict = row_filter(rows.row_object(i));
      int keep = PyObject_IsTrue(verdict.ptr());
      if (keep < 0) throw PythonError();
      if (!keep) continue;
    }
    kept.push_back(static_cast<uint32_t>(i));
  }
  return kept;
}

// Without a row filter the caller's own rows list takes the new order.
void reorder_caller_rows(DocumentRows& rows, const std::vector<uint32_t>& order) {
  if (!rows.py_rows.is_valid() || !PyList_Check(rows.py_rows.ptr())) return;
  nb::list list = nb::borrow<nb::list>(rows.py_rows);
  auto* src = static_cast<PyRowSource*>(rows.source.get());
  if (list.size() != order.size()) return;
  nb::list sorted;
  for (uint32_t i : order) sorted.append(nb::handle(src->item(i)));
  if (PyList_SetSlice(list.ptr(), 0, PyList_GET_SIZE(list.ptr()), sorted.ptr()) < 0) throw PythonError();
}

nb::str text(std::string_view s) { return nb::str(s.data(), s.size()); }

// print(line) through Python, so the line goes wherever sys.stdout points.
void print_line(const std::string& line) { nb::module_::import_("builtins").attr("print")(text(line)); }

// pathlib operations, so path texts read exactly as Python would print them.
nb::object make_path(const std::string& p) { return nb::module_::import_("pathlib").attr("Path")(text(p)); }
std::string path_text(const std::string& p) { return str_text(make_path(p)); }
std::string path_parent(const std::string& p) { return str_text(nb::object(make_path(p).attr("parent"))); }
std::string path_name(const std::string& p) { return str_text(nb::object(make_path(p).attr("name"))); }
std::string path_join(const std::string& a, const std::string& b) {
  return str_text(nb::object(make_path(a).attr("__truediv__")(text(b))));
}

// Calls one of the halvex.paths operations bound on the module (looked up at call time, so
// a host can point the module elsewhere).
std::string call_path_function(nb::handle module, const char* name) { return path_argument(module.attr(name)()); }

// jinja2.Environment(loader=FileSystemLoader(dir)).get_template(name).render(**context)
nb::object render_template(const std::string& template_path, const nb::dict& context) {
  std::string dir = path_parent(template_path);
  std::string name = path_name(template_path);
  nb::module_ jinja2 = nb::module_::import_("jinja2");
  nb::object loader = jinja2.attr("FileSystemLoader")(text(dir));
  nb::object env = jinja2.attr("Environment")(nb::arg("loader") = loader);
  nb::object render = env.attr("get_template")(text(name)).attr("render");
  nb::object html = nb::steal(PyObject_Call(render.ptr(), nb::tuple().ptr(), context.ptr()));
  if (!html.is_valid()) throw PythonError();
  if (!PyUnicode_Check(html.ptr())) throw TypeError("the page template did not render to text");
  return html;
}

// Threads for the pure C++ work on a parsed file.
unsigned worker_threads() { return std::clamp(std::thread::hardware_concurrency(), 1u, 16u); }

// Renders the template with the context (data_chunks is set here) and writes the page
// atomically; returns its size in bytes. Large pages are rendered with chunk markers and the
// chunk texts written in their place, unless the template did more with a chunk than insert
// it: then it gets the real texts.
uint64_t render_and_write(const std::string& template_path, nb::dict ctx, const pipeline::ChunkTexts& chunks,
                          const std::string& out_path) {
  const size_t n = chunks.size();
  if (chunks.total_bytes() >= pipeline::SPLICE_MIN_BYTES) {
    std::random_device rd;
    pipeline::ChunkMarkers markers((uint64_t(rd()) << 32) ^ rd());
    nb::list marker_texts;
    for (size_t i = 0; i < n; ++i) marker_texts.append(text(markers.marker(i)));
    ctx["data_chunks"] = marker_texts;
    nb::object html = render_template(template_path, ctx);
    std::string_view page = utf8_view(html.ptr());
    std::vector<pipeline::ChunkMarkers::Part> parts;
    if (markers.split(page, n, parts)) {
      ctx.clear();
      NoGil nogil;
      pipeline::AtomicFile file(out_path);
      for (const auto& part : parts) {
        if (part.chunk == SIZE_MAX) {
          file.write(part.text);
        } else {
          chunks.write(part.chunk, file);
        }
      }
      return file.commit();
    }
  }
  nb::list list;
  for (size_t i = 0; i < n; ++i) list.append(text(chunks.text(i)));
  ctx["data_chunks"] = list;
  list = nb::list();
  nb::object html = render_template(template_path, ctx);
  ctx.clear();
  std::string_view page = utf8_view(html.ptr());
  NoGil nogil;
  return pipeline::write_file_atomic(out_path, {page});
}

struct CommonArgs {
  long long chunk_size = pipeline::DEFAULT_CHUNK_SIZE;
  long long top_n = pipeline::DEFAULT_TOP_N;
  double max_size_mb = 0.0;
  nb::object row_filter;  // invalid without one
};

CommonArgs parse_common(const nb::object& chunk_size, const nb::object& top_n, const nb::object& max_size_mb,
                        const nb::object& row_filter) {
  CommonArgs out;
  if (chunk_size.is_valid()) out.chunk_size = integer_argument("chunk_size", chunk_size);
  if (top_n.is_valid()) out.top_n = integer_argument("top_n", top_n);
  if (max_size_mb.is_valid()) out.max_size_mb = real_argument("max_size_mb", max_size_mb);
  if (given(row_filter)) out.row_filter = row_filter;
  // A negative chunk size would silently produce a page without rows.
  if (out.chunk_size < 0) {
    throw ValueError("chunk_size must be a positive integer, got " + std::to_string(out.chunk_size));
  }
  return out;
}

void print_size_warning(double size_mb, double limit) {
  if (limit > 0 && size_mb > limit) {
    print_line("    [WARN] Boyut limiti aşıldı: " + json::format_fixed(size_mb, 1) + " MB > " +
               pipeline::limit_text(limit) + " MB");
  }
}

nb::dict early_result(const std::string& out_path) {
  nb::dict result;
  result["html_path"] = text(out_path);
  result["rows"] = 0;
  result["chunks"] = 0;
  result["size_kb"] = 0;
  print_line("    [WARN] No periods in data, skipping HTML render");
  return result;
}

// meta of the document and its two period lists (risk_donemler defaults to donemler).
struct Periods {
  json::Value meta, donemler, risk_donemler;
};
Periods read_periods(LoadedDocument& doc) {
  doc.require("meta");
  doc.require("rows");
  Periods p;
  // An in-memory meta goes to the template as it is: values without a JSON form are fine
  // there as long as the period lists have one.
  p.meta = doc.in_memory() ? *doc.member("meta", Unserialisable::Opaque) : *doc.member("meta");
  if (!p.meta.is_object()) {
    throw TypeError(std::string("'meta' must be an object, not '") + json::type_name(p.meta) + "'");
  }
  const json::Value* d = p.meta.find("donemler");
  p.donemler = d ? *d : json::Value::array(nullptr, 0);
  const json::Value* r = p.meta.find("risk_donemler");
  p.risk_donemler = r ? *r : p.donemler;
  return p;
}

// The context variables every page starts with, in the templates' order; data_chunks is set
// when the page is rendered.
nb::dict page_context(const Periods& periods, long long top_n, nb::object meta, size_t n_chunks, size_t n_rows) {
  nb::dict ctx;
  ctx["donemler"] = text(json::to_json(periods.donemler, kSpaced));
  ctx["risk_donemler"] = text(json::to_json(periods.risk_donemler, kSpaced));
  ctx["top_n"] = top_n;
  ctx["meta"] = meta;
  ctx["data_chunks"] = nb::none();
  ctx["enumerate"] = nb::module_::import_("builtins").attr("enumerate");
  ctx["total_chunks"] = n_chunks;
  ctx["total_rows"] = n_rows;
  return ctx;
}

// The result mapping of a written page (keys in this order).
nb::dict page_result(const std::string& out_path, size_t n_rows, size_t n_chunks, uint64_t size_bytes) {
  nb::dict result;
  result["html_path"] = text(out_path);
  result["rows"] = n_rows;
  result["chunks"] = n_chunks;
  result["size_kb"] = static_cast<double>(size_bytes) / 1024;
  return result;
}

std::string size_line(uint64_t size_bytes, size_t n_rows, size_t n_chunks) {
  return "    Boyut: " + pipeline::size_text(size_bytes) + "  |  " + std::to_string(n_rows) + " satır  |  " +
         std::to_string(n_chunks) + " chunk";
}

}  // namespace

nb::tuple catalogue_to_python(const pipeline::Catalogue& cat) {
  json::Arena arena;
  nb::dict bolge_map, sube_map;
  for (size_t i = 0; i < cat.regions.size(); ++i) bolge_map[to_python(cat.regions[i].kodu)] = i;
  for (size_t i = 0; i < cat.branches.size(); ++i) sube_map[to_python(cat.branches[i].kodu)] = i;
  return nb::make_tuple(to_python(cat.region_list(arena)), bolge_map, to_python(cat.branch_list(arena)), sube_map);
}

void maps_from_python(nb::handle bolge_map, nb::handle sube_map, pipeline::Catalogue& cat) {
  auto load = [&](nb::handle map, std::unordered_map<pipeline::CodeKey, int, pipeline::CodeKeyHash>& out,
                  const char* name) {
    if (!PyDict_Check(map.ptr())) argument_type_error(name, "dict", map);
    for (auto [k, v] : nb::borrow<nb::dict>(map)) {
      nb::object key = nb::borrow(k), index = nb::borrow(v);  // held: reading them may run code
      json::Value code = to_value(key.ptr(), cat.arena);
      long idx = PyLong_AsLong(index.ptr());
      if (idx == -1 && PyErr_Occurred()) throw PythonError();
      out[pipeline::make_code_key(code)] = static_cast<int>(idx);
    }
  };
  load(bolge_map, cat.region_index, "BOLGE_MAP");
  load(sube_map, cat.branch_index, "SUBE_MAP");
}

nb::object render_html(nb::handle module, const nb::args& args, const nb::kwargs& kwargs) {
  static const Signature sig{"render_html",
                             {"scoreboard_or_path", "output_html", "ref_csv_path", "trending_path", "chunk_size",
                              "top_n", "external_link", "row_filter", "max_size_mb", "extra_data"},
                             1};
  std::vector<nb::object> a = bind_arguments(sig, args, kwargs);
  CommonArgs common = parse_common(a[4], a[5], a[8], a[7]);
  nb::object external_link = a[6];
  if (external_link.is_valid() && !PyUnicode_Check(external_link.ptr())) {
    argument_type_error("external_link", "str", external_link);
  }
  nb::object extra_data = given(a[9]) ? a[9] : nb::object();
  if (extra_data.is_valid() && !PyDict_Check(extra_data.ptr())) argument_type_error("extra_data", "dict", extra_data);

  // 1. The document and its folder.
  LoadedDocument doc;
  std::optional<std::string> output_text;
  if (given(a[1])) output_text = path_argument(a[1]);
  std::string json_dir;
  if (PyDict_Check(a[0].ptr())) {
    doc.py = a[0];
    json_dir = (output_text && !output_text->empty()) ? path_parent(*output_text) : ".";
  } else {
    std::string path = path_argument(a[0]);
    {
      NoGil nogil;
      json::read_document_file(path, doc.file, json::DEFAULT_MAX_DEPTH, true, true);
    }
    json_dir = path_parent(path);
  }
  // 2-3. The output path.
  std::string out_path;
  if (!output_text) {
    std::string html_dir = path_join(path_parent(json_dir), "html");
    pipeline::make_dirs(html_dir);
    out_path = path_join(html_dir, "qvr_dashboard.html");
  } else {
    out_path = path_text(*output_text);
  }
  // 4. The reference file.
  std::string ref_csv = given(a[2]) ? path_argument(a[2]) : path_join(json_dir, "sube_bolge_ref.csv");
  // 5. Chart libraries.
  pipeline::ChartLibraries charts = pipeline::read_chart_libraries(call_path_function(module, "get_js_dir"));

  // 6-8. meta, rows and the periods.
  nb::object meta_py = doc.in_memory() ? item_of(doc.py, "meta") : nb::object();
  Periods periods = read_periods(doc);
  if (!periods.donemler.truthy()) return early_result(out_path);
  const json::Value& meta = periods.meta;

  // 9-13. Filter, then order, catalogue, row arrays and chunks in one go.
  DocumentRows rows = rows_of(doc);
  std::vector<uint32_t> kept = filter_rows(rows, common.row_filter);
  auto layout = pipeline::RowLayout::standard(pipeline::period_items(periods.donemler, doc.arena),
                                              pipeline::period_items(periods.risk_donemler, doc.arena));
  pipeline::ReferenceNames ref_names = pipeline::read_reference_names(ref_csv);
  pipeline::StandardRows page_rows;
  if (doc.in_memory()) {
    pipeline::build_standard_rows(*rows.source, kept, layout, ref_names, common.chunk_size, 1, page_rows);
  } else {
    NoGil nogil;
    pipeline::build_standard_rows(*rows.source, kept, layout, ref_names, common.chunk_size, worker_threads(),
                                  page_rows);
  }
  if (!common.row_filter.is_valid()) reorder_caller_rows(rows, page_rows.order);
  const pipeline::Catalogue& catalogue = page_rows.catalogue;
  const size_t n_rows = page_rows.order.size();
  const size_t n_chunks = page_rows.size();

  // 14. Template.
  std::string template_path = call_path_function(module, "get_template_path");

  // 15-16. Page data and the context, in the template's order.
  pipeline::PageDataInputs page_in;
  page_in.flow_matrix = doc.member("flow_matrix");
  page_in.band_snapshot = doc.member("band_snapshot");
  nb::object diag_index_py = doc.in_memory() ? item_of(doc.py, "diag_index") : nb::object();
  if (!diag_index_py.is_valid()) page_in.diag_index = doc.member("diag_index");
  std::unordered_set<std::string> filtered_mutas;
  if (common.row_filter.is_valid()) {
    rows.source->prepare({"muta"});
    json::Value muta;
    bool found;
    for (uint32_t i : kept) {
      rows.source->fetch(i, &muta, &found);
      if (found && !muta.is_null()) filtered_mutas.insert(pipeline::text_form(muta));
    }
  }
  pipeline::PageData page = prepare_page_data(page_in, common.row_filter.is_valid() ? &filtered_mutas : nullptr,
                                              extra_data, doc.arena, diag_index_py);

  // The caller's meta goes to the template as it was given.
  nb::dict ctx = page_context(periods, common.top_n, meta_py.is_valid() ? meta_py : to_python(meta), n_chunks, n_rows);
  json::Arena list_arena;
  ctx["bolge_list_js"] = text(page_json(catalogue.region_list(list_arena)));
  ctx["sube_list_js"] = text(page_json(catalogue.branch_list(list_arena)));
  ctx["external_link"] = external_link.is_valid() ? external_link : nb::str("");
  ctx["risk_birim"] = "mio_tl";
  ctx["d3_js"] = text(charts.d3);
  ctx["d3_sankey_js"] = text(charts.d3_sankey);
  ctx["flow_matrix_js"] = text(page.flow_matrix_js);
  ctx["band_snapshot_js"] = text(page.band_snapshot_js);
  ctx["diag_index_js"] = text(page.diag_index_js);
  ctx["diag_groups_js"] = text(page.diag_groups_js);
  ctx["kriter_aciklama_js"] = text(page.kriter_aciklama_js);
  // The caller's page mode goes to the template as it was given.
  nb::object mode = (extra_data.is_valid() && nb::len(extra_data) > 0) ? item_of(extra_data, "page_mode") : nb::object();
  ctx["page_mode"] = mode.is_valid() ? mode : text(page.page_mode);
  ctx["backtest_summary_js"] = text(page.backtest_summary_js);
  ctx["backtest_firma_js"] = text(page.backtest_firma_js);
  ctx["ml_predictions_js"] = text(page.ml_predictions_js);
  ctx["row_slots_js"] = text(pipeline::row_slots_json(layout));

  // 16-21. Render, write, report, return.
  uint64_t size_bytes = render_and_write(template_path, std::move(ctx), page_rows, out_path);
  double size_mb = static_cast<double>(size_bytes) / 1024 / 1024;
  print_line("    HTML: " + out_path);
  print_line(size_line(size_bytes, n_rows, n_chunks));
  print_line("    Bölge: " + std::to_string(catalogue.regions.size()) + "  |  Şube: " +
             std::to_string(catalogue.branches.size()));
  print_size_warning(size_mb, common.max_size_mb);
  return page_result(out_path, n_rows, n_chunks, size_bytes);
}

nb::object render_html_v300(nb::handle module, const nb::args& args, const nb::kwargs& kwargs) {
  static const Signature sig{
      "render_html_v300", {"json_path", "output_html", "chunk_size", "top_n", "row_filter", "max_size_mb"}, 1};
  std::vector<nb::object> a = bind_arguments(sig, args, kwargs);
  CommonArgs common = parse_common(a[2], a[3], a[5], a[4]);

  // 1-2. Paths; the default folder is made before the document is read.
  std::string json_path = path_argument(a[0]);
  std::string json_dir = path_parent(json_path);
  std::string out_path;
  if (!given(a[1])) {
    std::string html_dir = path_join(path_parent(json_dir), "html");
    pipeline::make_dirs(html_dir);
    out_path = path_join(html_dir, "qvr_dashboard.html");
  } else {
    out_path = path_text(path_argument(a[1]));
  }
  // 3-6. Document and periods.
  LoadedDocument doc;
  {
    NoGil nogil;
    // Rows are read again in page order here, so their texts stay mapped.
    json::read_document_file(json_path, doc.file, json::DEFAULT_MAX_DEPTH, true, false);
  }
  Periods periods = read_periods(doc);
  if (!periods.donemler.truthy()) return early_result(out_path);

  // 7-12. Filter, then order, encode and compress.
  DocumentRows rows = rows_of(doc);
  std::vector<uint32_t> kept = filter_rows(rows, common.row_filter);
  auto layout = pipeline::RowLayout::compressed(pipeline::period_items(periods.donemler, doc.arena),
                                                pipeline::period_items(periods.risk_donemler, doc.arena));
  pipeline::CompressedChunks chunks;
  {
    NoGil nogil;
    chunks = pipeline::encode_compressed_chunks(*rows.source, kept, layout, common.chunk_size, worker_threads());
  }
  const size_t n_rows = kept.size();
  const size_t n_chunks = chunks.base64.size();
  double compression_pct = (1.0 - static_cast<double>(chunks.b64_chars) / static_cast<double>(chunks.raw_bytes)) * 100.0;

  // 13. Template with its eight variables.
  std::string template_path = call_path_function(module, "get_template_v300_path");
  nb::dict ctx = page_context(periods, common.top_n, to_python(periods.meta), n_chunks, n_rows);
  ctx["row_slots_js"] = text(pipeline::row_slots_json(layout));
  doc = LoadedDocument();  // the parsed file is no longer needed

  // 14-18.
  uint64_t size_bytes = render_and_write(template_path, std::move(ctx), pipeline::StringChunks(chunks.base64), out_path);
  double size_mb = static_cast<double>(size_bytes) / 1024 / 1024;
  print_line("    HTML (v300): " + out_path);
  print_line(size_line(size_bytes, n_rows, n_chunks));
  print_line("    Gzip kazanç: " + json::format_fixed(compression_pct, 0) + "%  (ham: " +
             json::format_fixed(static_cast<double>(chunks.raw_bytes) / 1024 / 1024, 1) +
             " MB → gz+b64: " + json::format_fixed(static_cast<double>(chunks.b64_chars) / 1024 / 1024, 1) +
             " MB)");
  print_size_warning(size_mb, common.max_size_mb);

  nb::dict result = page_result(out_path, n_rows, n_chunks, size_bytes);
  result["compression_pct"] = compression_pct;
  return result;
}

}  // namespace halvex::py
