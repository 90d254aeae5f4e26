// The render functions of halvex.pipeline.vitrum, with Python as their host.
#pragma once

#include <nanobind/nanobind.h>

#include "common_args.h"
#include "json/value.h"
#include "pipeline/page_data.h"

namespace halvex::py {
namespace nb = nanobind;

// `module` is the vitrum module: the halvex.paths operations are looked up on it at call time.
nb::object render_html(nb::handle module, const Arguments& a);
nb::object render_html_v300(nb::handle module, const Arguments& a);

// FI of halvex.feature_info asked in turn (kik, memzuc, rkd) for the group of a criterion
// code; FI is looked up at the first question, and its absence or any error there counts as
// no group. Groups are put in `arena`.
pipeline::GroupResolver feature_info_groups(json::Arena& arena);

}  // namespace halvex::py
