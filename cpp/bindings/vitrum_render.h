// The render functions of halvex.pipeline.vitrum, with Python as their host.
#pragma once

#include <nanobind/nanobind.h>

#include "json/value.h"
#include "pipeline/page_data.h"

namespace halvex::py {
namespace nb = nanobind;

// render_html and render_html_v300 on the vitrum module `m`, whose halvex.paths operations
// they look up at call time.
void bind_render(nb::module_& m);

// FI of halvex.feature_info asked in turn (kik, memzuc, rkd) for the group of a criterion
// code; FI is looked up at the first question, and its absence or any error there counts as
// no group. Groups are put in `arena`.
pipeline::GroupResolver feature_info_groups(json::Arena& arena);

}  // namespace halvex::py
