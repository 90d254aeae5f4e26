// build_document: the rows, marks, band flow and snapshot, meta, and the sections around them.
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/cancel.h"
#include "common/errors.h"
#include "common/ordered_output.h"
#include "common/parallel.h"
#include "json/writer.h"
#include "scoreboard/findings_index.h"
#include "scoreboard/score_marks.h"
#include "scoreboard/scoreboard.h"
#include "scoreboard/table_values.h"
#include "table/convert.h"
#include "table/groups.h"
#include "table/sort.h"
#include "table/text_form.h"
#include "table/timing.h"

namespace halvex::scoreboard {

using json::Member;
using json::Value;
using table::Column;
using table::DType;
using table::Table;

namespace {

const json::WriteOptions kSpaced{true, false};  // json.dumps' own separators

// The document's periods: every distinct donem, in the column's ascending order, by text form.
struct Periods {
  std::vector<std::string> texts;
  std::unordered_map<std::string, int> index;
  std::vector<int> of_row;  // -1: the row has no period
};

// Period of each row, by a key that needs no formatting where the column allows it: integers
// by value, text by its bytes; other types by their text form.
template <class Key, class KeyOf>
std::vector<std::size_t> distinct_periods(const Column& donem, std::vector<int>& of_row, KeyOf key_of) {
  std::unordered_map<Key, int> seen;
  std::vector<std::size_t> first_rows;
  for (std::size_t i = 0; i < donem.size(); ++i) {
    if (!donem.present(i)) continue;
    auto [it, added] = seen.try_emplace(key_of(i), static_cast<int>(first_rows.size()));
    if (added) first_rows.push_back(i);
    of_row[i] = it->second;
  }
  return first_rows;
}

Periods periods_of(const Column& donem) {
  Periods p;
  const std::size_t n = donem.size();
  p.of_row.assign(n, -1);
  std::vector<std::size_t> first_rows;
  if (donem.type() == DType::Int64) {
    first_rows = distinct_periods<std::int64_t>(donem, p.of_row, [&](std::size_t i) { return donem.i64[i]; });
  } else if (donem.type() == DType::Text) {
    first_rows = distinct_periods<std::string_view>(donem, p.of_row, [&](std::size_t i) { return donem.str(i); });
  } else {
    first_rows = distinct_periods<std::string>(donem, p.of_row, [&](std::size_t i) {
      std::string t;
      table::append_text_form(donem, i, t);
      return t;
    });
  }
  std::vector<int> order(first_rows.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = static_cast<int>(k);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return table::compare_rows(donem, first_rows[a], first_rows[b]) < 0;
  });
  std::vector<int> rank(order.size());
  for (std::size_t k = 0; k < order.size(); ++k) rank[order[k]] = static_cast<int>(k);
  p.texts.resize(order.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    table::append_text_form(donem, first_rows[order[k]], p.texts[k]);
    p.index.emplace(p.texts[k], static_cast<int>(k));
  }
  for (int& r : p.of_row)
    if (r >= 0) r = rank[r];
  return p;
}

const Column* optional_column(const Table& t, const char* name) { return t.has(name) ? &t.at(name) : nullptr; }

Score score_at(const Column& skor, std::size_t i) {
  Score s;
  if (!skor.present(i)) return s;
  if (skor.type() == DType::Text && skor.str(i) == "YI") {
    s.yi = true;
    return s;
  }
  s.value = table::numeric_at(skor, i);
  return s;
}

double number_at(const Column* c, std::int64_t row) {
  if (!c || row < 0) return std::nan("");
  return table::numeric_at(*c, static_cast<std::size_t>(row));
}

// An amount in whole kuruş: sums of these are exact, so they do not depend on how the rows
// were split between threads.
std::int64_t kurus(double tl) { return std::isfinite(tl) ? std::llround(tl * 100.0) : 0; }
Value tl_of_kurus(std::int64_t k) { return number_value(static_cast<double>(k) / 100.0); }

// What one piece of borrowers contributes besides its rows' text: per period and band their
// number and risk (missing risk counts 0), and the band moves.
struct Part {
  std::vector<std::array<std::int64_t, kBands>> count, risk;
  std::array<std::array<std::int64_t, kBands>, kBands> flow_count{}, flow_risk{};
  explicit Part(std::size_t periods) : count(periods), risk(periods) {
    for (auto& c : count) c.fill(0);
    for (auto& r : risk) r.fill(0);
  }
};

void append_value(std::string& out, const Value& v) { json::write(out, v, kSpaced); }

// `, "name": `, for a member name known only at run time.
std::string member_prefix(const std::string& name) {
  std::string out = ", ";
  json::write_string(out, name);
  return out + ": ";
}

// The prefixes of a period's member in every period, e.g. `, "qvr202401": `.
std::vector<std::string> period_prefixes(const char* prefix, const std::vector<std::string>& periods) {
  std::vector<std::string> out;
  for (const auto& t : periods) out.push_back(member_prefix(prefix + t));
  return out;
}

}  // namespace

void ModelMarks::check() const {
  const std::size_t n = keys.size();
  if (prob.size() != n || alerted.size() != n || caught.size() != n || missed.size() != n)
    throw ValueError("model marks: every column must have one value per entity_id");
}

DocumentSummary write_document(Table facts, const Table* findings, const ScoreboardOptions& opt, const TextSink& sink) {
  if (opt.model) opt.model->check();
  if (facts.num_rows() == 0) throw ValueError("no facts: fact_periodic has no rows");
  table::StageTimer timer;
  if (!table::is_sorted_by(facts.at("entity_id"), facts.at("donem"))) {
    std::vector<std::int64_t> order = table::stable_sort_indices(facts.at("entity_id"), facts.at("donem"));
    table::reorder(facts, order.data(), order.size());
  }
  timer.mark("  sort");
  const Column& ent = facts.at("entity_id");
  const Column& skor = facts.at("qvr_skor");
  const Column* risk = &facts.at("kombine_risk");
  const Column* change = optional_column(facts, "risk_degisim");
  const Column* second = optional_column(facts, "rd_risk");
  const Column* source = optional_column(facts, "qvr_kaynak");
  const Column* unvan = optional_column(facts, "unvan");
  const Column* segment = optional_column(facts, "segment");
  const Column* bolge = optional_column(facts, "bolge_kodu");
  const Column* sube = optional_column(facts, "sube_kodu");

  const Periods periods = periods_of(facts.at("donem"));
  const std::size_t P = periods.texts.size();
  timer.mark("  periods");
  if (P == 0) throw ValueError("no facts: every donem of fact_periodic is missing");
  const std::size_t R = std::min(opt.risk_periods, P);
  const std::size_t L = P - 1;
  // Member names rendered once: every row repeats them.
  const std::vector<std::string> qvr_keys = period_prefixes("qvr", periods.texts),
                                 r_keys = period_prefixes("r", periods.texts),
                                 rd_keys = period_prefixes("rd", periods.texts),
                                 df_keys = period_prefixes("df", periods.texts);

  std::unordered_map<std::string_view, std::size_t> model_row;
  if (opt.model)
    for (std::size_t k = 0; k < opt.model->keys.size(); ++k) model_row.emplace(opt.model->keys[k], k);

  const table::RunGroups groups = table::RunGroups::of(ent);
  const std::int32_t* rem = groups.rem();
  auto group_end = [&](std::size_t start) { return start + static_cast<std::size_t>(rem[start]) + 1; };
  // A borrower has a row when it has a customer number and a fact in the latest period.
  auto has_row = [&](std::size_t start, std::size_t end) {
    if (!ent.present(start)) return false;
    for (std::size_t i = start; i < end; ++i)
      if (periods.of_row[i] == static_cast<int>(L)) return true;
    return false;
  };

  // Borrowers are independent: the threads take pieces of them in turn; the rows' pieces are
  // written in order, so the document does not depend on the number of threads.
  const std::vector<RowRange> pieces = groups.ranges_of(std::max<std::size_t>(opt.piece_fact_rows, 1));
  const std::size_t threads = worker_count(facts.num_rows());
  auto each_piece = [&](auto&& fn) {
    std::atomic<std::size_t> next{0};
    run_parallel(threads, [&](std::size_t) {
      for (std::size_t k; (k = next.fetch_add(1)) < pieces.size();) {
        cancel_point();
        fn(k);
      }
    });
  };

  // The rows are written while they are built, so what goes before them (their number, the
  // findings of their borrowers) is known first: each piece's rows are counted here.
  std::vector<std::size_t> rows_before(pieces.size() + 1, 0);
  std::vector<std::vector<std::string>> mutas_of(pieces.size());  // text forms, for the findings
  each_piece([&](std::size_t k) {
    std::size_t n = 0;
    for (std::size_t start = pieces[k].begin; start < pieces[k].end; start = group_end(start)) {
      if (!has_row(start, group_end(start))) continue;
      ++n;
      if (findings) {
        mutas_of[k].emplace_back();
        table::append_text_form(ent, start, mutas_of[k].back());
      }
    }
    rows_before[k + 1] = n;
  });
  std::vector<std::string> mutas;
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    rows_before[k + 1] += rows_before[k];
    for (auto& m : mutas_of[k]) mutas.push_back(std::move(m));
  }
  mutas_of = {};
  const std::size_t n_rows = rows_before.back();
  timer.mark("  count");

  json::Arena arena;
  auto texts = [&](std::size_t from) {
    std::vector<Value> v;
    for (std::size_t p = from; p < P; ++p) v.push_back(Value::string(periods.texts[p]));
    return arena.array(v);
  };
  FindingsIndex diag;
  if (findings) diag = findings_index(*findings, mutas, periods.index, periods.texts, arena);
  mutas = {};
  timer.mark("  findings index");

  std::vector<Member> meta = {
      {"title", arena.string(opt.title)},
      {"generated_at", arena.string(opt.generated_at)},
      {"donemler", texts(0)},
      {"risk_donemler", texts(P - R)},
      {"n_firma", Value::integer(static_cast<std::int64_t>(n_rows))},
      {"kaynak", Value::string("halvex.scoreboard")},
      {"veri_tarihi", Value::string(periods.texts[L])},
  };
  std::vector<Member> series = {{"r", Value::string("kombine_risk")}};
  if (second) series.push_back({"rd", arena.string(opt.rd_column)});
  if (change) series.push_back({"df", Value::string("risk_degisim")});
  meta.push_back({"risk_serileri", arena.object(series)});
  if (opt.alert_threshold) meta.push_back({"alarm_esigi", Value::real(*opt.alert_threshold)});
  if (!opt.model_id.empty()) meta.push_back({"model_id", arena.string(opt.model_id)});
  if (!opt.model_trained_at.empty()) meta.push_back({"model_egitim_tarihi", arena.string(opt.model_trained_at)});
  meta.push_back({"bulgular_gizli", Value::boolean(opt.sql_admin_only && diag.admin_only_found)});

  // Output pieces: 0 the head, 1..pieces.size() the rows, then the tail.
  OrderedOutput output(sink);
  {
    std::string out = "{\"meta\": ";
    append_value(out, arena.object(meta));
    if (!opt.meta_extra.empty()) {
      out.pop_back();  // meta's closing brace: the members below go inside it
      for (const auto& [name, text] : opt.meta_extra) out += member_prefix(name) + text;
      out += "}";
    }
    out += ", \"rows\": [";
    output.put(0, std::move(out));
  }
  timer.mark("  head");

  std::vector<Part> parts(pieces.size(), Part(P));
  each_piece([&](std::size_t k) {
    std::vector<std::int64_t> slot(P);
    std::vector<Score> scores(P);
    std::string muta_text;
    Part& part = parts[k];
    std::string text = output.buffer();
    bool first = rows_before[k] == 0;
    for (std::size_t start = pieces[k].begin; start < pieces[k].end; start = group_end(start)) {
      const std::size_t end = group_end(start);
      if (!has_row(start, end)) continue;
      std::fill(slot.begin(), slot.end(), -1);
      for (std::size_t i = start; i < end; ++i)  // a repeated period: its last row counts
        if (periods.of_row[i] >= 0) slot[periods.of_row[i]] = static_cast<std::int64_t>(i);
      const std::size_t last = static_cast<std::size_t>(slot[L]);
      for (std::size_t p = 0; p < P; ++p) scores[p] = slot[p] < 0 ? Score{} : score_at(skor, slot[p]);
      std::string_view from_source;
      if (source && source->present(last) && source->type() == DType::Text) from_source = source->str(last);
      const Marks marks = marks_of(scores.data(), P, from_source);
      const double son_risk = number_at(risk, slot[L]);

      text += first ? "{\"muta\": " : ", {\"muta\": ";
      first = false;
      append_value(text, cell_value(ent, last));
      auto cell = [&](const char* prefix, const Column* c) {
        if (!c || !c->present(last)) return;
        text += prefix;
        append_value(text, cell_value(*c, last));
      };
      cell(", \"unvan\": ", unvan);
      cell(", \"segment\": ", segment);
      text += ", \"son_risk\": ";
      append_value(text, std::isnan(son_risk) ? Value::null() : number_value(son_risk));
      cell(", \"bolge_kodu\": ", bolge);
      cell(", \"sube_kodu\": ", sube);
      for (std::size_t p = 0; p < P; ++p) {
        if (!scores[p].present()) continue;
        text += qvr_keys[p];
        append_value(text, scores[p].yi ? Value::string("YI") : number_value(scores[p].value));
      }
      const std::pair<const Column*, const std::vector<std::string>*> series_of[] = {
          {risk, &r_keys}, {second, &rd_keys}, {change, &df_keys}};
      for (const auto& [col, names] : series_of) {
        if (!col) continue;
        for (std::size_t p = P - R; p < P; ++p) {
          const double v = number_at(col, slot[p]);
          if (std::isnan(v)) continue;
          text += (*names)[p];
          append_value(text, number_value(v));
        }
      }
      auto flag = [&](const char* prefix, bool on) {
        text += prefix;
        text += on ? '1' : '0';
      };
      flag(", \"_hizli_yukselen\": ", marks.fast_riser);
      flag(", \"_rejim_degisimi\": ", marks.band_change);
      flag(", \"_potansiyel_yi\": ", marks.potential_yi);
      const ModelMarks* model = opt.model;
      std::size_t m = 0;
      bool scored = false;
      if (model) {
        muta_text.clear();
        table::append_text_form(ent, last, muta_text);
        auto it = model_row.find(muta_text);
        scored = it != model_row.end();
        if (scored) m = it->second;
        flag(", \"_erken_sinyal\": ", scored && model->alerted[m] && !scores[L].yi);
        flag(", \"_yakalanan\": ", scored && model->caught[m]);
        flag(", \"_kacirilan\": ", scored && model->missed[m]);
      }
      text += ", \"_qvr_neden\": ";
      json::write_string(text, marks.reason);
      if (scored && !std::isnan(model->prob[m])) {
        text += ", \"_ml_yi_prob\": ";
        append_value(text, Value::real(model->prob[m]));
      }
      text += '}';

      for (std::size_t p = 0; p < P; ++p) {
        const Band b = band_of(scores[p]);
        part.count[p][b] += 1;
        part.risk[p][b] += kurus(number_at(risk, slot[p]));
      }
      if (P >= 2) {
        const Band a = band_of(scores[L - 1]), b = band_of(scores[L]);
        part.flow_count[a][b] += 1;
        part.flow_risk[a][b] += kurus(son_risk);
      }
    }
    output.put(k + 1, std::move(text));
  });
  timer.mark("  rows");

  // The pieces' counts joined.
  Part all(P);
  for (const Part& part : parts) {
    for (std::size_t p = 0; p < P; ++p)
      for (std::size_t b = 0; b < kBands; ++b) {
        all.count[p][b] += part.count[p][b];
        all.risk[p][b] += part.risk[p][b];
      }
    for (std::size_t a = 0; a < kBands; ++a)
      for (std::size_t b = 0; b < kBands; ++b) {
        all.flow_count[a][b] += part.flow_count[a][b];
        all.flow_risk[a][b] += part.flow_risk[a][b];
      }
  }

  std::vector<Value> flow;
  if (P >= 2)
    for (std::size_t a = 0; a < kBands; ++a)
      for (std::size_t b = 0; b < kBands; ++b) {
        if (!all.flow_count[a][b]) continue;
        flow.push_back(arena.object({{"from_donem", Value::string(periods.texts[L - 1])},
                                     {"to_donem", Value::string(periods.texts[L])},
                                     {"from_band", Value::string(kBandKeys[a])},
                                     {"to_band", Value::string(kBandKeys[b])},
                                     {"count", Value::integer(all.flow_count[a][b])},
                                     {"risk", tl_of_kurus(all.flow_risk[a][b])}}));
      }
  std::vector<Member> counts, risks;
  for (std::size_t p = 0; p < P; ++p) {
    std::vector<Member> c, r;
    for (std::size_t b = 0; b < kBands; ++b) {
      c.push_back({kBandKeys[b], Value::integer(all.count[p][b])});
      r.push_back({kBandKeys[b], tl_of_kurus(all.risk[p][b])});
    }
    counts.push_back({periods.texts[p], arena.object(c)});
    risks.push_back({periods.texts[p], arena.object(r)});
  }

  std::string out = "], \"flow_matrix\": ";
  append_value(out, arena.array(flow));
  out += ", \"band_snapshot\": ";
  append_value(out, arena.object(counts));
  out += ", \"band_risk\": ";
  append_value(out, arena.object(risks));
  if (findings) {
    out += ", \"diag_index\": ";
    append_value(out, diag.index);
  }
  for (const auto& [name, text] : opt.sections) out += member_prefix(name) + text;
  out += "}";
  output.put(pieces.size() + 1, std::move(out));
  timer.mark("  tail");
  return DocumentSummary{n_rows, P, periods.texts[L]};
}

Document build_document(Table facts, const Table* findings, const ScoreboardOptions& opt) {
  Document out;
  DocumentSummary s = write_document(std::move(facts), findings, opt, [&](std::string_view piece) { out.text += piece; });
  out.rows = s.rows;
  out.periods = s.periods;
  out.latest = std::move(s.latest);
  return out;
}

}  // namespace halvex::scoreboard
