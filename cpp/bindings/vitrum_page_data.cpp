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

namespace {

const char* const kAdminLayers[] = {"SQL", "SQL_DELTA"};

bool is_text(nb::handle o, std::string_view t) { return PyUnicode_Check(o.ptr()) && utf8_view(o.ptr()) == t; }

// A finding of the caller's index as the page gets it: without "aciklama"; nullopt when it
// belongs to an administrator-only layer that is withheld. Keys and values are held while
// they are read (reading may run code that changes the finding).
std::optional<json::Value> page_finding(nb::handle finding, bool withhold, json::Arena& arena) {
  if (!PyDict_Check(finding.ptr())) {
    throw TypeError(std::string("finding must be an object, not '") + Py_TYPE(finding.ptr())->tp_name + "'");
  }
  if (withhold) {
    nb::object katman = nb::borrow(PyDict_GetItemString(finding.ptr(), "katman"));
    for (const char* layer : kAdminLayers) {
      if (katman.is_valid() && is_text(katman, layer)) return std::nullopt;
    }
  }
  std::vector<json::Member> members;
  for (auto [k, v] : nb::borrow<nb::dict>(finding)) {
    nb::object key = nb::borrow(k), value = nb::borrow(v);
    if (is_text(key, "aciklama")) continue;
    std::string_view name = key_text(key.ptr(), arena);
    members.push_back(json::Member{name, to_value(value.ptr(), arena, Unserialisable::Opaque)});
  }
  return arena.object(members);
}

// The findings of one period (a list of findings, or an empty mapping or text, which hold
// none), with descriptions dropped and administrator-only layers withheld when asked.
json::Value page_findings(nb::handle findings, bool withhold, json::Arena& arena) {
  PyObject* f = findings.ptr();
  if (PyList_Check(f) || PyTuple_Check(f)) {
    std::vector<json::Value> kept;
    // Reading a finding may run code that changes the list: it is measured at each step.
    for (Py_ssize_t i = 0; i < Py_SIZE(f); ++i) {
      nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(f, i));
      if (auto finding = page_finding(item, withhold, arena)) kept.push_back(*finding);
    }
    return arena.array(kept);
  }
  if ((PyDict_Check(f) && PyDict_GET_SIZE(f) == 0) || (PyUnicode_Check(f) && PyUnicode_GET_LENGTH(f) == 0)) {
    return withhold ? json::Value::array(nullptr, 0) : to_value(f, arena, Unserialisable::Opaque);
  }
  throw TypeError(std::string("findings must be an array, not '") + Py_TYPE(f)->tp_name + "'");
}

// The caller's diagnostic index prepared for the page while it is read: only the entries of
// kept customers (when given), findings without descriptions, administrator-only findings
// withheld when asked. Reading it this way never converts what the page drops.
}  // namespace

json::Value caller_diag_index(nb::handle index, const std::unordered_set<std::string>* mutas, bool withhold,
                              json::Arena& arena) {
  std::vector<json::Member> customers;
  for (auto [ck, cv] : nb::borrow<nb::dict>(index)) {
    nb::object ckey = nb::borrow(ck), cval = nb::borrow(cv);
    std::string_view key = key_text(ckey.ptr(), arena);
    if (mutas && !mutas->count(std::string(key))) continue;
    if (!PyDict_Check(cval.ptr())) {
      customers.push_back(json::Member{key, to_value(cval.ptr(), arena, Unserialisable::Opaque)});
      continue;
    }
    std::vector<json::Member> periods;
    for (auto [pk, pv] : nb::borrow<nb::dict>(cval)) {
      nb::object pkey = nb::borrow(pk), pval = nb::borrow(pv);
      std::string_view period = key_text(pkey.ptr(), arena);
      json::Value value;
      if (PyDict_Check(pval.ptr()) && PyDict_GetItemString(pval.ptr(), "bulgular")) {
        std::vector<json::Member> fields;
        for (auto [fk, fv] : nb::borrow<nb::dict>(pval)) {
          nb::object fkey = nb::borrow(fk), fval = nb::borrow(fv);
          std::string_view field = key_text(fkey.ptr(), arena);
          fields.push_back(json::Member{field, is_text(fkey, "bulgular")
                                                   ? page_findings(fval, withhold, arena)
                                                   : to_value(fval.ptr(), arena, Unserialisable::Opaque)});
        }
        value = arena.object(fields);
      } else if (PyList_Check(pval.ptr()) || PyTuple_Check(pval.ptr())) {
        value = page_findings(pval, withhold, arena);
      } else {
        value = to_value(pval.ptr(), arena, Unserialisable::Opaque);
      }
      periods.push_back(json::Member{period, value});
    }
    customers.push_back(json::Member{key, arena.object(periods)});
  }
  return arena.object(customers);
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
