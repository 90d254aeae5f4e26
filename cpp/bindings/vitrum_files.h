// The package's atomic file writer as a Python class of the vitrum module (`_AtomicFile`),
// for the outputs the command line writes itself; halvex._output wraps it as a file object.
#pragma once

#include <nanobind/nanobind.h>

namespace halvex::py {

void bind_files(nanobind::module_& m);

}  // namespace halvex::py
