// halvex.pipeline.vitrum: argument binding and conversions around the renderer core.
#include <Python.h>
#include <nanobind/nanobind.h>

#include "py_args.h"
#include "py_convert.h"
#include "py_support.h"
#include "vitrum_files.h"
#include "vitrum_render.h"
#include "py_support.h"
#include "json/writer.h"
#include "pipeline/amounts.h"
#include "pipeline/catalogue.h"
#include "pipeline/constants.h"
#include "pipeline/row_encoding.h"

namespace nb = nanobind;
using namespace halvex;
using namespace halvex::py;

namespace {

PyObject* py_mio(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_mio", {"v"}, 1};
    std::vector<PyObject*> a;
    if (!bind_arguments(sig, args, kwargs, a)) return nullptr;
    json::Arena arena;
    // Anything float() accepts is an amount; other values (a date, a set) are not.
    json::Value v = to_value(a[0], arena, Unserialisable::Opaque);
    if (v.kind() == json::Kind::Opaque) {
      auto* number = Py_TYPE(a[0])->tp_as_number;
      if (number && number->nb_float) {
        double d = PyFloat_AsDouble(a[0]);
        if (d == -1.0 && PyErr_Occurred()) throw PythonError();
        v = json::Value::real(d);
      } else {
        v = json::Value::null();
      }
    }
    return to_python(pipeline::mio(v, arena));
  });
}

PyObject* py_build_maps(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_build_bolge_sube_maps", {"all_rows", "ref_csv_path"}, 1};
    std::vector<PyObject*> a;
    if (!bind_arguments(sig, args, kwargs, a)) return nullptr;
    std::optional<std::string> ref;
    if (a[1] && a[1] != Py_None) ref = fspath_text(a[1]);
    PyRowSource rows(a[0]);
    std::vector<uint32_t> order(rows.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
    pipeline::Catalogue cat;
    pipeline::build_catalogue(rows, order, pipeline::read_reference_names(ref), cat);
    return catalogue_to_python(cat);
  });
}

std::vector<json::Value> periods_of(PyObject* obj, json::Arena& arena) {
  return pipeline::period_items(to_value(obj, arena), arena);
}

// Fetches the layout's members of one caller's row (no copy of the row is made).
struct SingleRow {
  SingleRow(PyObject* row, const pipeline::RowLayout& layout)
      : list(own(PyList_New(1))), values(layout.keys.size()), found(new bool[layout.keys.size()]) {
    Py_INCREF(row);
    PyList_SET_ITEM(list.get(), 0, row);
    source = std::make_unique<PyRowSource>(list.get());
    source->prepare(layout.keys);
    source->fetch(0, values.data(), found.get());
  }
  Ref list;
  std::unique_ptr<PyRowSource> source;
  std::vector<json::Value> values;
  std::unique_ptr<bool[]> found;
};

PyObject* py_row_to_array(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_row_to_array", {"row", "donemler", "risk_donemler", "BOLGE_MAP", "SUBE_MAP"}, 5};
    std::vector<PyObject*> a;
    if (!bind_arguments(sig, args, kwargs, a)) return nullptr;
    json::Arena arena;
    auto layout = pipeline::RowLayout::standard(periods_of(a[1], arena), periods_of(a[2], arena));
    pipeline::Catalogue cat;
    maps_from_python(a[3], a[4], cat);
    SingleRow row(a[0], layout);
    std::vector<json::Value> out;
    pipeline::encode_row_standard(layout, row.values.data(), row.found.get(), cat, arena, out);
    return to_python(json::Value::array(out.data(), out.size()));
  });
}

PyObject* py_row_to_array_v300(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_row_to_array_v300", {"row", "donemler", "risk_donemler"}, 3};
    std::vector<PyObject*> a;
    if (!bind_arguments(sig, args, kwargs, a)) return nullptr;
    json::Arena arena;
    auto layout = pipeline::RowLayout::compressed(periods_of(a[1], arena), periods_of(a[2], arena));
    SingleRow row(a[0], layout);
    std::vector<json::Value> out;
    pipeline::encode_row_compressed(layout, row.values.data(), row.found.get(), arena, out);
    return to_python(json::Value::array(out.data(), out.size()));
  });
}

PyMethodDef kMethods[] = {
    {"_mio", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_mio)), METH_VARARGS | METH_KEYWORDS,
     "_mio(v)\n--\n\nAn amount in TL as million TL (None when it is not a number)."},
    {"_build_bolge_sube_maps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_build_maps)),
     METH_VARARGS | METH_KEYWORDS,
     "_build_bolge_sube_maps(all_rows, ref_csv_path=None)\n--\n\n"
     "Region and branch catalogue: (BOLGE_LIST, BOLGE_MAP, SUBE_LIST, SUBE_MAP)."},
    {"_row_to_array", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_row_to_array)),
     METH_VARARGS | METH_KEYWORDS,
     "_row_to_array(row, donemler, risk_donemler, BOLGE_MAP, SUBE_MAP)\n--\n\n"
     "One row object as the compact row array of the standard page."},
    {"_build_trending_html", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_build_trending_html)),
     METH_VARARGS | METH_KEYWORDS,
     "_build_trending_html(trending)\n--\n\nThe trending lists section as self-contained HTML."},
    {"_slim_diag_index", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_slim_diag_index)),
     METH_VARARGS | METH_KEYWORDS,
     "_slim_diag_index(diag_index)\n--\n\nThe diagnostic index reduced to group letters."},
    {"render_html", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_render_html)),
     METH_VARARGS | METH_KEYWORDS,
     "render_html(scoreboard_or_path, output_html=None, ref_csv_path=None, trending_path=None, "
     "chunk_size=10000, top_n=100, external_link='', row_filter=None, max_size_mb=0.0, extra_data=None)\n--\n\n"
     "Render the scoreboard as the AG Grid HTML dashboard."},
    {"_row_to_array_v300", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_row_to_array_v300)),
     METH_VARARGS | METH_KEYWORDS,
     "_row_to_array_v300(row, donemler, risk_donemler)\n--\n\n"
     "One row object as the compact row array of the compressed-chunk page."},
    {"render_html_v300", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_render_html_v300)),
     METH_VARARGS | METH_KEYWORDS,
     "render_html_v300(json_path, output_html=None, chunk_size=10000, top_n=100, row_filter=None, "
     "max_size_mb=0.0)\n--\n\nRender the scoreboard file as the compressed-chunk (gzip+base64) dashboard."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

NB_MODULE(vitrum, m) {
  m.doc() = "Dashboard renderer: scoreboard document to a self-contained HTML dashboard.";
  // The paths component is bound once; a missing component makes the module unavailable.
  nb::module_ paths = nb::module_::import_("halvex.paths");
  m.attr("get_template_path") = paths.attr("get_template_path");
  m.attr("get_template_v300_path") = paths.attr("get_template_v300_path");
  m.attr("get_js_dir") = paths.attr("get_js_dir");
  nb::module_::import_("jinja2");

  nb::list segments;
  for (auto s : pipeline::SEGMENTS_LIST) segments.append(nb::str(s.data(), s.size()));
  m.attr("SEGMENTS_LIST") = segments;
  nb::dict seg_map;
  for (size_t i = 0; i < pipeline::SEGMENTS_LIST.size(); ++i) {
    auto s = pipeline::SEGMENTS_LIST[i];
    seg_map[nb::str(s.data(), s.size())] = nb::int_(static_cast<long>(i));
  }
  m.attr("SEG_MAP") = seg_map;
  m.attr("DEFAULT_CHUNK_SIZE") = nb::int_(static_cast<long>(pipeline::DEFAULT_CHUNK_SIZE));
  m.attr("DEFAULT_TOP_N") = nb::int_(static_cast<long>(pipeline::DEFAULT_TOP_N));
  nb::dict grup_short;
  for (const auto& [name, letter] : pipeline::GRUP_SHORT) {
    grup_short[nb::str(name.data(), name.size())] = nb::str(letter.data(), letter.size());
  }
  m.attr("_GRUP_SHORT") = grup_short;

  if (PyModule_AddFunctions(m.ptr(), kMethods) != 0) throw nb::python_error();
  halvex::py::bind_files(m);
}
