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
#include "py_args.h"
#include "py_convert.h"
#include "py_support.h"

namespace halvex::py {

namespace {

const json::WriteOptions kCompact{false, true};  // page JSON: "<" as \u003c
const json::WriteOptions kSpaced{true, true};

std::string page_json(const json::Value& v) { return json::to_json(v, kCompact); }

// Releases the GIL for pure C++ work.
class NoGil {
 public:
  NoGil() : state_(PyEval_SaveThread()) {}
  ~NoGil() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// The scoreboard document, either the caller's dict or a parsed file.
struct LoadedDocument {
  PyObject* py = nullptr;  // borrowed: the caller's dict
  json::Document file;
  json::Arena arena;       // values converted from the caller's objects

  bool in_memory() const { return py != nullptr; }

  // A top-level member; nullopt when absent.
  std::optional<json::Value> member(const char* key, Unserialisable mode = Unserialisable::Raise) {
    if (py) {
      PyObject* v = PyDict_GetItemString(py, key);
      if (!v) return std::nullopt;
      return to_value(v, arena, mode);
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
    bool present = py ? PyDict_GetItemString(py, key) != nullptr
                      : (file.root.is_object() && file.root.find(key) != nullptr);
    if (!file.root.is_object() && !py) member(key);  // raises the type error
    if (!present) throw KeyError(key);
  }
};

// The rows of a document as a RowSource, plus how to hand one row to a Python predicate.
struct DocumentRows {
  std::unique_ptr<pipeline::RowSource> source;
  PyObject* py_rows = nullptr;        // caller's list (in-memory documents)
  const json::Value* file_rows = nullptr;
  const json::Document* lazy_doc = nullptr;

  PyObject* row_object(size_t i) {  // new reference
    if (py_rows) {
      auto* src = static_cast<PyRowSource*>(source.get());
      PyObject* r = src->item(i);
      Py_INCREF(r);
      return r;
    }
    if (lazy_doc) {
      json::Arena arena;
      json::ParseScratch scratch;
      return check(to_python(json::parse_lazy_row(*lazy_doc, i, arena, scratch)));
    }
    return check(to_python((*file_rows)[i]));
  }
};

DocumentRows rows_of(LoadedDocument& doc) {
  DocumentRows rows;
  if (doc.in_memory()) {
    rows.py_rows = PyDict_GetItemString(doc.py, "rows");
    rows.source = std::make_unique<PyRowSource>(rows.py_rows);
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
std::vector<uint32_t> filter_rows(DocumentRows& rows, PyObject* row_filter) {
  const size_t n = rows.source->size();
  std::vector<uint32_t> kept;
  kept.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    if (row_filter) {
      Ref row(rows.row_object(i));
      Ref verdict = own(PyObject_CallOneArg(row_filter, row.get()));
      int keep = PyObject_IsTrue(verdict.get());
      if (keep < 0) throw PythonError();
      if (!keep) continue;
    }
    kept.push_back(static_cast<uint32_t>(i));
  }
  return kept;
}

// Without a row filter the caller's own rows list takes the new order.
void reorder_caller_rows(DocumentRows& rows, const std::vector<uint32_t>& order) {
  if (!rows.py_rows || !PyList_Check(rows.py_rows)) return;
  auto* src = static_cast<PyRowSource*>(rows.source.get());
  if (static_cast<size_t>(PyList_GET_SIZE(rows.py_rows)) != order.size()) return;
  Ref sorted = own(PyList_New(static_cast<Py_ssize_t>(order.size())));
  for (size_t k = 0; k < order.size(); ++k) {
    PyObject* item = src->item(order[k]);
    Py_INCREF(item);
    PyList_SET_ITEM(sorted.get(), static_cast<Py_ssize_t>(k), item);
  }
  if (PyList_SetSlice(rows.py_rows, 0, PyList_GET_SIZE(rows.py_rows), sorted.get()) < 0) {
    throw PythonError();
  }
}

Ref module_attr(PyObject* module, const char* name) {
  return own(PyObject_GetAttrString(module, name));
}

// Calls one of the halvex.paths operations bound on the module (looked up at call time, so
// a host can point the module elsewhere).
std::string call_path_function(PyObject* module, const char* name) {
  Ref fn = module_attr(module, name);
  Ref result = own(PyObject_CallNoArgs(fn.get()));
  return fspath_text(result.get());
}

// jinja2.Environment(loader=FileSystemLoader(dir)).get_template(name).render(**context)
Ref render_template(const std::string& template_path, PyObject* context) {
  std::string dir = path_parent(template_path);
  std::string name = path_name(template_path);
  Ref jinja2 = own(PyImport_ImportModule("jinja2"));
  Ref loader_cls = module_attr(jinja2.get(), "FileSystemLoader");
  Ref env_cls = module_attr(jinja2.get(), "Environment");
  Ref dir_text = str_from(dir);
  Ref loader = own(PyObject_CallOneArg(loader_cls.get(), dir_text.get()));
  Ref no_args = own(PyTuple_New(0));
  Ref env_kwargs = own(PyDict_New());
  if (PyDict_SetItemString(env_kwargs.get(), "loader", loader.get()) < 0) throw PythonError();
  Ref env = own(PyObject_Call(env_cls.get(), no_args.get(), env_kwargs.get()));
  Ref name_text = str_from(name);
  Ref tmpl = own(PyObject_CallMethod(env.get(), "get_template", "O", name_text.get()));
  Ref render = module_attr(tmpl.get(), "render");
  return own(PyObject_Call(render.get(), no_args.get(), context));
}

void set_item(PyObject* dict, const char* key, Ref value) {
  if (PyDict_SetItemString(dict, key, value.get()) < 0) throw PythonError();
}
void set_item(PyObject* dict, const char* key, PyObject* borrowed) {
  if (PyDict_SetItemString(dict, key, borrowed) < 0) throw PythonError();
}

Ref str_list(std::vector<std::string>& texts) {
  Ref list = own(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  for (size_t i = 0; i < texts.size(); ++i) {
    Ref s = str_from(texts[i]);
    std::string().swap(texts[i]);  // the Python copy is the one that lives on
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s.release());
  }
  return list;
}

Ref py_int(long long v) { return own(PyLong_FromLongLong(v)); }

// Threads for the pure C++ work on a parsed file.
unsigned worker_threads() { return std::clamp(std::thread::hardware_concurrency(), 1u, 16u); }

// Writes the rendered page atomically; returns its size in bytes.
uint64_t write_page(const std::string& out_path, PyObject* html) {
  if (!PyUnicode_Check(html)) throw TypeError("the page template did not render to text");
  std::string_view text = utf8_view(html);
  NoGil nogil;
  return pipeline::write_file_atomic(out_path, {text});
}

// Renders the template with the context (data_chunks is set here) and writes the page.
// Large pages are rendered with chunk markers and the chunk texts written in their place,
// unless the template did more with a chunk than insert it: then it gets the real texts.
uint64_t render_and_write(const std::string& template_path, Ref& ctx, const pipeline::ChunkTexts& chunks,
                          const std::string& out_path) {
  const size_t n = chunks.size();
  if (chunks.total_bytes() >= pipeline::SPLICE_MIN_BYTES) {
    std::random_device rd;
    pipeline::ChunkMarkers markers((uint64_t(rd()) << 32) ^ rd());
    std::vector<std::string> marker_texts;
    marker_texts.reserve(n);
    for (size_t i = 0; i < n; ++i) marker_texts.push_back(markers.marker(i));
    set_item(ctx.get(), "data_chunks", str_list(marker_texts));
    Ref html = render_template(template_path, ctx.get());
    if (!PyUnicode_Check(html.get())) throw TypeError("the page template did not render to text");
    std::string_view page = utf8_view(html.get());
    std::vector<pipeline::ChunkMarkers::Part> parts;
    if (markers.split(page, n, parts)) {
      ctx = Ref();
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
  Ref list = own(PyList_New(static_cast<Py_ssize_t>(n)));
  for (size_t i = 0; i < n; ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), str_from(chunks.text(i)).release());
  }
  set_item(ctx.get(), "data_chunks", list.get());
  list = Ref();
  Ref html = render_template(template_path, ctx.get());
  ctx = Ref();
  return write_page(out_path, html.get());
}

struct CommonArgs {
  long long chunk_size = pipeline::DEFAULT_CHUNK_SIZE;
  long long top_n = pipeline::DEFAULT_TOP_N;
  double max_size_mb = 0.0;
  PyObject* row_filter = nullptr;
};

bool parse_common(PyObject* chunk_size, PyObject* top_n, PyObject* max_size_mb, PyObject* row_filter,
                  CommonArgs& out) {
  if (chunk_size) {
    auto v = integer_argument("chunk_size", chunk_size);
    if (!v) return false;
    out.chunk_size = *v;
  }
  if (top_n) {
    auto v = integer_argument("top_n", top_n);
    if (!v) return false;
    out.top_n = *v;
  }
  if (max_size_mb) {
    auto v = real_argument("max_size_mb", max_size_mb);
    if (!v) return false;
    out.max_size_mb = *v;
  }
  out.row_filter = (row_filter && row_filter != Py_None) ? row_filter : nullptr;
  // A negative chunk size would silently produce a page without rows.
  if (out.chunk_size < 0) {
    PyErr_Format(PyExc_ValueError, "chunk_size must be a positive integer, got %lld", out.chunk_size);
    return false;
  }
  return true;
}

void print_size_warning(double size_mb, double limit) {
  if (limit > 0 && size_mb > limit) {
    print_line("    [WARN] Boyut limiti aşıldı: " + json::format_fixed(size_mb, 1) + " MB > " +
               pipeline::limit_text(limit) + " MB");
  }
}

Ref early_result(const std::string& out_path) {
  Ref result = own(PyDict_New());
  set_item(result.get(), "html_path", str_from(out_path));
  set_item(result.get(), "rows", py_int(0));
  set_item(result.get(), "chunks", py_int(0));
  set_item(result.get(), "size_kb", py_int(0));
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

// The result mapping of a written page (keys in this order).
Ref page_result(const std::string& out_path, size_t n_rows, size_t n_chunks, uint64_t size_bytes) {
  Ref result = own(PyDict_New());
  set_item(result.get(), "html_path", str_from(out_path));
  set_item(result.get(), "rows", py_int(static_cast<long long>(n_rows)));
  set_item(result.get(), "chunks", py_int(static_cast<long long>(n_chunks)));
  set_item(result.get(), "size_kb", own(PyFloat_FromDouble(static_cast<double>(size_bytes) / 1024)));
  return result;
}

std::string size_line(uint64_t size_bytes, size_t n_rows, size_t n_chunks) {
  return "    Boyut: " + pipeline::size_text(size_bytes) + "  |  " + std::to_string(n_rows) + " satır  |  " +
         std::to_string(n_chunks) + " chunk";
}

}  // namespace

PyObject* catalogue_to_python(const pipeline::Catalogue& cat) {
  json::Arena arena;
  Ref bolge_list = own(to_python(cat.region_list(arena)));
  Ref sube_list = own(to_python(cat.branch_list(arena)));
  Ref bolge_map = own(PyDict_New());
  for (size_t i = 0; i < cat.regions.size(); ++i) {
    Ref key = own(to_python(cat.regions[i].kodu));
    if (PyDict_SetItem(bolge_map.get(), key.get(), py_int(static_cast<long long>(i)).get()) < 0) throw PythonError();
  }
  Ref sube_map = own(PyDict_New());
  for (size_t i = 0; i < cat.branches.size(); ++i) {
    Ref key = own(to_python(cat.branches[i].kodu));
    if (PyDict_SetItem(sube_map.get(), key.get(), py_int(static_cast<long long>(i)).get()) < 0) throw PythonError();
  }
  return check(PyTuple_Pack(4, bolge_list.get(), bolge_map.get(), sube_list.get(), sube_map.get()));
}

void maps_from_python(PyObject* bolge_map, PyObject* sube_map, pipeline::Catalogue& cat) {
  auto load = [&](PyObject* map, std::unordered_map<pipeline::CodeKey, int, pipeline::CodeKeyHash>& out,
                  const char* name) {
    if (!PyDict_Check(map)) {
      argument_type_error(name, "dict", map);
      throw PythonError();
    }
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(map, &pos, &k, &v)) {
      json::Value key = to_value(k, cat.arena);
      long idx = PyLong_AsLong(v);
      if (idx == -1 && PyErr_Occurred()) throw PythonError();
      out[pipeline::make_code_key(key)] = static_cast<int>(idx);
    }
  };
  load(bolge_map, cat.region_index, "BOLGE_MAP");
  load(sube_map, cat.branch_index, "SUBE_MAP");
}

PyObject* py_render_html(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"render_html",
                               {"scoreboard_or_path", "output_html", "ref_csv_path", "trending_path",
                                "chunk_size", "top_n", "external_link", "row_filter", "max_size_mb",
                                "extra_data"},
                               1};
    std::vector<PyObject*> a;
    if (!bind_arguments(sig, args, kwargs, a)) return nullptr;
    CommonArgs common;
    if (!parse_common(a[4], a[5], a[8], a[7], common)) return nullptr;
    PyObject* external_link = a[6];
    if (external_link && !PyUnicode_Check(external_link)) {
      argument_type_error("external_link", "str", external_link);
      return nullptr;
    }
    PyObject* extra_data = (a[9] && a[9] != Py_None) ? a[9] : nullptr;
    if (extra_data && !PyDict_Check(extra_data)) {
      argument_type_error("extra_data", "dict", extra_data);
      return nullptr;
    }

    // 1. The document and its folder.
    LoadedDocument doc;
    std::optional<std::string> output_text;
    if (a[1] && a[1] != Py_None) output_text = fspath_text(a[1]);
    std::string json_dir;
    if (PyDict_Check(a[0])) {
      doc.py = a[0];
      json_dir = (output_text && !output_text->empty()) ? path_parent(*output_text) : ".";
    } else {
      std::string path = fspath_text(a[0]);
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
    std::string ref_csv = (a[2] && a[2] != Py_None) ? fspath_text(a[2]) : path_join(json_dir, "sube_bolge_ref.csv");
    // 5. Chart libraries.
    pipeline::ChartLibraries charts = pipeline::read_chart_libraries(call_path_function(self, "get_js_dir"));

    // 6-8. meta, rows and the periods.
    PyObject* meta_py = doc.in_memory() ? PyDict_GetItemString(doc.py, "meta") : nullptr;
    Periods periods = read_periods(doc);
    if (!periods.donemler.truthy()) return early_result(out_path).release();
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
    if (!common.row_filter) reorder_caller_rows(rows, page_rows.order);
    const pipeline::Catalogue& catalogue = page_rows.catalogue;
    const size_t n_rows = page_rows.order.size();
    const size_t n_chunks = page_rows.size();

    // 14. Template.
    std::string template_path = call_path_function(self, "get_template_path");

    // 15-16. Page data and the context, in the template's order.
    pipeline::PageDataInputs page_in;
    page_in.flow_matrix = doc.member("flow_matrix");
    page_in.band_snapshot = doc.member("band_snapshot");
    PyObject* diag_index_py = doc.in_memory() ? PyDict_GetItemString(doc.py, "diag_index") : nullptr;
    if (!diag_index_py) page_in.diag_index = doc.member("diag_index");
    std::unordered_set<std::string> filtered_mutas;
    if (common.row_filter) {
      rows.source->prepare({"muta"});
      json::Value muta;
      bool found;
      for (uint32_t i : kept) {
        rows.source->fetch(i, &muta, &found);
        if (found && !muta.is_null()) filtered_mutas.insert(pipeline::text_form(muta));
      }
    }
    pipeline::PageData page =
        prepare_page_data(page_in, common.row_filter ? &filtered_mutas : nullptr, extra_data, doc.arena, diag_index_py);

    Ref ctx = own(PyDict_New());
    set_item(ctx.get(), "donemler", str_from(json::to_json(periods.donemler, kSpaced)));
    set_item(ctx.get(), "risk_donemler", str_from(json::to_json(periods.risk_donemler, kSpaced)));
    set_item(ctx.get(), "top_n", py_int(common.top_n));
    if (meta_py) {
      set_item(ctx.get(), "meta", meta_py);  // the caller's own object
    } else {
      set_item(ctx.get(), "meta", own(to_python(meta)));
    }
    set_item(ctx.get(), "data_chunks", Py_None);  // set by render_and_write, keeping the order
    Ref builtins = own(PyImport_ImportModule("builtins"));
    set_item(ctx.get(), "enumerate", module_attr(builtins.get(), "enumerate"));
    set_item(ctx.get(), "total_chunks", py_int(static_cast<long long>(n_chunks)));
    set_item(ctx.get(), "total_rows", py_int(static_cast<long long>(n_rows)));
    json::Arena list_arena;
    set_item(ctx.get(), "bolge_list_js", str_from(page_json(catalogue.region_list(list_arena))));
    set_item(ctx.get(), "sube_list_js", str_from(page_json(catalogue.branch_list(list_arena))));
    if (external_link) {
      set_item(ctx.get(), "external_link", external_link);
    } else {
      set_item(ctx.get(), "external_link", str_from(""));
    }
    set_item(ctx.get(), "risk_birim", str_from("mio_tl"));
    set_item(ctx.get(), "d3_js", str_from(charts.d3));
    set_item(ctx.get(), "d3_sankey_js", str_from(charts.d3_sankey));
    set_item(ctx.get(), "flow_matrix_js", str_from(page.flow_matrix_js));
    set_item(ctx.get(), "band_snapshot_js", str_from(page.band_snapshot_js));
    set_item(ctx.get(), "diag_index_js", str_from(page.diag_index_js));
    set_item(ctx.get(), "diag_groups_js", str_from(page.diag_groups_js));
    set_item(ctx.get(), "kriter_aciklama_js", str_from(page.kriter_aciklama_js));
    // The caller's page mode goes to the template as it was given.
    PyObject* mode = (extra_data && PyDict_GET_SIZE(extra_data) > 0) ? PyDict_GetItemString(extra_data, "page_mode") : nullptr;
    if (mode) {
      set_item(ctx.get(), "page_mode", mode);
    } else {
      set_item(ctx.get(), "page_mode", str_from(page.page_mode));
    }
    set_item(ctx.get(), "backtest_summary_js", str_from(page.backtest_summary_js));
    set_item(ctx.get(), "backtest_firma_js", str_from(page.backtest_firma_js));
    set_item(ctx.get(), "ml_predictions_js", str_from(page.ml_predictions_js));
    set_item(ctx.get(), "row_slots_js", str_from(pipeline::row_slots_json(layout)));

    // 16-21. Render, write, report, return.
    uint64_t size_bytes = render_and_write(template_path, ctx, page_rows, out_path);
    double size_mb = static_cast<double>(size_bytes) / 1024 / 1024;
    print_line("    HTML: " + out_path);
    print_line(size_line(size_bytes, n_rows, n_chunks));
    print_line("    Bölge: " + std::to_string(catalogue.regions.size()) + "  |  Şube: " +
               std::to_string(catalogue.branches.size()));
    print_size_warning(size_mb, common.max_size_mb);

    return page_result(out_path, n_rows, n_chunks, size_bytes).release();
  });
}

PyObject* py_render_html_v300(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{
        "render_html_v300", {"json_path", "output_html", "chunk_size", "top_n", "row_filter", "max_size_mb"}, 1};
    std::vector<PyObject*> a;
    if (!bind_arguments(sig, args, kwargs, a)) return nullptr;
    CommonArgs common;
    if (!parse_common(a[2], a[3], a[5], a[4], common)) return nullptr;

    // 1-2. Paths; the default folder is made before the document is read.
    std::string json_path = fspath_text(a[0]);
    std::string json_dir = path_parent(json_path);
    std::string out_path;
    if (!a[1] || a[1] == Py_None) {
      std::string html_dir = path_join(path_parent(json_dir), "html");
      pipeline::make_dirs(html_dir);
      out_path = path_join(html_dir, "qvr_dashboard.html");
    } else {
      out_path = path_text(fspath_text(a[1]));
    }
    // 3-6. Document and periods.
    LoadedDocument doc;
    {
      NoGil nogil;
      // Rows are read again in page order here, so their texts stay mapped.
      json::read_document_file(json_path, doc.file, json::DEFAULT_MAX_DEPTH, true, false);
    }
    Periods periods = read_periods(doc);
    if (!periods.donemler.truthy()) return early_result(out_path).release();
    const json::Value& meta = periods.meta;

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
    std::string template_path = call_path_function(self, "get_template_v300_path");
    Ref ctx = own(PyDict_New());
    set_item(ctx.get(), "donemler", str_from(json::to_json(periods.donemler, kSpaced)));
    set_item(ctx.get(), "risk_donemler", str_from(json::to_json(periods.risk_donemler, kSpaced)));
    set_item(ctx.get(), "top_n", py_int(common.top_n));
    set_item(ctx.get(), "meta", own(to_python(meta)));
    set_item(ctx.get(), "data_chunks", Py_None);  // set by render_and_write, keeping the order
    Ref builtins = own(PyImport_ImportModule("builtins"));
    set_item(ctx.get(), "enumerate", module_attr(builtins.get(), "enumerate"));
    set_item(ctx.get(), "total_chunks", py_int(static_cast<long long>(n_chunks)));
    set_item(ctx.get(), "total_rows", py_int(static_cast<long long>(n_rows)));
    set_item(ctx.get(), "row_slots_js", str_from(pipeline::row_slots_json(layout)));
    doc = LoadedDocument();  // the parsed file is no longer needed

    // 14-18.
    uint64_t size_bytes = render_and_write(template_path, ctx, pipeline::StringChunks(chunks.base64), out_path);
    double size_mb = static_cast<double>(size_bytes) / 1024 / 1024;
    print_line("    HTML (v300): " + out_path);
    print_line(size_line(size_bytes, n_rows, n_chunks));
    print_line("    Gzip kazanç: " + json::format_fixed(compression_pct, 0) + "%  (ham: " +
               json::format_fixed(static_cast<double>(chunks.raw_bytes) / 1024 / 1024, 1) +
               " MB → gz+b64: " + json::format_fixed(static_cast<double>(chunks.b64_chars) / 1024 / 1024, 1) +
               " MB)");
    print_size_warning(size_mb, common.max_size_mb);

    Ref result = page_result(out_path, n_rows, n_chunks, size_bytes);
    set_item(result.get(), "compression_pct", own(PyFloat_FromDouble(compression_pct)));
    return result.release();
  });
}

}  // namespace halvex::py
