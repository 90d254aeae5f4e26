// halvex.pipeline.vitrum: the renderer's functions and constants for Python, and the
// package's atomic file writer as a class for the outputs the command line writes itself.
#include <nanobind/nanobind.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include <numeric>
#include <string_view>

#include "common/atomic_file.h"
#include "common_args.h"
#include "pipeline/amounts.h"
#include "pipeline/catalogue.h"
#include "pipeline/code_key.h"
#include "pipeline/constants.h"
#include "pipeline/page_data.h"
#include "pipeline/row_encoding.h"
#include "vitrum_render.h"
#include "vitrum_values.h"

namespace nb = nanobind;
using namespace halvex;
using namespace halvex::py;
using namespace nb::literals;

namespace {

// How help() shows the parameters the module takes as they are given.
using Rows = Typed<"collections.abc.Sequence[collections.abc.Mapping[str, typing.Any]]">;
using Periods = Typed<"collections.abc.Sequence[typing.Any]">;
using Codes = Typed<"collections.abc.Mapping[typing.Any, int]", true>;

nb::object mio(nb::object v) {
  json::Arena arena;
  // Anything float() accepts is an amount; other values (a date, a set) are not.
  json::Value value = to_value(v.ptr(), arena, Unserialisable::Opaque);
  if (value.kind() == json::Kind::Opaque) {
    value = has_float(v) ? json::Value::real(nb::cast<double>(nb::float_(v))) : json::Value::null();
  }
  return to_python(pipeline::mio(value, arena));
}

// Region and branch maps given by a caller, for encoding single rows.
void maps_from_python(const Codes& bolge_map, const Codes& sube_map, pipeline::Catalogue& cat) {
  auto load = [&](const Codes& map, pipeline::Catalogue::IndexMap& out, const char* name) {
    for (auto [k, v] : nb::borrow<nb::dict>(map)) {
      nb::object key = nb::borrow(k), index = nb::borrow(v);  // held: reading them may run code
      json::Value code = to_value(key.ptr(), cat.arena);
      int overflow = 0;
      long long idx = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
      if (idx == -1 && !overflow && PyErr_Occurred()) throw nb::python_error();
      // Written as given or not at all: an index the row array cannot carry is refused.
      if (overflow) {
        throw OverflowError(std::string(name) + "[" + nb::repr(key).c_str() + "]: index " + nb::str(index).c_str() +
                            " does not fit in 64 bits");
      }
      out[pipeline::make_code_key(code)] = idx;
    }
  };
  load(bolge_map, cat.region_index, "BOLGE_MAP");
  load(sube_map, cat.branch_index, "SUBE_MAP");
}

// (BOLGE_LIST, BOLGE_MAP, SUBE_LIST, SUBE_MAP) of the rows and the reference file.
nb::object build_maps(Rows all_rows, std::optional<Path> ref_csv_path) {
  PyRowSource rows(all_rows.ptr());
  std::vector<uint32_t> order(rows.size());
  std::iota(order.begin(), order.end(), 0u);
  pipeline::Catalogue cat;
  pipeline::build_catalogue(rows, order, pipeline::read_reference_names(ref_csv_path), cat);
  json::Arena arena;
  nb::dict bolge_map, sube_map;
  for (size_t i = 0; i < cat.regions.size(); ++i) bolge_map[to_python(cat.regions[i].kodu)] = i;
  for (size_t i = 0; i < cat.branches.size(); ++i) sube_map[to_python(cat.branches[i].kodu)] = i;
  return nb::make_tuple(to_python(cat.region_list(arena)), bolge_map, to_python(cat.branch_list(arena)), sube_map);
}

std::vector<json::Value> periods_of(const Periods& obj, json::Arena& arena) {
  return pipeline::period_items(to_value(obj.ptr(), arena), arena);
}

// One caller's row as its page's row array; no copy of the row is made.
nb::object encode_one_row(const nb::object& row, const pipeline::RowLayout& layout, const pipeline::Catalogue& cat,
                          json::Arena& arena) {
  PyRowSource source(nb::make_tuple(row).ptr());
  return to_python(pipeline::encode_source_row(source, 0, layout, cat, arena));
}

nb::object row_to_array(Mapping row, Periods donemler, Periods risk_donemler, Codes bolge_map, Codes sube_map) {
  json::Arena arena;
  auto layout = pipeline::RowLayout::standard(periods_of(donemler, arena), periods_of(risk_donemler, arena));
  pipeline::Catalogue cat;
  maps_from_python(bolge_map, sube_map, cat);
  return encode_one_row(row, layout, cat, arena);
}

nb::object row_to_array_v300(Mapping row, Periods donemler, Periods risk_donemler) {
  json::Arena arena;
  auto layout = pipeline::RowLayout::compressed(periods_of(donemler, arena), periods_of(risk_donemler, arena));
  return encode_one_row(row, layout, pipeline::Catalogue(), arena);
}

std::string build_trending_html(Dict trending) {
  json::Arena arena;
  return pipeline::build_trending_html(to_value(trending.ptr(), arena, Unserialisable::AsText));
}

nb::object slim_diag_index(Mapping diag_index) {
  json::Arena arena;
  json::Value index = to_value(diag_index.ptr(), arena, Unserialisable::AsText);
  return to_python(pipeline::slim_diag_index(index, pipeline::remember_groups(feature_info_groups(arena)), arena));
}

// The package's atomic file writer as `_AtomicFile`; halvex._output wraps it as a file object.
void bind_files(nb::module_& m) {
  nb::class_<AtomicFile>(m, "_AtomicFile",
                         "A whole file written beside its target and renamed over it on commit() "
                         "(a pipe or device is written directly). The path is bytes (os.fsencode).")
      .def("__init__",
           [](AtomicFile* self, nb::bytes path) { new (self) AtomicFile(std::string(path.c_str(), path.size())); },
           nb::arg("path"))
      .def("write",
           [](AtomicFile& f, nb::bytes data) {
             std::string_view bytes(data.c_str(), data.size());
             nb::gil_scoped_release unlocked;
             f.write(bytes);
             return data.size();
           },
           nb::arg("data"))
      .def("commit",
           [](AtomicFile& f) {
             nb::gil_scoped_release unlocked;
             return f.commit();
           })
      .def("discard", [](AtomicFile& f) { f.discard(); })
      .def_prop_ro("target", [](const AtomicFile& f) { return nb::bytes(f.target().data(), f.target().size()); })
      .def_prop_ro("direct", &AtomicFile::direct)
      .def_prop_ro("written", &AtomicFile::written);
}

}  // namespace

NB_MODULE(vitrum, m) {
  register_error_translation();
  m.doc() = "Dashboard renderer: scoreboard document to a self-contained HTML dashboard.";
  // The paths component is bound once; a missing component makes the module unavailable.
  nb::module_ paths = nb::module_::import_("halvex.paths");
  for (const char* name : {"get_template_path", "get_template_v300_path", "get_js_dir"}) m.attr(name) = paths.attr(name);
  nb::module_::import_("jinja2");

  nb::list segments = nb::borrow<nb::list>(nb::cast(pipeline::SEGMENTS_LIST));
  nb::dict seg_map;
  for (size_t i = 0; i < segments.size(); ++i) seg_map[segments[i]] = i;
  m.attr("SEGMENTS_LIST") = segments;
  m.attr("SEG_MAP") = seg_map;
  m.attr("DEFAULT_CHUNK_SIZE") = pipeline::DEFAULT_CHUNK_SIZE;
  m.attr("DEFAULT_TOP_N") = pipeline::DEFAULT_TOP_N;
  m.attr("_GRUP_SHORT") = nb::borrow(reinterpret_cast<PyObject*>(&PyDict_Type))(nb::cast(pipeline::GRUP_SHORT));

  def(m, {"_mio", "An amount in TL as million TL (None when it is not a number).", "int | float | None"}, &mio,
      "v"_a);
  def(m,
      {"_build_bolge_sube_maps", "Region and branch catalogue: (BOLGE_LIST, BOLGE_MAP, SUBE_LIST, SUBE_MAP).",
       "tuple[list[dict[str, typing.Any]], dict[typing.Any, int], list[dict[str, typing.Any]], dict[typing.Any, int]]"},
      &build_maps, "all_rows"_a, "ref_csv_path"_a = nb::none());
  def(m, {"_row_to_array", "One row object as the compact row array of the standard page.", "list[typing.Any]"},
      &row_to_array, "row"_a, "donemler"_a, "risk_donemler"_a, "BOLGE_MAP"_a, "SUBE_MAP"_a);
  def(m,
      {"_row_to_array_v300", "One row object as the compact row array of the compressed-chunk page.",
       "list[typing.Any]"},
      &row_to_array_v300, "row"_a, "donemler"_a, "risk_donemler"_a);
  def(m, {"_build_trending_html", "The trending lists section as self-contained HTML.", "str"}, &build_trending_html,
      "trending"_a);
  def(m, {"_slim_diag_index", "The diagnostic index reduced to group letters.", "dict[str, dict[str, str]]"},
      &slim_diag_index, "diag_index"_a);
  bind_render(m);
  bind_files(m);
}
