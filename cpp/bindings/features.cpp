// Python module halvex.ml.features: build_features' arguments and result. The
// build itself is the feature job of cpp/ml; its reads (DuckDB's Python package)
// and the DataFrame are halvex.ml._sources.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "common_args.h"
#include "common_arrow.h"
#include "common_cancel.h"
#include "ml/feature_job.h"
#include "ml/features.h"
#include "table/timing.h"

namespace nb = nanobind;
using namespace nb::literals;
using halvex::ml::FeatureSources;
using halvex::ml::FeatureSummary;
using halvex::table::ExportedColumn;

namespace {

const char* const kBuildDoc =
    "Build feature matrix from fact_periodic (vectorized).\n\n"
    "Loads the periodic facts from the DuckDB file at ``db_path`` (opened read-only), adds score\n"
    "history, risk movement, flag history, segment indicators, region code, the diagnostic\n"
    "features of ``cache/diag_features.parquet`` beside the database (defaults when absent) and\n"
    "the label: whether the score is \"YI\" within the next ``target_horizon`` periods of the\n"
    "entity. Returns a pandas DataFrame with the 42 columns entity_id, donem, FEATURE_COLS,\n"
    "label; an empty DataFrame when there are no facts.\n\n"
    "Score bands (qvr_band): -1 missing, 0 EUS (<500), 1 YIS (500-824), 2 HIGH (825+), 3 YI.";

nb::object python_side(const char* name) { return nb::module_::import_("halvex.ml._sources").attr(name); }

// The sources of one build; the filters are SQL conditions on the facts and on the diagnostic rows.
FeatureSources sources(std::string fact_filter, std::string diag_filter) {
  auto fetch_facts = [fact_filter](const std::string& path, const FeatureSources::RowsKnown& rows_known) {
    nb::gil_scoped_acquire gil;
    nb::object told = nb::cpp_function([&rows_known](std::size_t rows) { rows_known(rows); });
    return halvex::py::stream_of(python_side("fetch_facts")(path, halvex::ml::fact_query(fact_filter), fact_filter, told));
  };
  auto read_diagnostics = [diag_filter](const std::string& path, bool is_dir) {
    nb::gil_scoped_acquire gil;
    return halvex::py::stream_of(python_side("read_diagnostics")(path, is_dir, diag_filter));
  };
  return FeatureSources{fetch_facts, read_diagnostics};
}

template <class T>
nb::object numpy_of(ExportedColumn& c) {
  nb::capsule owner(c.values(), [](void* p) noexcept { std::free(p); });
  T* data = static_cast<T*>(c.take_values());
  return nb::cast(nb::ndarray<nb::numpy, T, nb::ndim<1>>(data, {c.length()}, owner));
}

// A numpy array, or for text the pandas text array of the pandas in use.
nb::object to_python(ExportedColumn& c) {
  switch (c.kind()) {
    case ExportedColumn::Kind::Float64: return numpy_of<double>(c);
    case ExportedColumn::Kind::Int64: return numpy_of<std::int64_t>(c);
    case ExportedColumn::Kind::Int32: return numpy_of<std::int32_t>(c);
    case ExportedColumn::Kind::Int16: return numpy_of<std::int16_t>(c);
    case ExportedColumn::Kind::Bool: return numpy_of<bool>(c);
    case ExportedColumn::Kind::Text: break;
  }
  return python_side("text_column")(reinterpret_cast<std::uintptr_t>(c.arrow_array()),
                                    reinterpret_cast<std::uintptr_t>(c.arrow_schema()));
}

// The matrix of the entities that pass `fact_filter`, with the diagnostic rows that pass
// `diag_filter`, as a DataFrame, and what the build reports.
using Built = std::pair<nb::object, std::optional<FeatureSummary>>;
Built build_frame(const std::string& path, std::int64_t horizon, const std::string& fact_filter,
                  const std::string& diag_filter) {
  const FeatureSources from = sources(fact_filter, diag_filter);
  halvex::ml::FeatureJobResult result = halvex::py::SignalCancel().run([&] {
    nb::gil_scoped_release unlocked;  // the sources take it back for their reads
    return halvex::ml::run_feature_job(path, horizon, from);
  });
  halvex::table::StageTimer timer;
  nb::dict columns;
  for (ExportedColumn& c : result.columns) columns[c.name().c_str()] = to_python(c);
  nb::object frame = python_side("frame")(columns);
  timer.mark("data frame");
  return {frame, result.summary};
}

nb::object build_features(halvex::py::Path db_path, halvex::py::Horizon target_horizon) {
  auto [frame, summary] = build_frame(db_path, target_horizon.periods, {}, {});
  if (summary)
    for (const auto& line : summary_lines(*summary)) nb::print(line.c_str());
  return frame;
}

// Internal: a build of some entities only (halvex features in partitions), and its summary
// (None without facts), unprinted.
nb::tuple build_features_part(halvex::py::Path db_path, halvex::py::Horizon target_horizon, nb::str fact_filter,
                              nb::str diag_filter) {
  using halvex::py::utf8_view;
  auto [frame, summary] = build_frame(db_path, target_horizon.periods, std::string(utf8_view(fact_filter.ptr())),
                                      std::string(utf8_view(diag_filter.ptr())));
  return nb::make_tuple(frame, nb::cast(summary));
}

}  // namespace

NB_MODULE(features, m) {
  m.doc() = "Feature engineering for YI prediction model.";
  halvex::py::register_error_translation();

  m.attr("DIAG_FEATURE_COLS") = nb::cast(halvex::ml::diag_feature_cols());
  m.attr("FEATURE_COLS") = nb::cast(halvex::ml::feature_cols());
  nb::dict labels;  // in the columns' order
  for (const auto& [name, label] : halvex::ml::feature_labels()) labels[name.c_str()] = label.c_str();
  m.attr("FEATURE_LABELS") = labels;

  // Its signature has never shown types, and a missing db_path reads as too few arguments.
  halvex::py::def(m, {.name = "build_features", .doc = kBuildDoc, .missing_is_arity = true}, &build_features,
                  "db_path"_a, "target_horizon"_a = 3);
  // What a build of some entities reports, for adding the builds of a whole table up.
  nb::class_<FeatureSummary>(m, "_FeatureSummary", "The figures of a build's summary lines.")
      .def(nb::init<>())
      .def_rw("diag_file", &FeatureSummary::diag_file)
      .def_rw("diag_rows", &FeatureSummary::diag_rows)
      .def_rw("rows", &FeatureSummary::rows)
      .def_rw("entities", &FeatureSummary::entities)
      .def_rw("periods", &FeatureSummary::periods)
      .def_rw("labeled", &FeatureSummary::labeled)
      .def_rw("yi", &FeatureSummary::yi)
      .def_rw("non_yi", &FeatureSummary::non_yi)
      .def("lines", &halvex::ml::summary_lines, "The lines a build prints.");
  halvex::py::def(m, {"_diagnostic_path", "Where a build looks for the diagnostic file of the database at db_path.", "str"},
                  +[](halvex::py::Path db_path) { return halvex::ml::diagnostic_file_path(db_path); }, "db_path"_a);
  halvex::py::def(m, {"_build_features_part", "A build of the entities that pass the filters, and its summary.", "tuple"},
                  &build_features_part, "db_path"_a, "target_horizon"_a, "fact_filter"_a, "diag_filter"_a);
}
