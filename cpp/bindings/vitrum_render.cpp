// render_html and render_html_v300: a pipeline render job with Python as its host (jinja2, the
// row filter, print, halvex.paths, halvex.diag_groups and halvex.feature_info).
#include "vitrum_render.h"

#include <memory>
#include <optional>

#include "common/errors.h"
#include "common_args.h"
#include "common_cancel.h"
#include "json/writer.h"
#include "pipeline/path_form.h"
#include "pipeline/render_job.h"
#include "vitrum_values.h"

namespace halvex::py {
using namespace nb::literals;

// The renderer's Python side (halvex.pipeline._host): templates, diag_groups, feature_info.
static nb::object host(const char* name) { return nb::module_::import_("halvex.pipeline._host").attr(name); }

pipeline::GroupResolver feature_info_groups(json::Arena& arena) {
  return [group = host("criterion_groups")(), &arena](const json::Value& kriter) {
    nb::object found = group(to_python(kriter));
    try {
      return found.is_none() ? json::Value::null() : to_value(found.ptr(), arena, Unserialisable::AsText);
    } catch (const nb::python_error&) {
      return json::Value::null();  // a group without a text form is no group, as a failed question
    }
  };
}

namespace {

nb::str text(std::string_view s) { return nb::str(s.data(), s.size()); }

// dict[key]; invalid when absent.
nb::object item_of(nb::handle dict, const char* key) { return nb::borrow(PyDict_GetItemString(dict.ptr(), key)); }


// The caller's document dict.
class PyDocument : public pipeline::DocumentSource {
 public:
  explicit PyDocument(nb::object dict) : dict_(std::move(dict)) {}
  bool has(const char* key) override { return item_of(dict_, key).is_valid(); }
  std::optional<json::Value> member(const char* key, json::Arena& arena, bool opaque_ok) override {
    nb::object v = item_of(dict_, key);
    if (!v.is_valid()) return std::nullopt;
    if (std::string_view(key) == "meta") meta = v;  // goes to the template as it was read
    return to_value(v.ptr(), arena, opaque_ok ? Unserialisable::Opaque : Unserialisable::Raise);
  }
  pipeline::RowSource& rows() override {
    if (!rows_) {
      list_ = item_of(dict_, "rows");
      rows_ = std::make_unique<PyRowSource>(list_.ptr());
    }
    return *rows_;
  }
  bool rows_on_any_thread() const override { return false; }
  // Customers the page drops are not converted.
  std::optional<json::Value> diag_index(const std::unordered_set<std::string>* mutas, json::Arena& arena) override {
    nb::object index = item_of(dict_, "diag_index");
    if (!index.is_valid()) return std::nullopt;
    if (!mutas || !PyDict_Check(index.ptr()) || PyDict_GET_SIZE(index.ptr()) == 0) {
      return to_value(index.ptr(), arena, Unserialisable::Opaque);
    }
    std::vector<json::Member> kept;
    for (auto [k, v] : nb::borrow<nb::dict>(index)) {
      nb::object key = nb::borrow(k), customer = nb::borrow(v);
      std::string_view name = key_text(key.ptr(), arena);
      if (mutas->count(std::string(name))) {
        kept.push_back(json::Member{name, to_value(customer.ptr(), arena, Unserialisable::Opaque)});
      }
    }
    return arena.object(kept);
  }
  nb::object row(size_t i) { return nb::borrow(static_cast<PyRowSource&>(rows()).item(i)); }

  // Without a row filter the caller's own rows list takes the page order.
  void reorder(const std::vector<uint32_t>& order) {
    if (!list_.is_valid() || !PyList_Check(list_.ptr()) || nb::len(list_) != order.size()) return;
    nb::list sorted;
    for (uint32_t i : order) sorted.append(row(i));
    if (PyList_SetSlice(list_.ptr(), 0, PyList_GET_SIZE(list_.ptr()), sorted.ptr()) < 0) throw nb::python_error();
  }

  nb::object dict_, meta;

 private:
  nb::object list_;
  std::unique_ptr<PyRowSource> rows_;
};

class PyPage : public pipeline::RenderedPage {
 public:
  explicit PyPage(nb::object html) : html_(std::move(html)) {}
  std::string_view text() const override { return utf8_view(html_.ptr()); }

 private:
  nb::object html_;
};

// Python's side of a render: the module's halvex.paths look-ups, jinja2, print, the
// caller's filter and extra data, halvex.diag_groups and halvex.feature_info.
class PyHost : public pipeline::RenderHost {
 public:
  PyHost(nb::handle module, nb::object row_filter, nb::object extra, nb::object external_link)
      : module_(module), filter_(std::move(row_filter)), extra_(std::move(extra)), link_(std::move(external_link)) {}

  std::unique_ptr<pipeline::RenderedPage> render_template(const std::string& template_path,
                                                          const pipeline::Context& ctx) override {
    nb::object html = host("render_template")(text(pipeline::path_parent(template_path)),
                                              text(pipeline::path_name(template_path)), python_context(ctx));
    return std::make_unique<PyPage>(std::move(html));
  }
  bool has_row_filter() const override { return filter_.is_valid(); }
  bool keep_row(pipeline::DocumentSource& doc, size_t i) override {
    nb::object row;
    if (auto* py = dynamic_cast<PyDocument*>(&doc)) {
      row = py->row(i);
    } else {
      json::Arena arena;
      row = to_python(static_cast<pipeline::FileDocument&>(doc).row(i, arena));
    }
    return static_cast<bool>(nb::bool_(filter_(row)));
  }
  // print(line) through Python, so the line goes wherever sys.stdout points.
  void print(const std::string& line) override { nb::module_::import_("builtins").attr("print")(text(line)); }
  // Looked up on the module at call time, so a host can point the module elsewhere.
  std::string template_path(bool compressed) override {
    return path_argument(module_.attr(compressed ? "get_template_v300_path" : "get_template_path")());
  }
  std::string js_dir() override { return path_argument(module_.attr("get_js_dir")()); }
  bool sql_admin_only() override { return nb::cast<bool>(host("sql_admin_only")()); }
  std::optional<json::Value> diag_groups_name(const char* name, json::Arena& arena) override {
    nb::tuple found = nb::cast<nb::tuple>(host("diag_groups_value")(name));
    if (found.size() == 0) return std::nullopt;
    return to_value(found[0].ptr(), arena);
  }
  pipeline::GroupResolver criterion_groups(json::Arena& arena) override { return feature_info_groups(arena); }
  bool has_extra() override { return extra_.is_valid() && nb::len(extra_) > 0; }
  std::optional<json::Value> extra_member(const char* key, json::Arena& arena) override {
    nb::object v = item_of(extra_, key);
    if (!v.is_valid()) return std::nullopt;
    return to_value(v.ptr(), arena, Unserialisable::AsText);
  }
  void rows_ordered(pipeline::DocumentSource& doc, const std::vector<uint32_t>& order) override {
    if (auto* py = dynamic_cast<PyDocument*>(&doc)) py->reorder(order);
  }
  void run_detached(const std::function<void()>& work) override {
    nb::gil_scoped_release nogil;
    work();
  }

  PyDocument* document = nullptr;  // the caller's document, when it is one

 private:
  nb::object python_value(const pipeline::ContextValue& v) {
    using Kind = pipeline::ContextValue::Kind;
    if (v.caller) {
      nb::object own;
      if (std::string_view(v.caller) == "meta" && document) own = document->meta;
      if (std::string_view(v.caller) == "page_mode" && has_extra()) own = item_of(extra_, "page_mode");
      if (std::string_view(v.caller) == "external_link") own = link_;
      if (own.is_valid()) return own;  // the caller's own object, as it was given
    }
    switch (v.kind) {
      case Kind::None: return nb::none();
      case Kind::Text: return text(v.text);
      case Kind::Integer: return nb::int_(v.integer);
      case Kind::Json: return to_python(v.json);
      case Kind::Builtin: return nb::module_::import_("builtins").attr(v.text.c_str());
      case Kind::Chunks: {
        nb::list list;
        for (size_t i = 0; i < v.chunk_count(); ++i) list.append(text(v.chunk(i)));
        return list;
      }
    }
    return nb::none();
  }
  nb::dict python_context(const pipeline::Context& ctx) {
    nb::dict out;
    for (const auto& [name, value] : ctx) out[name.c_str()] = python_value(value);
    return out;
  }

  nb::handle module_;
  nb::object filter_, extra_, link_;
};

// The render functions look up the module's halvex.paths operations at call time.
nb::handle vitrum_module;

using RowFilter = std::optional<Typed<"collections.abc.Callable[[collections.abc.Mapping[str, typing.Any]], object]">>;

nb::object page_result(const pipeline::PageResult& r, bool compressed) {
  json::Arena arena;
  return to_python(r.to_value(compressed, arena));
}

nb::object render_html(DictOrPath scoreboard_or_path, std::optional<Path> output_html,
                       std::optional<Path> ref_csv_path, UnreadPath trending_path, long long chunk_size,
                       long long top_n, nb::str external_link, RowFilter row_filter, double max_size_mb,
                       std::optional<Dict> extra_data) {
  const pipeline::RenderOptions options{chunk_size, top_n, max_size_mb};
  PyHost host(vitrum_module, row_filter ? *row_filter : nb::object(), extra_data ? *extra_data : nb::object(),
              external_link);
  std::unique_ptr<PyDocument> doc;
  if (scoreboard_or_path.dict.is_valid()) {
    doc = std::make_unique<PyDocument>(scoreboard_or_path.dict);
    host.document = doc.get();
  }
  return SignalCancel().run([&] {
    return page_result(pipeline::render_standard_page(host, std::move(doc), scoreboard_or_path.path, output_html,
                                                      ref_csv_path, options, trending_path.path),
                       false);
  });
}

nb::object render_html_v300(Path json_path, std::optional<Path> output_html, long long chunk_size, long long top_n,
                            RowFilter row_filter, double max_size_mb) {
  const pipeline::RenderOptions options{chunk_size, top_n, max_size_mb};
  PyHost host(vitrum_module, row_filter ? *row_filter : nb::object(), nb::object(), nb::object());
  return SignalCancel().run(
      [&] { return page_result(pipeline::render_compressed_page(host, json_path, output_html, options), true); });
}

}  // namespace

void bind_render(nb::module_& m) {
  vitrum_module = m;
  const auto filter = "row_filter"_a = nb::none();
  def(m, {"render_html", "Render the scoreboard as the HTML dashboard page.", "dict[str, typing.Any]"}, &render_html,
      "scoreboard_or_path"_a, "output_html"_a = nb::none(), "ref_csv_path"_a = nb::none(),
      "trending_path"_a = nb::none(), "chunk_size"_a = pipeline::DEFAULT_CHUNK_SIZE,
      "top_n"_a = pipeline::DEFAULT_TOP_N, "external_link"_a = "", filter, "max_size_mb"_a = 0.0,
      "extra_data"_a = nb::none());
  def(m,
      {"render_html_v300", "Render the scoreboard file as the compressed-chunk (gzip+base64) dashboard.",
       "dict[str, typing.Any]"},
      &render_html_v300, "json_path"_a, "output_html"_a = nb::none(), "chunk_size"_a = pipeline::DEFAULT_CHUNK_SIZE,
      "top_n"_a = pipeline::DEFAULT_TOP_N, filter, "max_size_mb"_a = 0.0);
}

}  // namespace halvex::py
