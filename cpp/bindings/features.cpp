// Python module halvex.ml.features: build_features' arguments, the DuckDB and
// Parquet reads through DuckDB's Python package, and the pandas result. The
// build itself is the feature job of cpp/ml.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdlib>
#include <string>

#include "common_args.h"
#include "ml/feature_job.h"
#include "ml/features.h"
#include "table/timing.h"

namespace nb = nanobind;
using namespace nb::literals;
using halvex::ml::FeatureSources;
using halvex::table::ExportedColumn;
using halvex::table::OwnedArrowStream;

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

// db_path counts as optional here: a missing one is reported below in the
// words this function has always used, after any keyword error.
const halvex::py::Signature kSignature{"build_features", {"db_path", "target_horizon"}, 0};

// Takes over the Arrow stream of a pyarrow object.
OwnedArrowStream stream_of(nb::handle arrow) {
  nb::object capsule = arrow.attr("__arrow_c_stream__")();
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.ptr(), "arrow_array_stream"));
  if (!stream) throw nb::python_error();
  return OwnedArrowStream(stream);
}

// The complete result of a relation as a pyarrow Table, without the extra
// copy a DB-API cursor makes; older clients name the fetch differently.
nb::object arrow_of(nb::handle rel) {
  for (const char* fetch : {"to_arrow_table", "fetch_arrow_table", "arrow"})
    if (nb::hasattr(rel, fetch)) return rel.attr(fetch)();
  throw nb::type_error("duckdb relation offers no Arrow fetch");
}

// DuckDB never installs or loads extensions for a build, so a remote path
// ("s3://", "https://", "md:") or another engine's file (SQLite) fails at once
// instead of reaching the network. The facts' connection also gets no
// external access (no remote data behind a view).
nb::object connect(const std::string& path, bool facts) {
  nb::module_ duckdb = nb::module_::import_("duckdb");
  nb::dict config;
  config["autoinstall_known_extensions"] = false;
  config["autoload_known_extensions"] = false;
  if (!facts) return duckdb.attr("connect")(":memory:", "config"_a = config);
  config["enable_external_access"] = false;
  try {
    return duckdb.attr("connect")(path, "read_only"_a = true, "config"_a = config);
  } catch (nb::python_error& e) {
    std::string said = nb::cast<std::string>(nb::str(e.value()));
    if (!e.matches(duckdb.attr("Error")) || said.find("xtension") == std::string::npos) throw;
    nb::raise_from(e, e.type(), "cannot open '%s' as a local DuckDB database: it needs a DuckDB extension, "
                   "and build_features installs or loads none (%s)", path.c_str(), said.substr(0, said.find('\n')).c_str());
  }
}

// Runs fn(connection) and closes the connection whatever happens.
template <class Fn>
OwnedArrowStream with_connection(nb::object con, Fn&& fn) {
  OwnedArrowStream result;
  try {
    result = fn(nb::handle(con));
  } catch (...) {
    con.attr("close")();
    throw;
  }
  con.attr("close")();
  return result;
}

// Rows of the fact table (cheap), or 0 when they cannot be had; the fact
// query itself then reports any problem.
std::size_t fact_row_count(nb::handle con, const std::string& filter) {
  const std::string query =
      "SELECT count(*) FROM fact_periodic fp" + (filter.empty() ? std::string() : " WHERE (" + filter + ")");
  try {
    return nb::cast<std::size_t>(con.attr("sql")(query).attr("fetchall")()[0][0]);
  } catch (const std::exception&) {  // a Python error or a failed cast
    return 0;
  }
}

// The sources of one build. A build of some entities only (halvex features
// in partitions) passes SQL conditions on the facts and on the diagnostic rows.
FeatureSources sources(std::string fact_filter, std::string diag_filter) {
  auto fetch_facts = [fact_filter](const std::string& path, const FeatureSources::RowsKnown& rows_known) {
    nb::gil_scoped_acquire gil;
    return with_connection(connect(path, true), [&](nb::handle con) {
      rows_known(fact_row_count(con, fact_filter));
      return stream_of(arrow_of(con.attr("sql")(halvex::ml::fact_query(fact_filter))));
    });
  };
  // A folder is read as the union of its Parquet files.
  auto read_diagnostics = [diag_filter](const std::string& path, bool is_dir) {
    nb::gil_scoped_acquire gil;
    const std::string source = is_dir ? path + "/*.parquet" : path;
    return with_connection(connect(path, false), [&](nb::handle con) {
      nb::object rel = con.attr("read_parquet")(source);
      if (!diag_filter.empty()) rel = rel.attr("filter")(diag_filter);
      return stream_of(arrow_of(rel));
    });
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
nb::object to_python(ExportedColumn& c, nb::handle pd, nb::handle pa, bool pandas3) {
  switch (c.kind()) {
    case ExportedColumn::Kind::Float64: return numpy_of<double>(c);
    case ExportedColumn::Kind::Int64: return numpy_of<std::int64_t>(c);
    case ExportedColumn::Kind::Int32: return numpy_of<std::int32_t>(c);
    case ExportedColumn::Kind::Int16: return numpy_of<std::int16_t>(c);
    case ExportedColumn::Kind::Bool: return numpy_of<bool>(c);
    case ExportedColumn::Kind::Text: break;
  }
  nb::object arr = pa.attr("Array").attr("_import_from_c")(reinterpret_cast<std::uintptr_t>(c.arrow_array()),
                                                            reinterpret_cast<std::uintptr_t>(c.arrow_schema()));
  if (!pandas3) return arr.attr("to_numpy")("zero_copy_only"_a = false);
  nb::object dtype = pd.attr("StringDtype")("pyarrow", "na_value"_a = nb::module_::import_("numpy").attr("nan"));
  return dtype.attr("__from_arrow__")(arr);
}

// The matrix as a DataFrame; its lines are left in `lines`.
nb::object build_frame(const std::string& path, std::int64_t horizon, const FeatureSources& from,
                       std::vector<std::string>& lines) {
  halvex::ml::FeatureJobResult result;
  {
    nb::gil_scoped_release unlocked;  // the sources take it back for their reads
    result = halvex::ml::run_feature_job(path, horizon, from);
  }
  lines = std::move(result.lines);
  nb::module_ pd = nb::module_::import_("pandas");
  if (result.columns.empty()) return pd.attr("DataFrame")();
  halvex::table::StageTimer timer;
  nb::module_ pa = nb::module_::import_("pyarrow");
  const bool pandas3 = std::atoi(nb::cast<std::string>(pd.attr("__version__")).c_str()) >= 3;
  nb::dict columns;
  for (ExportedColumn& c : result.columns) columns[c.name().c_str()] = to_python(c, pd, pa, pandas3);
  nb::object frame = pd.attr("DataFrame")(columns, "copy"_a = false);
  timer.mark("data frame");
  return frame;
}

nb::object build_features(nb::args args, nb::kwargs kwargs) {
  std::vector<nb::object> a = halvex::py::bind_arguments(kSignature, args, kwargs);
  if (!a[0].is_valid())
    throw nb::type_error(("build_features() takes at least 1 positional argument (" + std::to_string(args.size()) +
                          " given)").c_str());
  // Beyond the 64-bit range target_horizon is capped (no entity has that many periods).
  const std::int64_t horizon = a[1].is_valid() ? halvex::py::integer_argument("target_horizon", a[1], true) : 3;
  std::vector<std::string> lines;
  nb::object frame = build_frame(halvex::py::path_argument(a[0]), horizon, sources({}, {}), lines);
  for (const auto& line : lines) nb::print(line.c_str());
  return frame;
}

// Internal: the matrix of the entities that pass `fact_filter`, with the
// diagnostic rows that pass `diag_filter`, and its lines unprinted.
nb::tuple build_features_part(nb::handle db_path, nb::handle target_horizon, const std::string& fact_filter,
                              const std::string& diag_filter) {
  std::vector<std::string> lines;
  nb::object frame = build_frame(halvex::py::path_argument(db_path), halvex::py::integer_argument("target_horizon", target_horizon, true),
                                 sources(fact_filter, diag_filter), lines);
  return nb::make_tuple(frame, nb::cast(lines));
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

  m.def("build_features", &build_features, nb::sig("def build_features(db_path, target_horizon=3)"), kBuildDoc);
  m.def("_build_features_part", &build_features_part, "db_path"_a, "target_horizon"_a, "fact_filter"_a,
        "diag_filter"_a);
}
