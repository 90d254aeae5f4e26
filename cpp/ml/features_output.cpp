// Stages 4 and 5: diagnostic merge and output assembly.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/errors.h"
#include "common/memory.h"
#include "common/parallel.h"
#include "ml/features.h"
#include "table/convert.h"
#include "table/join.h"
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

// Code of each fact row's period, -1 when missing; `texts` gets the text of
// every code. Codes follow the periods' order of first appearance.
std::vector<std::int32_t> fact_period_codes(const Column& donem, std::vector<std::string>& texts) {
  const std::size_t n = donem.size();
  std::vector<std::int32_t> codes(n);
  std::int64_t lo = 0, hi = -1;
  for (std::size_t i = 0; i < n; ++i)
    if (donem.present(i)) {
      const std::int64_t v = donem.i64[i];
      if (hi < lo) lo = hi = v;
      lo = v < lo ? v : lo;
      hi = v > hi ? v : hi;
    }
  auto add_text = [&](std::size_t i) {
    texts.emplace_back();
    append_text_form(donem, i, texts.back());
    return static_cast<std::int32_t>(texts.size() - 1);
  };
  const std::uint64_t span = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
  if (hi >= lo && span < (std::uint64_t{1} << 20)) {
    // Periods span a small range (yyyymm, counters): a table indexed by value.
    std::vector<std::int32_t> code_of(span + 1, -1);
    for (std::size_t i = 0; i < n; ++i)
      if (donem.present(i)) {
        std::int32_t& c = code_of[static_cast<std::uint64_t>(donem.i64[i]) - static_cast<std::uint64_t>(lo)];
        if (c < 0) c = add_text(i);
      }
    parallel_rows(n, [&](std::size_t b, std::size_t e) {
      for (std::size_t i = b; i < e; ++i)
        codes[i] = donem.present(i)
                       ? code_of[static_cast<std::uint64_t>(donem.i64[i]) - static_cast<std::uint64_t>(lo)]
                       : -1;
    });
    return codes;
  }
  std::unordered_map<std::int64_t, std::int32_t> code_of;
  for (std::size_t i = 0; i < n; ++i) {
    if (!donem.present(i)) {
      codes[i] = -1;
      continue;
    }
    auto it = code_of.find(donem.i64[i]);
    codes[i] = it != code_of.end() ? it->second : code_of.emplace(donem.i64[i], add_text(i)).first->second;
  }
  return codes;
}

PeriodCodes code_periods(const Column& fp_donem, const Column& diag_donem) {
  const std::size_t n = fp_donem.size();
  PeriodCodes out;
  std::vector<std::string> texts;
  out.fact = fact_period_codes(fp_donem, texts);

  // The text column in two passes per range: its characters, then the copies.
  auto ranges = even_ranges(n, worker_count(n));
  std::vector<std::int64_t> part_chars(ranges.size() + 1, 0);
  std::atomic<bool> missing{false};
  run_ranges(ranges, [&](const RowRange& r) {
    std::int64_t chars = 0;
    bool any_missing = false;
    for (std::size_t i = r.begin; i < r.end; ++i) {
      const std::int32_t code = out.fact[i];
      if (code >= 0) chars += static_cast<std::int64_t>(texts[code].size());
      else any_missing = true;
    }
    part_chars[&r - ranges.data() + 1] = chars;
    if (any_missing) missing = true;
  });
  for (std::size_t k = 0; k < ranges.size(); ++k) part_chars[k + 1] += part_chars[k];
  const std::size_t chars = static_cast<std::size_t>(part_chars[ranges.size()]);
  out.text = Column::text(n, chars ? chars : 1);
  if (missing) out.text.ensure_mask();
  run_ranges(ranges, [&](const RowRange& r) {
    std::int64_t at = part_chars[&r - ranges.data()];
    for (std::size_t i = r.begin; i < r.end; ++i) {
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
  });

  std::unordered_map<std::string_view, std::int32_t> code_of_text;
  for (std::size_t k = 0; k < texts.size(); ++k) code_of_text.emplace(texts[k], static_cast<std::int32_t>(k));
  out.diag.resize(diag_donem.size());
  parallel_rows(diag_donem.size(), [&](std::size_t b, std::size_t e) {
    std::string_view last;
    std::int32_t last_code = -1;
    bool have = false;
    for (std::size_t j = b; j < e; ++j) {
      if (!diag_donem.present(j)) {
        out.diag[j] = -1;
        continue;
      }
      const std::string_view t = diag_donem.str(j);
      if (!have || t != last) {
        auto it = code_of_text.find(t);
        last_code = it == code_of_text.end() ? -1 : it->second;
        last = t;
        have = true;
      }
      out.diag[j] = last_code;
    }
  });
  return out;
}

const Column& as_text(const Column& c, Column& converted) {
  if (c.type() == DType::Text) return c;
  converted = to_text(c);
  return converted;
}

// Rows gathered for all diagnostic columns before the next rows: 32 KiB of
// row numbers, which stay in the first-level cache.
constexpr std::size_t kGatherBlockRows = 4096;

// Diagnostic values of the output rows: row right[i] of `src`, the default
// where it is negative, floats truncated toward zero.
void gather_diag_values(const Column& src, const std::int64_t* right, std::int64_t dflt, const std::string& name,
                        std::int64_t* out, std::size_t b, std::size_t e) {
  if (src.type() == DType::Int64 && !src.has_mask()) {
    for (std::size_t i = b; i < e; ++i) out[i] = right[i] < 0 ? dflt : src.i64[right[i]];
    return;
  }
  if (src.type() == DType::Float64) {
    for (std::size_t i = b; i < e; ++i) {
      const std::int64_t r = right[i];
      if (r < 0) out[i] = dflt;
      else if (std::fabs(src.f64[r]) < 9.2e18) out[i] = static_cast<std::int64_t>(src.f64[r]);
      else out[i] = int64_at(src, static_cast<std::size_t>(r), name, dflt);  // missing, or an error
    }
    return;
  }
  for (std::size_t i = b; i < e; ++i) {
    const std::int64_t r = right[i];
    out[i] = r < 0 ? dflt : int64_at(src, static_cast<std::size_t>(r), name, dflt);
  }
}

// A join that repeats fact rows makes the matrix grow with it (keys repeated
// in the file multiply: 2,000 rows of one key on each side give 4,000,000).
// Refused before the rows are made when they would not fit in the memory
// left, rather than have the system kill the process half-way.
JoinRowsCounted refuse_beyond_memory(const Table& fp) {
  const std::size_t n = fp.num_rows();
  // Per output row: the fact columns gathered anew, the diagnostic features
  // and the join's two row numbers.
  std::size_t fact_bytes = 0;
  for (std::size_t k = 0; k < fp.num_columns(); ++k) fact_bytes += fp.at(k).bytes();
  const double row_bytes = static_cast<double>(fact_bytes) / static_cast<double>(n ? n : 1) +
                           static_cast<double>(diag_feature_cols().size() * sizeof(std::int64_t)) +
                           2 * sizeof(std::int64_t);
  return [row_bytes](std::size_t rows) {
    const double needed = row_bytes * static_cast<double>(rows);
    const std::uint64_t available = memory_available();
    if (needed <= static_cast<double>(available)) return;
    constexpr double kMB = 1024.0 * 1024.0;
    throw MemoryError("the diagnostic merge would make " + std::to_string(rows) +
                      " rows (diag_features.parquet has several rows for the same entity_id and donem, "
                      "and each repeats its fact row): about " +
                      std::to_string(static_cast<std::uint64_t>(needed / kMB + 0.5)) + " MB needed, " +
                      std::to_string(static_cast<std::uint64_t>(static_cast<double>(available) / kMB)) +
                      " MB available");
  };
}

}  // namespace

void merge_diagnostics(Table& fp, const Table* diag, FeatureSummary& summary) {
  const std::size_t n = fp.num_rows();
  summary.diag_file = diag != nullptr;
  if (!diag) {
    for (const auto& name : diag_feature_cols()) fp.set(name, Column::int64_filled(n, diag_default(name)));
    return;
  }
  summary.diag_rows = static_cast<std::int64_t>(diag->num_rows());

  // Keys are matched in text form on both sides: a period stored as 7 matches
  // "7" but not 7.0. The output keeps entity_id as loaded and donem as text.
  StageTimer timer;
  // Text keys are used where they are; others are written out once.
  Column diag_entity_text, diag_donem_text;
  const Column& diag_entity = as_text(diag->at("entity_id"), diag_entity_text);
  const Column& diag_donem = as_text(diag->at("donem"), diag_donem_text);
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
    j = left_join_coded(entity_key, periods.fact.data(), diag_entity, periods.diag.data(), refuse_beyond_memory(fp));
  } else {
    fp.set("donem", to_text(fp.at("donem")));
    timer.mark("  keys as text");
    j = left_join(entity_key, fp.at("donem"), diag_entity, diag_donem, refuse_beyond_memory(fp));
  }
  timer.mark("  join");
  if (!j.left.empty()) reorder(fp, j.left.data(), j.left.size());  // some rows matched more than once

  const std::size_t rows = j.right.size();
  const std::int64_t* right = j.right.data();
  struct Gather {
    const std::string* name;
    const Column* src;
    std::int64_t dflt;
    Column values;
  };
  std::vector<Gather> gathers;
  for (const auto& name : diag_feature_cols()) {
    const std::int64_t dflt = diag_default(name);
    if (diag->has(name)) gathers.push_back({&name, &diag->at(name), dflt, Column::int64(rows)});
  }
  // Every column of a block of rows in turn: the row numbers are read once
  // (from cache) instead of once per column, and each column is still
  // written in long runs.
  try {
    parallel_rows(rows, [&](std::size_t b, std::size_t e) {
      for (std::size_t bb = b; bb < e; bb += kGatherBlockRows) {
        const std::size_t be = std::min(e, bb + kGatherBlockRows);
        for (Gather& g : gathers) gather_diag_values(*g.src, right, g.dflt, *g.name, g.values.i64.data(), bb, be);
      }
    });
  } catch (...) {
    // Some value is no number: the error is that of the first such column,
    // as when the columns are gathered one after the other.
    for (Gather& g : gathers)
      parallel_rows(rows, [&](std::size_t b, std::size_t e) {
        gather_diag_values(*g.src, right, g.dflt, *g.name, g.values.i64.data(), b, e);
      });
    throw;
  }
  std::size_t k = 0;
  for (const auto& name : diag_feature_cols()) {
    if (k < gathers.size() && gathers[k].name == &name) fp.set(name, std::move(gathers[k++].values));
    else fp.set(name, Column::int64_filled(rows, diag_default(name)));
  }
  timer.mark("  gather");
}

Table assemble_output(Table& fp, FeatureSummary& summary) {
  std::vector<std::string> out_cols = kBaseOutput;
  for (const auto& name : diag_feature_cols()) out_cols.push_back(name);
  out_cols.push_back("label");
  Table result = std::move(fp).select(out_cols);
  result.rename("qvr_num", "qvr_score");
  result.rename("bolge_kodu_clean", "bolge_kodu");

  summary.rows = static_cast<std::int64_t>(result.num_rows());
  summary.entities = static_cast<std::int64_t>(count_distinct(result.at("entity_id")));
  summary.periods = static_cast<std::int64_t>(count_distinct(result.at("donem")));
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
  for (std::size_t k = 0; k < ranges.size(); ++k) {
    summary.labeled += static_cast<std::int64_t>(part_labeled[k]);
    summary.yi += static_cast<std::int64_t>(part_yi[k]);
    summary.non_yi += static_cast<std::int64_t>(part_non[k]);
  }
  return result;
}

FeatureMatrix build_feature_matrix(Table facts, const Table* diag, std::int64_t horizon) {
  return build_feature_matrix(std::move(facts), [diag] { return diag; }, horizon);
}

FeatureMatrix build_feature_matrix(Table facts, const std::function<const Table*()>& diag, std::int64_t horizon) {
  FeatureMatrix out;
  if (facts.num_rows() == 0) return out;
  const Table* diag_table = nullptr;
  FeatureSummary summary;
  StageTimer timer;
  try {
    for (const char* name : {"entity_id", "donem", "qvr_skor", "kombine_risk", "ykn_izl_flag", "segment", "bolge_kodu"})
      (void)facts.at(name);  // a missing column fails before any work

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
    diag_table = diag();
    merge_diagnostics(facts, diag_table, summary);
    timer.mark("diagnostic merge");
  } catch (...) {
    if (!diag_table) (void)diag();  // the file's own error first, as before the stages
    throw;
  }
  out.table = assemble_output(facts, summary);
  out.summary = summary;
  timer.mark("output");
  return out;
}

}  // namespace halvex::ml
