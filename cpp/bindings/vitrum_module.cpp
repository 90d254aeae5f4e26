// halvex.pipeline.vitrum: the renderer's functions and constants for Python.
#include <nanobind/nanobind.h>

#include "common_args.h"
#include "pipeline/amounts.h"
#include "pipeline/catalogue.h"
#include "pipeline/constants.h"
#include "pipeline/page_data.h"
#include "pipeline/row_encoding.h"
#include "vitrum_render.h"
#include "vitrum_values.h"

namespace nb = nanobind;
using namespace halvex;
using namespace halvex::py;

namespace {

// The module's functions take (*args, **kwargs) and bind them themselves, so that argument
// errors keep the texts callers have always seen.
using Binder = nb::object (*)(const nb::args&, const nb::kwargs&);

nb::object mio(const nb::args& args, const nb::kwargs& kwargs) {
  static const Signature sig{"_mio", {"v"}, 1};
  nb::object v = bind_arguments(sig, args, kwargs)[0];
  json::Arena arena;
  // Anything float() accepts is an amount; other values (a date, a set) are not.
  json::Value value = to_value(v.ptr(), arena, Unserialisable::Opaque);
  if (value.kind() == json::Kind::Opaque) {
    auto* number = Py_TYPE(v.ptr())->tp_as_number;
    value = (number && number->nb_float) ? json::Value::real(nb::cast<double>(nb::float_(v))) : json::Value::null();
  }
  return to_python(pipeline::mio(value, arena));
}

nb::object build_maps(const nb::args& args, const nb::kwargs& kwargs) {
  static const Signature sig{"_build_bolge_sube_maps", {"all_rows", "ref_csv_path"}, 1};
  std::vector<nb::object> a = bind_arguments(sig, args, kwargs);
  std::optional<std::string> ref;
  if (given(a[1])) ref = path_argument(a[1]);
  PyRowSource rows(a[0].ptr());
  std::vector<uint32_t> order(rows.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
  pipeline::Catalogue cat;
  pipeline::build_catalogue(rows, order, pipeline::read_reference_names(ref), cat);
  return catalogue_to_python(cat);
}

std::vector<json::Value> periods_of(const nb::object& obj, json::Arena& arena) {
  return pipeline::period_items(to_value(obj.ptr(), arena), arena);
}

// One caller's row encoded with `encode(layout, values, found, out)`; no copy of the row is made.
template <class Encode>
nb::object encode_one_row(const nb::object& row, const pipeline::RowLayout& layout, json::Arena& arena,
                          Encode&& encode) {
  nb::list list;
  list.append(row);
  PyRowSource source(list.ptr());
  source.prepare(layout.keys);
  std::vector<json::Value> values(layout.keys.size());
  std::unique_ptr<bool[]> found(new bool[layout.keys.size()]);
  source.fetch(0, values.data(), found.get());
  std::vector<json::Value> out;
  encode(values.data(), found.get(), out);
  return to_python(json::Value::array(out.data(), out.size()));
}

nb::object row_to_array(const nb::args& args, const nb::kwargs& kwargs) {
  static const Signature sig{"_row_to_array", {"row", "donemler", "risk_donemler", "BOLGE_MAP", "SUBE_MAP"}, 5};
  std::vector<nb::object> a = bind_arguments(sig, args, kwargs);
  json::Arena arena;
  auto layout = pipeline::RowLayout::standard(periods_of(a[1], arena), periods_of(a[2], arena));
  pipeline::Catalogue cat;
  maps_from_python(a[3], a[4], cat);
  return encode_one_row(a[0], layout, arena, [&](const json::Value* v, const bool* f, std::vector<json::Value>& out) {
    pipeline::encode_row_standard(layout, v, f, cat, arena, out);
  });
}

nb::object row_to_array_v300(const nb::args& args, const nb::kwargs& kwargs) {
  static const Signature sig{"_row_to_array_v300", {"row", "donemler", "risk_donemler"}, 3};
  std::vector<nb::object> a = bind_arguments(sig, args, kwargs);
  json::Arena arena;
  auto layout = pipeline::RowLayout::compressed(periods_of(a[1], arena), periods_of(a[2], arena));
  return encode_one_row(a[0], layout, arena, [&](const json::Value* v, const bool* f, std::vector<json::Value>& out) {
    pipeline::encode_row_compressed(layout, v, f, arena, out);
  });
}

nb::object build_trending_html(const nb::args& args, const nb::kwargs& kwargs) {
  static const Signature sig{"_build_trending_html", {"trending"}, 1};
  std::vector<nb::object> a = bind_arguments(sig, args, kwargs);
  if (!PyDict_Check(a[0].ptr())) argument_type_error("trending", "dict", a[0]);
  json::Arena arena;
  json::Value doc = to_value(a[0].ptr(), arena, Unserialisable::AsText);
  std::string html = pipeline::build_trending_html(doc);
  return nb::str(html.data(), html.size());
}

nb::object slim_diag_index(const nb::args& args, const nb::kwargs& kwargs) {
  static const Signature sig{"_slim_diag_index", {"diag_index"}, 1};
  std::vector<nb::object> a = bind_arguments(sig, args, kwargs);
  json::Arena arena;
  json::Value index = to_value(a[0].ptr(), arena, Unserialisable::AsText);
  FeatureInfoResolver fi(arena);
  pipeline::GroupResolver resolve = [&](const json::Value& k) { return fi(k); };
  return to_python(pipeline::slim_diag_index(index, resolve, arena));
}

// The module itself: the render functions look up its halvex.paths operations at call time.
nb::handle vitrum_module;

nb::object render(const nb::args& args, const nb::kwargs& kwargs) { return render_html(vitrum_module, args, kwargs); }
nb::object render_v300(const nb::args& args, const nb::kwargs& kwargs) {
  return render_html_v300(vitrum_module, args, kwargs);
}

}  // namespace

NB_MODULE(vitrum, m) {
  register_error_translation();
  m.doc() = "Dashboard renderer: scoreboard document to a self-contained HTML dashboard.";
  // The paths component is bound once; a missing component makes the module unavailable.
  nb::module_ paths = nb::module_::import_("halvex.paths");
  m.attr("get_template_path") = paths.attr("get_template_path");
  m.attr("get_template_v300_path") = paths.attr("get_template_v300_path");
  m.attr("get_js_dir") = paths.attr("get_js_dir");
  nb::module_::import_("jinja2");

  nb::list segments;
  nb::dict seg_map;
  for (size_t i = 0; i < pipeline::SEGMENTS_LIST.size(); ++i) {
    nb::str s(pipeline::SEGMENTS_LIST[i].data(), pipeline::SEGMENTS_LIST[i].size());
    segments.append(s);
    seg_map[s] = i;
  }
  m.attr("SEGMENTS_LIST") = segments;
  m.attr("SEG_MAP") = seg_map;
  m.attr("DEFAULT_CHUNK_SIZE") = pipeline::DEFAULT_CHUNK_SIZE;
  m.attr("DEFAULT_TOP_N") = pipeline::DEFAULT_TOP_N;
  nb::dict grup_short;
  for (const auto& [name, letter] : pipeline::GRUP_SHORT) {
    grup_short[nb::str(name.data(), name.size())] = nb::str(letter.data(), letter.size());
  }
  m.attr("_GRUP_SHORT") = grup_short;

  // Parameter types of the signatures the stubs show.
  const std::string path = "str | bytes | os.PathLike[str] | os.PathLike[bytes]",
                    row = "collections.abc.Mapping[str, typing.Any]",
                    seq = "collections.abc.Sequence[typing.Any]", codes = "collections.abc.Mapping[typing.Any, int]",
                    filter = "row_filter: collections.abc.Callable[[" + row + "], object] | None = None",
                    periods = "donemler: " + seq + ", risk_donemler: " + seq;
  const struct {
    const char* name;
    Binder f;
    std::string signature;
    const char* doc;
  } functions[] = {
      {"_mio", mio, "(v: object) -> int | float | None",
       "An amount in TL as million TL (None when it is not a number)."},
      {"_build_bolge_sube_maps", build_maps,
       "(all_rows: collections.abc.Sequence[" + row + "], ref_csv_path: " + path +
           " | None = None) -> tuple[list[dict[str, typing.Any]], dict[typing.Any, int], list[dict[str, typing.Any]], "
           "dict[typing.Any, int]]",
       "Region and branch catalogue: (BOLGE_LIST, BOLGE_MAP, SUBE_LIST, SUBE_MAP)."},
      {"_row_to_array", row_to_array,
       "(row: " + row + ", " + periods + ", BOLGE_MAP: " + codes + ", SUBE_MAP: " + codes + ") -> list[typing.Any]",
       "One row object as the compact row array of the standard page."},
      {"_row_to_array_v300", row_to_array_v300, "(row: " + row + ", " + periods + ") -> list[typing.Any]",
       "One row object as the compact row array of the compressed-chunk page."},
      {"_build_trending_html", build_trending_html, "(trending: " + row + ") -> str",
       "The trending lists section as self-contained HTML."},
      {"_slim_diag_index", slim_diag_index, "(diag_index: " + row + ") -> dict[str, dict[str, str]]",
       "The diagnostic index reduced to group letters."},
      {"render_html", render,
       "(scoreboard_or_path: " + row + " | " + path + ", output_html: " + path + " | None = None, ref_csv_path: " +
           path + " | None = None, trending_path: " + path +
           " | None = None, chunk_size: int = 10000, top_n: int = 100, external_link: str = '', " + filter +
           ", max_size_mb: float = 0.0, extra_data: " + row + " | None = None) -> dict[str, typing.Any]",
       "Render the scoreboard as the AG Grid HTML dashboard."},
      {"render_html_v300", render_v300,
       "(json_path: " + path + ", output_html: " + path +
           " | None = None, chunk_size: int = 10000, top_n: int = 100, " + filter + ", max_size_mb: float = 0.0) -> dict[str, typing.Any]",
       "Render the scoreboard file as the compressed-chunk (gzip+base64) dashboard."},
  };
  vitrum_module = m;
  for (const auto& f : functions) {
    m.def(f.name, f.f, nb::sig(("def " + std::string(f.name) + f.signature).c_str()), f.doc);
  }
  halvex::py::bind_files(m);
}
