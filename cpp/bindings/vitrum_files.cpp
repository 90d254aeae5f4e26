#include "vitrum_render.h"

#include <string>
#include <string_view>

#include "common/atomic_file.h"
#include "common/errors.h"

namespace nb = nanobind;

namespace halvex::py {

namespace {

std::string path_bytes(const nb::bytes& path) { return std::string(path.c_str(), path.size()); }

}  // namespace

void bind_files(nb::module_& m) {
  nb::class_<AtomicFile>(m, "_AtomicFile",
                         "A whole file written beside its target and renamed over it on commit() "
                         "(a pipe or device is written directly). The path is bytes (os.fsencode).")
      .def("__init__",
           [](AtomicFile* self, nb::bytes path) {
             std::string p = path_bytes(path);
             new (self) AtomicFile(p);
           },
           nb::arg("path"))
      .def("write",
           [](AtomicFile& f, nb::bytes data) {
             std::string_view bytes(data.c_str(), data.size());
             nb::gil_scoped_release unlocked;
             f.write(bytes);
             return data.size();
           },
           nb::arg("data"))
      .def("commit",
           [](AtomicFile& f) {
             nb::gil_scoped_release unlocked;
             return f.commit();
           })
      .def("discard", [](AtomicFile& f) { f.discard(); })
      .def_prop_ro("target", [](const AtomicFile& f) { return nb::bytes(f.target().data(), f.target().size()); })
      .def_prop_ro("direct", &AtomicFile::direct)
      .def_prop_ro("written", &AtomicFile::written);
}

}  // namespace halvex::py
