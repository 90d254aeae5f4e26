// The module functions of halvex.pipeline.vitrum that render pages and page sections.
#pragma once

#include <Python.h>

#include "pipeline/catalogue.h"

namespace halvex::py {

PyObject* py_render_html(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_render_html_v300(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_build_trending_html(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_slim_diag_index(PyObject* self, PyObject* args, PyObject* kwargs);

// (BOLGE_LIST, BOLGE_MAP, SUBE_LIST, SUBE_MAP) as Python objects.
PyObject* catalogue_to_python(const pipeline::Catalogue& cat);
// Region and branch maps given by a caller, for encoding single rows.
void maps_from_python(PyObject* bolge_map, PyObject* sube_map, pipeline::Catalogue& cat);

}  // namespace halvex::py

#include <unordered_map>
#include <unordered_set>
#include <string>

#include "json/value.h"
#include "pipeline/page_data.h"

namespace halvex::py {

// The page data of a render: diagnostic index prepared for the page mode, vocabularies from
// halvex.diag_groups (looked up now, absence tolerated) and the caller's extra sections.
// diag_index_py: the caller's own index (in-memory documents), read in place of in.diag_index.
pipeline::PageData prepare_page_data(const pipeline::PageDataInputs& in,
                                     const std::unordered_set<std::string>* filtered_mutas,
                                     PyObject* extra_data, json::Arena& arena, PyObject* diag_index_py);

// FI of halvex.feature_info asked in turn (kik, memzuc, rkd) for the group of a criterion
// code; any error there counts as no group. Answers are remembered per code for one slimming.
class FeatureInfoResolver {
 public:
  explicit FeatureInfoResolver(json::Arena& arena) : arena_(arena) {}
  ~FeatureInfoResolver();
  json::Value operator()(const json::Value& kriter);

 private:
  json::Value ask(const json::Value& kriter);
  json::Arena& arena_;
  PyObject* fi_ = nullptr;
  bool looked_up_ = false;
  std::unordered_map<std::string, json::Value> cache_;
};

}  // namespace halvex::py
