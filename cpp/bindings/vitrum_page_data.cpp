#include <optional>

#include "common/errors.h"

#include "json/writer.h"
#include "py_args.h"
#include "py_convert.h"
#include "py_support.h"
#include "vitrum_render.h"

namespace halvex::py {

namespace {

const json::WriteOptions kCompact{false, true};

// A name of halvex.diag_groups; nullopt when the module or the name cannot be imported.
std::optional<Ref> diag_groups_name(const char* name) {
  PyObject* mod = PyImport_ImportModule("halvex.diag_groups");
  if (!mod) {
    if (PyErr_ExceptionMatches(PyExc_ImportError)) {
      PyErr_Clear();
      return std::nullopt;
    }
    throw PythonError();
  }
  Ref module(mod);
  PyObject* value = PyObject_GetAttrString(mod, name);
  if (!value) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      return std::nullopt;
    }
    throw PythonError();
  }
  return Ref(value);
}

// json.dumps of a section, with values that have no JSON form written as their text.
std::string section_json(PyObject* extra, const char* key, const char* fallback, json::Arena& arena) {
  PyObject* v = PyDict_GetItemString(extra, key);
  if (!v) return fallback;
  Ref held(Py_NewRef(v));
  return json::to_json(to_value(v, arena, Unserialisable::AsText), kCompact);
}

}  // namespace

FeatureInfoResolver::~FeatureInfoResolver() { Py_XDECREF(fi_); }

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
    if (PyObject* mod = PyImport_ImportModule("halvex.feature_info")) {
      fi_ = PyObject_GetAttrString(mod, "FI");
      Py_DECREF(mod);
    }
    if (!fi_) PyErr_Clear();
  }
  if (!fi_) return json::Value::null();
  Ref k(to_python(kriter));
  if (!k) {
    PyErr_Clear();
    return json::Value::null();
  }
  for (const char* method : {"grup_for_kik", "grup_for_memzuc", "grup_for_rkd"}) {
    PyObject* r = PyObject_CallMethod(fi_, method, "O", k.get());
    if (!r) {
      PyErr_Clear();
      return json::Value::null();
    }
    Ref result(r);
    int truth = PyObject_IsTrue(r);
    if (truth < 0) {
      PyErr_Clear();
      return json::Value::null();
    }
    if (!truth) continue;
    try {
      // The group must outlive the Python result: copy its text into the arena.
      json::Value g = to_value(r, arena_, Unserialisable::AsText);
      if (g.is_string()) g = arena_.string(g.as_string());
      return g;
    } catch (const PythonError&) {
      PyErr_Clear();
      return json::Value::null();
    }
  }
  return json::Value::null();
}

namespace {

const char* const kAdminLayers[] = {"SQL", "SQL_DELTA"};

// A finding of the caller's index as the page gets it: without "aciklama"; nullopt when it
// belongs to an administrator-only layer that is withheld.
std::optional<json::Value> page_finding(PyObject* finding, bool withhold, json::Arena& arena) {
  if (!PyDict_Check(finding)) {
    throw TypeError(std::string("finding must be an object, not '") + Py_TYPE(finding)->tp_name + "'");
  }
  if (withhold) {
    PyObject* katman = PyDict_GetItemString(finding, "katman");  // no code runs while it is read
    if (katman && PyUnicode_Check(katman)) {
      std::string_view k = utf8_view(katman);
      for (const char* layer : kAdminLayers) {
        if (k == layer) return std::nullopt;
      }
    }
  }
  std::vector<json::Member> members;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(finding, &pos, &key, &value)) {
    Ref hk(Py_NewRef(key)), hv(Py_NewRef(value));
    if (PyUnicode_Check(key) && utf8_view(key) == "aciklama") continue;
    members.push_back(json::Member{key_text(key, arena), to_value(value, arena, Unserialisable::Opaque)});
  }
  return arena.object(members);
}

// The findings of one period (a list of findings, or an empty mapping or text, which hold
// none), with descriptions dropped and administrator-only layers withheld when asked.
json::Value page_findings(PyObject* findings, bool withhold, json::Arena& arena) {
  if (PyList_Check(findings) || PyTuple_Check(findings)) {
    std::vector<json::Value> kept;
    // Converting a finding may run code that changes the list: it is measured at each step.
    for (Py_ssize_t i = 0; i < Py_SIZE(findings); ++i) {
      Ref item(Py_NewRef(PySequence_Fast_GET_ITEM(findings, i)));
      if (auto f = page_finding(item.get(), withhold, arena)) kept.push_back(*f);
    }
    return arena.array(kept);
  }
  if ((PyDict_Check(findings) && PyDict_GET_SIZE(findings) == 0) ||
      (PyUnicode_Check(findings) && PyUnicode_GET_LENGTH(findings) == 0)) {
    return withhold ? json::Value::array(nullptr, 0) : to_value(findings, arena, Unserialisable::Opaque);
  }
  throw TypeError(std::string("findings must be an array, not '") + Py_TYPE(findings)->tp_name + "'");
}

// The caller's diagnostic index prepared for the page while it is read: only the entries of
// kept customers (when given), findings without descriptions, administrator-only findings
// withheld when asked. Reading it this way never converts what the page drops.
json::Value page_diag_index(PyObject* index, const std::unordered_set<std::string>* mutas, bool withhold,
                            json::Arena& arena) {
  std::vector<json::Member> customers;
  PyObject *ckey, *cval;
  Py_ssize_t cpos = 0;
  while (PyDict_Next(index, &cpos, &ckey, &cval)) {
    Ref hk(Py_NewRef(ckey)), hv(Py_NewRef(cval));
    std::string_view key = key_text(ckey, arena);
    if (mutas && !mutas->count(std::string(key))) continue;
    if (!PyDict_Check(cval)) {
      customers.push_back(json::Member{key, to_value(cval, arena, Unserialisable::Opaque)});
      continue;
    }
    std::vector<json::Member> periods;
    PyObject *pkey, *pval;
    Py_ssize_t ppos = 0;
    while (PyDict_Next(cval, &ppos, &pkey, &pval)) {
      Ref hk(Py_NewRef(pkey)), hv(Py_NewRef(pval));
      std::string_view pk = key_text(pkey, arena);
      json::Value pv;
      if (PyDict_Check(pval) && PyDict_GetItemString(pval, "bulgular")) {
        std::vector<json::Member> fields;
        PyObject *fkey, *fval;
        Py_ssize_t fpos = 0;
        while (PyDict_Next(pval, &fpos, &fkey, &fval)) {
          Ref hk(Py_NewRef(fkey)), hv(Py_NewRef(fval));
          bool is_findings = PyUnicode_Check(fkey) && utf8_view(fkey) == "bulgular";
          fields.push_back(json::Member{key_text(fkey, arena), is_findings ? page_findings(fval, withhold, arena)
                                                                    : to_value(fval, arena, Unserialisable::Opaque)});
        }
        pv = arena.object(fields);
      } else if (PyList_Check(pval) || PyTuple_Check(pval)) {
        pv = page_findings(pval, withhold, arena);
      } else {
        pv = to_value(pval, arena, Unserialisable::Opaque);
      }
      periods.push_back(json::Member{pk, pv});
    }
    customers.push_back(json::Member{key, arena.object(periods)});
  }
  return arena.object(customers);
}

}  // namespace

pipeline::PageData prepare_page_data(const pipeline::PageDataInputs& in,
                                     const std::unordered_set<std::string>* filtered_mutas,
                                     PyObject* extra_data, json::Arena& arena, PyObject* diag_index_py) {
  pipeline::PageData page;
  // B. Flow matrix and band snapshot.
  if (in.flow_matrix) page.flow_matrix_js = json::to_json(*in.flow_matrix, kCompact);
  if (in.band_snapshot) page.band_snapshot_js = json::to_json(*in.band_snapshot, kCompact);

  // C. The diagnostic index. The caller's document is never touched: a caller's index is
  // read into a new tree, a parsed one is an immutable tree of which changed versions are made.
  bool has_extra = extra_data && PyDict_GET_SIZE(extra_data) > 0;
  if (has_extra) {
    PyObject* found = PyDict_GetItemString(extra_data, "page_mode");
    if (found) {
      Ref mode(Py_NewRef(found));
      Ref text = own(PyObject_Str(mode.get()));
      page.page_mode = std::string(utf8_view(text.get()));
    }
  }
  const bool admin = page.page_mode == "admin";
  bool sql_admin_only = false;
  if (auto flag = diag_groups_name("SQL_ADMIN_ONLY")) {
    int t = PyObject_IsTrue(flag->get());
    if (t < 0) throw PythonError();
    sql_admin_only = t != 0;
  }
  json::Value diag;
  if (diag_index_py && PyDict_Check(diag_index_py)) {
    const bool restrict = filtered_mutas && PyDict_GET_SIZE(diag_index_py) > 0;
    diag = page_diag_index(diag_index_py, restrict ? filtered_mutas : nullptr, sql_admin_only && !admin, arena);
  } else {
    if (diag_index_py) {
      diag = to_value(diag_index_py, arena, Unserialisable::Opaque);
    } else {
      diag = in.diag_index ? *in.diag_index : json::Value::object(nullptr, 0);
    }
    if (filtered_mutas && diag.truthy()) diag = pipeline::restrict_diag_index(diag, *filtered_mutas, arena);
    if (sql_admin_only && !admin && diag.truthy()) diag = pipeline::withhold_admin_layers(diag, arena);
    if (diag.truthy()) diag = pipeline::strip_descriptions(diag, arena);
  }

  // D. Vocabularies: all four names or none.
  auto groups = diag_groups_name("DIAG_GROUPS");
  auto kriter = diag_groups_name("KRITER_ACIKLAMA");
  auto kik = diag_groups_name("KIK_COL_ACIKLAMA");
  auto memzuc = diag_groups_name("MEMZUC_COL_ACIKLAMA");
  if (groups && kriter && kik && memzuc) {
    page.diag_groups_js = json::to_json(to_value(groups->get(), arena), kCompact);
    std::vector<json::Member> merged;
    for (PyObject* mapping : {kriter->get(), kik->get(), memzuc->get()}) {
      json::Value m = to_value(mapping, arena);
      if (!m.is_object()) {
        throw TypeError(std::string("'") + json::type_name(m) + "' object is not a mapping");
      }
      for (size_t i = 0; i < m.size(); ++i) {
        const json::Member& mem = m.member(i);
        bool replaced = false;
        for (auto& existing : merged) {
          if (existing.key == mem.key) {
            existing.value = mem.value;
            replaced = true;
            break;
          }
        }
        if (!replaced) merged.push_back(mem);
      }
    }
    page.kriter_aciklama_js = json::to_json(arena.object(merged), kCompact);
  }

  // E. The index for the page: whole for administrators, group letters otherwise.
  if (diag.truthy()) {
    if (admin) {
      page.diag_index_js = json::to_json(diag, kCompact);
    } else {
      FeatureInfoResolver fi(arena);
      pipeline::GroupResolver resolve = [&](const json::Value& k) { return fi(k); };
      page.diag_index_js = json::to_json(pipeline::slim_diag_index(diag, resolve, arena), kCompact);
    }
  }

  // F. Extra sections.
  if (has_extra) {
    page.backtest_summary_js = section_json(extra_data, "backtest_summary", "{}", arena);
    page.backtest_firma_js = section_json(extra_data, "backtest_firma", "{}", arena);
    page.ml_predictions_js = section_json(extra_data, "ml_predictions", "[]", arena);
  }
  return page;
}

PyObject* py_build_trending_html(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_build_trending_html", {"trending"}, 1};
    std::vector<PyObject*> a;
    if (!bind_arguments(sig, args, kwargs, a)) return nullptr;
    if (!PyDict_Check(a[0])) {
      argument_type_error("trending", "dict", a[0]);
      return nullptr;
    }
    json::Arena arena;
    json::Value doc = to_value(a[0], arena, Unserialisable::AsText);
    return str_from(pipeline::build_trending_html(doc)).release();
  });
}

PyObject* py_slim_diag_index(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_slim_diag_index", {"diag_index"}, 1};
    std::vector<PyObject*> a;
    if (!bind_arguments(sig, args, kwargs, a)) return nullptr;
    json::Arena arena;
    json::Value index = to_value(a[0], arena, Unserialisable::AsText);
    FeatureInfoResolver fi(arena);
    pipeline::GroupResolver resolve = [&](const json::Value& k) { return fi(k); };
    return to_python(pipeline::slim_diag_index(index, resolve, arena));
  });
}

}  // namespace halvex::py
