// Stages 4 and 5: diagnostic merge and output assembly.
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ml/features.h"
#include "table/convert.h"
#include "table/join.h"
#include "table/parallel.h"
#include "table/sort.h"
#include "table/stats.h"
#include "table/text_form.h"
#include "table/timing.h"

namespace halvex::ml {

using namespace halvex::table;

namespace {

const std::vector<std::string> kBaseOutput = {
    "entity_id", "donem", "qvr_num", "qvr_lag_1", "qvr_lag_2", "qvr_lag_3", "qvr_delta_1",
    "qvr_delta_3", "qvr_max_3", "qvr_mean_3", "qvr_std_3", "qvr_consec_rise",
    "qvr_above_825_count", "qvr_above_500_count", "qvr_band", "risk_current", "risk_delta_1",
    "risk_delta_pct", "risk_mio", "yi_flag_current", "yi_flag_prev", "yi_flag_count_4",
    "was_yi_prev", "seg_ESKK", "seg_KOBI", "seg_KUR_TIC", "seg_MIKRO", "bolge_kodu_clean"};

// The facts' integer periods as codes of their distinct values, each written
// in text form once: the output period column is put together from those
// texts, and a diagnostic period matches when its text is one of them.
struct PeriodCodes {
  std::vector<std::int32_t> fact;  // per fact row; -1 when missing
  std::vector<std::int32_t> diag;  // per diagnostic row; -1 when missing or no fact period has it
  Column text;                     // the facts' periods in text form
};

PeriodCodes code_periods(const Column& fp_donem, const Column& diag_donem) {
  const std::size_t n = fp_donem.size();
  PeriodCodes out;
  out.fact.resize(n);
  std::unordered_map<std::int64_t, std::int32_t> code_of;
  std::vector<std::string> texts;
  bool missing = false;
  std::size_t chars = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!fp_donem.present(i)) {
      out.fact[i] = -1;
      missing = true;
      continue;
    }
    auto [it, fresh] = code_of.try_emplace(fp_donem.i64[i], static_cast<std::int32_t>(texts.size()));
    if (fresh) {
      texts.emplace_back();
      append_text_form(fp_donem, i, texts.back());
    }
    out.fact[i] = it->second;
    chars += texts[it->second].size();
  }

  out.text = Column::text(n, chars ? chars : 1);
  if (missing) out.text.ensure_mask();
  std::int64_t at = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::int32_t code = out.fact[i];
    if (code >= 0) {
      const std::string& t = texts[code];
      std::memcpy(out.text.chars.data() + at, t.data(), t.size());
      at += static_cast<std::int64_t>(t.size());
    } else {
      out.text.valid[i] = 0;
    }
    out.text.offsets[i + 1] = at;
  }

  std::unordered_map<std::string_view, std::int32_t> code_of_text;
  for (std::size_t k = 0; k < texts.size(); ++k) code_of_text.emplace(texts[k], static_cast<std::int32_t>(k));
  out.diag.resize(diag_donem.size());
  for (std::size_t j = 0; j < diag_donem.size(); ++j) {
    auto it = diag_donem.present(j) ? code_of_text.find(diag_donem.str(j)) : code_of_text.end();
    out.diag[j] = it == code_of_text.end() ? -1 : it->second;
  }
  return out;
}

}  // namespace

std::string merge_diagnostics(Table& fp, const Table* diag) {
  const std::size_t n = fp.num_rows();
  if (!diag) {
    for (const auto& name : diag_feature_cols()) fp.set(name, Column::int64_filled(n, diag_default(name)));
    return "  [DIAG] diag_features.parquet yok, tüm diag feature'lar 0";
  }

  // Keys are matched in text form on both sides: a period stored as 7 matches
  // "7" but not 7.0. The output keeps entity_id as loaded and donem as text.
  StageTimer timer;
  Column diag_entity = to_text(diag->at("entity_id"));
  Column diag_donem = to_text(diag->at("donem"));
  const Column& fp_entity = fp.at("entity_id");
  Column entity_text;
  if (fp_entity.type() != DType::Text) entity_text = to_text(fp_entity);
  const Column& entity_key = fp_entity.type() == DType::Text ? fp_entity : entity_text;

  JoinIndices j;
  if (fp.at("donem").type() == DType::Int64) {
    // Integer periods have few distinct values: each is written once, and the
    // join compares their codes instead of texts.
    PeriodCodes periods = code_periods(fp.at("donem"), diag_donem);
    fp.set("donem", std::move(periods.text));
    timer.mark("  keys as codes");
    j = left_join_coded(entity_key, periods.fact.data(), diag_entity, periods.diag.data());
  } else {
    fp.set("donem", to_text(fp.at("donem")));
    timer.mark("  keys as text");
    j = left_join(entity_key, fp.at("donem"), diag_entity, diag_donem);
  }
  timer.mark("  join");
  if (!j.left.empty()) reorder(fp, j.left.data(), j.left.size());  // some rows matched more than once

  const std::size_t rows = j.right.size();
  for (const auto& name : diag_feature_cols()) {
    std::int64_t dflt = diag_default(name);
    if (diag->has(name)) {
      // Gather and convert in one pass: unmatched rows take the default too.
      const Column& src = diag->at(name);
      const std::int64_t* right = j.right.data();
      Column values = Column::int64(rows);
      parallel_rows(rows, [&](std::size_t b, std::size_t e) {
        if (src.type() == DType::Int64 && !src.has_mask()) {
          for (std::size_t i = b; i < e; ++i) values.i64[i] = right[i] < 0 ? dflt : src.i64[right[i]];
          return;
        }
        for (std::size_t i = b; i < e; ++i) {
          std::int64_t r = right[i];
          if (r < 0) {
            values.i64[i] = dflt;
          } else if (src.type() == DType::Float64 && std::fabs(src.f64[r]) < 9.2e18) {
            values.i64[i] = static_cast<std::int64_t>(src.f64[r]);  // truncation toward zero
          } else {
            values.i64[i] = int64_at(src, static_cast<std::size_t>(r), name, dflt);
          }
        }
      });
      fp.set(name, std::move(values));
    } else {
      fp.set(name, Column::int64_filled(rows, dflt));
    }
  }
  timer.mark("  gather");
  return "  [DIAG] " + std::to_string(diag->num_rows()) + " diag feature satırı merge edildi";
}

Table assemble_output(Table& fp, std::vector<std::string>& lines) {
  std::vector<std::string> out_cols = kBaseOutput;
  for (const auto& name : diag_feature_cols()) out_cols.push_back(name);
  out_cols.push_back("label");
  Table result = std::move(fp).select(out_cols);
  result.rename("qvr_num", "qvr_score");
  result.rename("bolge_kodu_clean", "bolge_kodu");

  lines.push_back("  Features: " + std::to_string(result.num_rows()) + " rows, " +
                  std::to_string(count_distinct(result.at("entity_id"))) + " entities, " +
                  std::to_string(count_distinct(result.at("donem"))) + " periods");
  // Rows with a label; the labels are 1.0 or 0.0, so their sum is the YI count.
  const Column& label = result.at("label");
  auto ranges = even_ranges(label.size(), worker_count(label.size()));
  std::vector<std::size_t> part_labeled(ranges.size()), part_yi(ranges.size()), part_non(ranges.size());
  run_ranges(ranges, [&](const RowRange& r) {
    std::size_t k = &r - ranges.data(), l = 0, y = 0, z = 0;
    for (std::size_t i = r.begin; i < r.end; ++i) {
      double v = label.f64[i];
      l += v == v;
      y += v == 1.0;
      z += v == 0.0;
    }
    part_labeled[k] = l;
    part_yi[k] = y;
    part_non[k] = z;
  });
  std::size_t labeled = 0, yi = 0, non_yi = 0;
  for (std::size_t k = 0; k < ranges.size(); ++k) {
    labeled += part_labeled[k];
    yi += part_yi[k];
    non_yi += part_non[k];
  }
  lines.push_back("  Labeled: " + std::to_string(labeled) + " rows (YI=" + std::to_string(yi) +
                  ", non-YI=" + std::to_string(non_yi) + ")");
  return result;
}

FeatureMatrix build_feature_matrix(Table facts, const Table* diag, std::int64_t horizon) {
  FeatureMatrix out;
  if (facts.num_rows() == 0) return out;
  for (const char* name : {"entity_id", "donem", "qvr_skor", "kombine_risk", "ykn_izl_flag", "segment", "bolge_kodu"})
    (void)facts.at(name);  // a missing column fails before any work

  StageTimer timer;
  normalise_and_sort(facts);
  timer.mark("normalise and sort");
  RunGroups groups = RunGroups::of(facts.at("entity_id"));
  timer.mark("groups");
  // Flags first: they free three loaded columns and the score marks, whose
  // memory the sixteen history columns then reuse.
  add_flag_features(facts, groups, horizon);
  timer.mark("flag features");
  add_history_features(facts, groups);
  timer.mark("history features");
  out.lines.push_back(merge_diagnostics(facts, diag));
  timer.mark("diagnostic merge");
  out.table = assemble_output(facts, out.lines);
  timer.mark("output");
  return out;
}

}  // namespace halvex::ml
