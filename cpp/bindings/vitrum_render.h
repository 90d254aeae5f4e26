// The parts of halvex.pipeline.vitrum beside its module definition: the render functions with
// Python as their host, and the catalogue and file-writer objects.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <unordered_map>

#include "json/value.h"
#include "pipeline/catalogue.h"
#include <optional>

namespace halvex::py {
namespace nb = nanobind;

// `module` is the vitrum module: the halvex.paths operations are looked up on it at call time.
nb::object render_html(nb::handle module, const nb::args& args, const nb::kwargs& kwargs);
nb::object render_html_v300(nb::handle module, const nb::args& args, const nb::kwargs& kwargs);

// (BOLGE_LIST, BOLGE_MAP, SUBE_LIST, SUBE_MAP) as Python objects.
nb::tuple catalogue_to_python(const pipeline::Catalogue& cat);
// Region and branch maps given by a caller, for encoding single rows.
void maps_from_python(nb::handle bolge_map, nb::handle sube_map, pipeline::Catalogue& cat);

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

// The package's atomic file writer as a Python class (`_AtomicFile`), for the outputs the
// command line writes itself; halvex._output wraps it as a file object.
void bind_files(nb::module_& m);

}  // namespace halvex::py
