#include <optional>

#include "common/errors.h"

#include "common_args.h"
#include "pipeline/page_data.h"
#include "vitrum_render.h"
#include "vitrum_values.h"

namespace halvex::py {

std::optional<nb::object> diag_groups_name(const char* name) {
  try {
    return nb::module_::import_("halvex.diag_groups").attr(name);
  } catch (const nb::python_error& e) {
    if (e.matches(PyExc_ImportError) || e.matches(PyExc_AttributeError)) return std::nullopt;
    throw;
  }
}

json::Value FeatureInfoResolver::operator()(const json::Value& kriter) {
  std::string key;
  bool cacheable = kriter.is_string();
  if (cacheable) {
    key = std::string(kriter.as_string());
    auto it = cache_.find(key);
    if (it != cache_.end()) return it->second;
  }
  json::Value g = ask(kriter);
  if (cacheable) cache_.emplace(std::move(key), g);
  return g;
}

json::Value FeatureInfoResolver::ask(const json::Value& kriter) {
  // The component is looked up once per slimming; its absence means no derived groups.
  if (!looked_up_) {
    looked_up_ = true;
    try {
      fi_ = nb::module_::import_("halvex.feature_info").attr("FI");
    } catch (const nb::python_error&) {
    }
  }
  if (!fi_.is_valid()) return json::Value::null();
  try {
    nb::object k = to_python(kriter);
    for (const char* method : {"grup_for_kik", "grup_for_memzuc", "grup_for_rkd"}) {
      nb::object r = fi_.attr(method)(k);
      int truth = PyObject_IsTrue(r.ptr());
      if (truth < 0) throw PythonError();
      if (truth) return to_value(r.ptr(), arena_, Unserialisable::AsText);
    }
  } catch (const nb::python_error&) {
  }
  return json::Value::null();
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

}  // namespace halvex::py
