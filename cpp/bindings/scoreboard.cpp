// Python module halvex.scoreboard.document: build_document's arguments and result. The build
// is the scoreboard job of cpp/scoreboard; its reads (DuckDB's Python package) are
// halvex.scoreboard._sources.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common_args.h"
#include "common_arrow.h"
#include "common_cancel.h"
#include "common/score_bands.h"
#include "scoreboard/score_marks.h"
#include "scoreboard/scoreboard_job.h"

namespace nb = nanobind;
using namespace nb::literals;
using halvex::scoreboard::ModelMarks;
using halvex::scoreboard::ScoreboardOptions;
using halvex::scoreboard::ScoreboardSources;
using halvex::scoreboard::SourceColumns;

namespace {

nb::object python_side(const char* name) { return nb::module_::import_("halvex.scoreboard._sources").attr(name); }

using Texts = std::vector<std::string>;
using Flags = std::vector<std::uint8_t>;
// The model marks: (keys, prob, alerted, caught, missed), lists of one length (the job checks).
using Marks = std::tuple<Texts, std::vector<double>, Flags, Flags, Flags>;

ScoreboardSources sources() {
  auto columns = [](const std::string& path) {
    nb::gil_scoped_acquire gil;
    nb::object got = python_side("columns")(path);
    return std::make_from_tuple<SourceColumns>(nb::cast<std::tuple<Texts, Texts, Texts>>(got));
  };
  auto fetch = [](const std::string& path, const std::string& query) {
    nb::gil_scoped_acquire gil;
    return halvex::py::stream_of(python_side("fetch")(path, query));
  };
  return ScoreboardSources{columns, fetch};
}

nb::object build_document(const std::string& db, const std::optional<std::string>& out_path,
                          std::size_t risk_periods, std::string title,
                          std::string generated_at, std::string rd_column, std::optional<double> alert_threshold,
                          std::string model_id, std::string model_trained_at, bool sql_admin_only, std::optional<Marks> model,
                          std::vector<std::pair<std::string, std::string>> sections,
                          std::vector<std::pair<std::string, std::string>> meta_extra) {
  const std::string out = out_path.value_or("");
  std::optional<ModelMarks> marks;
  if (model) marks = std::make_from_tuple<ModelMarks>(std::move(*model));
  const ScoreboardOptions opt{.risk_periods = risk_periods, .title = std::move(title),
                              .generated_at = std::move(generated_at), .rd_column = std::move(rd_column),
                              .alert_threshold = alert_threshold, .model_id = std::move(model_id),
                              .model_trained_at = std::move(model_trained_at), .sql_admin_only = sql_admin_only,
                              .model = marks ? &*marks : nullptr, .sections = std::move(sections),
                              .meta_extra = std::move(meta_extra)};
  const ScoreboardSources from = sources();
  halvex::scoreboard::ScoreboardResult result = halvex::py::SignalCancel().run([&] {
    nb::gil_scoped_release unlocked;  // the sources take it back for their reads
    return halvex::scoreboard::run_scoreboard_job(db, out, opt, from);
  });
  const halvex::scoreboard::Document& d = result.document;
  if (out.empty()) return nb::str(d.text.data(), d.text.size());
  nb::dict summary;
  summary["rows"] = d.rows;
  summary["periods"] = d.periods;
  summary["latest"] = d.latest;
  summary["bytes"] = result.bytes;
  return summary;
}

}  // namespace

NB_MODULE(document, m) {
  m.doc() = "The scoreboard document built from the periodic facts.";
  halvex::py::register_error_translation();
  // The bands and where a score's band starts, for the sample writer.
  nb::list bands;
  for (const char* key : halvex::scoreboard::kBandKeys) bands.append(key);
  m.attr("BANDS") = nb::tuple(bands);
  m.attr("YIS_THRESHOLD") = static_cast<long>(halvex::kYisThreshold);
  m.attr("HIGH_THRESHOLD") = static_cast<long>(halvex::kHighThreshold);
  m.def("build_document", &build_document, "db_path"_a, "out_path"_a.none(), "risk_periods"_a, "title"_a,
        "generated_at"_a, "rd_column"_a, "alert_threshold"_a.none(), "model_id"_a, "model_trained_at"_a,
        "sql_admin_only"_a, "model"_a.none(), "sections"_a, "meta_extra"_a = std::vector<std::pair<std::string, std::string>>(),
        "The document's JSON text (with out_path None), or what was written to out_path: rows,\n"
        "periods, latest (period) and bytes.\n\n"
        "model: None or (keys, prob, alerted, caught, missed), lists of one length; sections:\n"
        "(name, JSON text) pairs appended to the document; meta_extra: (name, JSON text) pairs\n"
        "appended to its meta. See halvex.scoreboard.build_scoreboard.");
}
