// Python module halvex.ml.features: argument handling, the DuckDB and
// Parquet reads through their Python packages, and the pandas result. The
// feature stages themselves live in cpp/ml.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "ml/features.h"
#include "table/arrow_bridge.h"
#include "table/buffer.h"
#include "table/errors.h"
#include "table/parallel.h"
#include "table/timing.h"

namespace nb = nanobind;
using namespace nb::literals;
using halvex::table::Column;
using halvex::table::DType;
using halvex::table::Table;

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

[[noreturn]] void type_error(const std::string& msg) { throw nb::type_error(msg.c_str()); }

std::int64_t horizon_from(nb::handle h) {
  PyObject* o = h.ptr();
  auto clamp = [](double v) -> std::int64_t {
    if (v >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
    if (v <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(v);  // truncation toward zero
  };
  if (PyLong_Check(o) || (!PyFloat_Check(o) && PyIndex_Check(o))) {
    nb::object idx = nb::steal(PyNumber_Index(o));
    if (!idx.is_valid()) throw nb::python_error();
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(idx.ptr(), &overflow);
    if (overflow > 0) return std::numeric_limits<std::int64_t>::max();
    if (overflow < 0) return std::numeric_limits<std::int64_t>::min();
    return v;
  }
  PyNumberMethods* num = Py_TYPE(o)->tp_as_number;
  if (PyFloat_Check(o) || (num && num->nb_float)) {
    double v = PyFloat_Check(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    if (std::isnan(v)) throw nb::value_error("target_horizon: cannot convert float NaN to integer");
    return clamp(v);
  }
  type_error(std::string("Argument 'target_horizon' has incorrect type (expected int, got ") + Py_TYPE(o)->tp_name +
             ")");
}

// Text form of db_path: a str, or anything os.fspath accepts.
std::string path_from(nb::handle p) {
  nb::module_ os = nb::module_::import_("os");
  nb::object s = os.attr("fsdecode")(os.attr("fspath")(p));
  return nb::cast<std::string>(s);
}

Table import_stream(nb::handle arrow_table, const std::function<bool(const std::string&)>& wanted) {
  nb::object capsule = arrow_table.attr("__arrow_c_stream__")();
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.ptr(), "arrow_array_stream"));
  if (!stream) throw nb::python_error();
  nb::gil_scoped_release unlocked;
  return halvex::table::import_arrow_stream(stream, wanted);
}

// The complete result of a relation as a pyarrow Table. A relation hands its
// result to Arrow without the extra copy a DB-API cursor makes; older
// clients name the fetch differently.
nb::object arrow_of(nb::handle rel) {
  for (const char* fetch : {"to_arrow_table", "fetch_arrow_table", "arrow"})
    if (nb::hasattr(rel, fetch)) return rel.attr(fetch)();
  throw nb::type_error("duckdb relation offers no Arrow fetch");
}

// Runs fn(connection) and closes the connection whatever happens.
template <class Fn>
nb::object with_connection(nb::object con, Fn&& fn) {
  nb::object result;
  try {
    result = fn(con);
  } catch (...) {
    con.attr("close")();
    throw;
  }
  con.attr("close")();
  return result;
}

// Number of fact rows, from the table's row count (cheap), or 0 when it
// cannot be had; the fact query itself then reports any problem.
std::size_t fact_row_count(nb::handle con) {
  try {
    nb::object rows = con.attr("sql")("SELECT count(*) FROM fact_periodic").attr("fetchall")();
    return nb::cast<std::size_t>(rows[0][0]);
  } catch (const nb::python_error&) {
    return 0;
  } catch (const nb::cast_error&) {
    return 0;
  }
}

// One query on a read-only connection, closed right after the fetch. While
// the engine runs it, the memory of the feature columns is written ahead with
// CPU time left idle: the facts have at least as many rows as the fact table.
nb::object fetch_facts(const std::string& path, halvex::table::WarmBlocks& warm) {
  nb::module_ duckdb = nb::module_::import_("duckdb");
  return with_connection(duckdb.attr("connect")(path, "read_only"_a = true), [&](nb::handle con) {
    std::size_t rows = fact_row_count(con);
    if (rows >= halvex::table::kMinRowsPerThread && halvex::table::worker_count(rows) > 1)
      warm.prefault(rows * sizeof(double), halvex::ml::kFullColumnsAllocated);
    return arrow_of(con.attr("sql")(halvex::ml::kFactQuery));
  });
}

// The diagnostic file, read by the same engine on a private in-memory
// connection; a folder is read as the union of its Parquet files.
nb::object read_diag(const std::string& path, bool is_dir) {
  nb::module_ duckdb = nb::module_::import_("duckdb");
  std::string source = is_dir ? path + "/*.parquet" : path;
  return with_connection(duckdb.attr("connect")(),
                         [&](nb::handle con) { return arrow_of(con.attr("read_parquet")(source)); });
}

template <class T>
nb::object numpy_from(T* data, std::size_t n) {
  nb::capsule owner(data, [](void* p) noexcept { std::free(p); });
  return nb::cast(nb::ndarray<nb::numpy, T, nb::ndim<1>>(data, {n}, owner));
}

// The values of an Int64 column narrowed to T within its own buffer: value i
// moves from byte 8i to byte i*sizeof(T), never over one not yet read. The
// unused tail is then given back.
template <class T>
T* narrow_in_place(Column& c) {
  const std::size_t n = c.size();
  auto* bytes = reinterpret_cast<unsigned char*>(c.i64.release());
  for (std::size_t i = 0; i < n; ++i) {
    std::int64_t v;
    std::memcpy(&v, bytes + i * 8, 8);
    const T w = static_cast<T>(v);
    std::memcpy(bytes + i * sizeof(T), &w, sizeof(T));
  }
  void* shrunk = std::realloc(bytes, n ? n * sizeof(T) : 1);
  return static_cast<T*>(shrunk ? shrunk : bytes);
}

// numpy array (numbers) or pandas text array (text) for one result column.
nb::object to_python(Column&& c, bool keep_width, nb::handle pd, nb::handle pa, bool pandas3) {
  const std::size_t n = c.size();
  switch (c.type()) {
    case DType::Float64: return numpy_from(c.f64.release(), n);
    case DType::Int64: {
      if (c.has_mask()) {  // only key columns as loaded can carry missing integers
        auto* out = static_cast<double*>(std::malloc(n ? n * sizeof(double) : 1));
        for (std::size_t i = 0; i < n; ++i)
          out[i] = c.valid[i] ? static_cast<double>(c.i64[i]) : std::numeric_limits<double>::quiet_NaN();
        return numpy_from(out, n);
      }
      if (keep_width && c.int_width == 4) return numpy_from(narrow_in_place<std::int32_t>(c), n);
      if (keep_width && c.int_width == 2) return numpy_from(narrow_in_place<std::int16_t>(c), n);
      return numpy_from(c.i64.release(), n);
    }
    case DType::Bool: return numpy_from(reinterpret_cast<bool*>(c.b8.release()), n);
    case DType::Text: {
      auto array = std::make_unique<ArrowArray>();
      auto schema = std::make_unique<ArrowSchema>();
      halvex::table::export_text_column(std::move(c), array.get(), schema.get());
      nb::object arr;
      try {
        arr = pa.attr("Array").attr("_import_from_c")(reinterpret_cast<std::uintptr_t>(array.get()),
                                                       reinterpret_cast<std::uintptr_t>(schema.get()));
      } catch (...) {
        if (array->release) array->release(array.get());
        if (schema->release) schema->release(schema.get());
        throw;
      }
      if (pandas3) {
        nb::object np = nb::module_::import_("numpy");
        nb::object dtype = pd.attr("StringDtype")("pyarrow", "na_value"_a = np.attr("nan"));
        return dtype.attr("__from_arrow__")(arr);
      }
      return arr.attr("to_numpy")("zero_copy_only"_a = false);
    }
  }
  return nb::none();
}

nb::object to_dataframe(Table& t) {
  nb::module_ pd = nb::module_::import_("pandas");
  nb::module_ pa = nb::module_::import_("pyarrow");
  std::string version = nb::cast<std::string>(pd.attr("__version__"));
  bool pandas3 = std::atoi(version.c_str()) >= 3;
  nb::dict columns;
  for (std::size_t k = 0; k < t.num_columns(); ++k) {
    const std::string& name = t.names()[k];
    bool as_loaded = name == "entity_id" || name == "donem";
    columns[name.c_str()] = to_python(std::move(t.at(k)), as_loaded, pd, pa, pandas3);
  }
  return pd.attr("DataFrame")(columns, "copy"_a = false);
}

nb::object build_features(nb::args args, nb::kwargs kwargs) {
  const Py_ssize_t given = static_cast<Py_ssize_t>(args.size());
  if (given > 2)
    type_error("build_features() takes at most 2 positional arguments (" + std::to_string(given) + " given)");
  nb::object db_path = given >= 1 ? nb::borrow(args[0]) : nb::object();
  nb::object horizon_arg = given >= 2 ? nb::borrow(args[1]) : nb::object();
  for (auto [key, value] : kwargs) {
    std::string k = nb::cast<std::string>(key);
    nb::object* slot = k == "db_path" ? &db_path : k == "target_horizon" ? &horizon_arg : nullptr;
    if (!slot) type_error("build_features() got an unexpected keyword argument '" + k + "'");
    if (slot->is_valid()) type_error("build_features() got multiple values for keyword argument '" + k + "'");
    *slot = nb::borrow(value);
  }
  if (!db_path.is_valid())
    type_error("build_features() takes at least 1 positional argument (" + std::to_string(given) + " given)");
  const std::int64_t horizon = horizon_arg.is_valid() ? horizon_from(horizon_arg) : 3;
  const std::string path = path_from(db_path);

  halvex::table::StageTimer timer;
  halvex::table::WarmBlocks warm;
  nb::object facts_arrow = fetch_facts(path, warm);
  timer.mark("query and fetch");
  {
    nb::gil_scoped_release unlocked;
    warm.stop();  // the rest is written as the columns are
  }
  timer.mark("warm-up stop");
  if (nb::cast<std::size_t>(facts_arrow.attr("num_rows")) == 0) return nb::module_::import_("pandas").attr("DataFrame")();
  const auto& unused = halvex::ml::kUnusedFactColumns;
  Table facts = import_stream(facts_arrow, [&](const std::string& name) {
    for (const auto& u : unused)
      if (name == u) return false;
    return true;
  });
  facts_arrow = nb::object();  // the Arrow copy is no longer needed
  timer.mark("import facts");

  nb::module_ os_path = nb::module_::import_("os.path");
  nb::object diag_path = os_path.attr("join")(os_path.attr("dirname")(path), "cache", "diag_features.parquet");
  std::unique_ptr<Table> diag;
  if (nb::cast<bool>(os_path.attr("exists")(diag_path))) {
    bool is_dir = nb::cast<bool>(os_path.attr("isdir")(diag_path));
    nb::object diag_arrow = read_diag(nb::cast<std::string>(diag_path), is_dir);
    diag = std::make_unique<Table>(import_stream(diag_arrow, nullptr));
  }

  timer.mark("diagnostic file");
  halvex::ml::FeatureMatrix m;
  {
    nb::gil_scoped_release unlocked;
    m = halvex::ml::build_feature_matrix(std::move(facts), diag.get(), horizon);
  }
  diag.reset();
  timer.mark("features");
  nb::object frame = to_dataframe(m.table);
  timer.mark("data frame");
  if (std::getenv("HALVEX_TIMING"))
    std::fprintf(stderr, "  [time] warm blocks: %zu reused, %zu fresh\n", halvex::table::WarmBlocks::hits(),
                 halvex::table::WarmBlocks::misses());
  for (const auto& line : m.lines) nb::print(line.c_str());
  return frame;
}

}  // namespace

NB_MODULE(features, m) {
  m.doc() = "Feature engineering for YI prediction model.";

  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const halvex::table::ColumnNotFound& e) {
      PyErr_SetObject(PyExc_KeyError, nb::str(e.name().c_str()).ptr());
    } catch (const halvex::TypeError& e) {
      PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const halvex::ValueError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    }
  });

  nb::list diag_cols, feature_cols;
  for (const auto& name : halvex::ml::diag_feature_cols()) diag_cols.append(name.c_str());
  for (const auto& name : halvex::ml::feature_cols()) feature_cols.append(name.c_str());
  nb::dict labels;
  for (const auto& [name, label] : halvex::ml::feature_labels()) labels[name.c_str()] = label.c_str();
  m.attr("DIAG_FEATURE_COLS") = diag_cols;
  m.attr("FEATURE_COLS") = feature_cols;
  m.attr("FEATURE_LABELS") = labels;

  m.def("build_features", &build_features, nb::sig("def build_features(db_path, target_horizon=3)"), kBuildDoc);
}
