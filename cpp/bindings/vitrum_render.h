// The module functions of halvex.pipeline.vitrum that render pages and page sections.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <unordered_map>
#include <unordered_set>

#include "json/value.h"
#include "pipeline/catalogue.h"
#include "pipeline/page_data.h"

namespace halvex::py {
namespace nb = nanobind;

// `module` is the vitrum module: the halvex.paths operations are looked up on it at call time.
nb::object render_html(nb::handle module, const nb::args& args, const nb::kwargs& kwargs);
nb::object render_html_v300(nb::handle module, const nb::args& args, const nb::kwargs& kwargs);
nb::object build_trending_html(const nb::args& args, const nb::kwargs& kwargs);
nb::object slim_diag_index(const nb::args& args, const nb::kwargs& kwargs);

// (BOLGE_LIST, BOLGE_MAP, SUBE_LIST, SUBE_MAP) as Python objects.
nb::tuple catalogue_to_python(const pipeline::Catalogue& cat);
// Region and branch maps given by a caller, for encoding single rows.
void maps_from_python(nb::handle bolge_map, nb::handle sube_map, pipeline::Catalogue& cat);

// The page data of a render: diagnostic index prepared for the page mode, vocabularies from
// halvex.diag_groups (looked up now, absence tolerated) and the caller's extra sections.
// diag_index_py: the caller's own index (in-memory documents), read in place of in.diag_index.
// extra_data and diag_index_py are invalid objects when not given.
pipeline::PageData prepare_page_data(const pipeline::PageDataInputs& in,
                                     const std::unordered_set<std::string>* filtered_mutas,
                                     const nb::object& extra_data, json::Arena& arena,
                                     const nb::object& diag_index_py);

// FI of halvex.feature_info asked in turn (kik, memzuc, rkd) for the group of a criterion
// code; any error there counts as no group. Answers are remembered per code for one slimming.
class FeatureInfoResolver {
 public:
  explicit FeatureInfoResolver(json::Arena& arena) : arena_(arena) {}
  json::Value operator()(const json::Value& kriter);

 private:
  json::Value ask(const json::Value& kriter);
  json::Arena& arena_;
  nb::object fi_;
  bool looked_up_ = false;
  std::unordered_map<std::string, json::Value> cache_;
};

}  // namespace halvex::py
