// build_document: the rows, marks, band flow and snapshot, meta, and the sections around them.
#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/cancel.h"
#include "common/errors.h"
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
    auto [it, added] = seen.emplace(key_of(i), static_cast<int>(first_rows.size()));
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

// What one range of borrowers contributes: its rows' text, their customer numbers, and per
// period and band their number and risk (missing risk counts 0), and the band moves.
struct Part {
  std::string rows_text;
  std::vector<std::string> mutas;  // text forms, for the findings
  std::size_t n_rows = 0;
  std::vector<std::array<std::int64_t, kBands>> count, risk;
  std::array<std::array<std::int64_t, kBands>, kBands> flow_count{}, flow_risk{};
  explicit Part(std::size_t periods) : count(periods), risk(periods) {
    for (auto& c : count) c.fill(0);
    for (auto& r : risk) r.fill(0);
  }
};

void append_value(std::string& out, const Value& v) { json::write(out, v, kSpaced); }

// Borrowers a range's text is measured on before its room is reserved.
constexpr std::size_t kSampleRows = 512;


}  // namespace

void ModelMarks::check() const {
  const std::size_t n = keys.size();
  if (prob.size() != n || alerted.size() != n || caught.size() != n || missed.size() != n)
    throw ValueError("model marks: every column must have one value per entity_id");
}

DocumentPieces build_document_pieces(Table facts, const Table* findings, const ScoreboardOptions& opt) {
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
  auto keys = [&](const char* prefix) {
    std::vector<std::string> k;
    for (const auto& t : periods.texts) k.push_back(prefix + t);
    return k;
  };
  const std::vector<std::string> qvr_keys = keys("qvr"), r_keys = keys("r"), rd_keys = keys("rd"), df_keys = keys("df");

  std::unordered_map<std::string_view, std::size_t> model_row;
  if (opt.model)
    for (std::size_t k = 0; k < opt.model->keys.size(); ++k) model_row.emplace(opt.model->keys[k], k);

  const table::RunGroups groups = table::RunGroups::of(ent);
  const std::int32_t* rem = groups.rem();
  // Borrowers are independent: ranges of them are built on the worker threads and joined
  // in order, so the document does not depend on the number of threads.
  const std::vector<RowRange> ranges = groups.ranges();
  std::vector<Part> parts(ranges.size(), Part(P));
  run_ranges(ranges, [&](const RowRange& range) {
    Part& part = parts[static_cast<std::size_t>(&range - ranges.data())];
    std::vector<std::int64_t> slot(P);
    std::vector<Score> scores(P);
    json::Arena scratch;
    std::vector<Member> m;
    std::string muta_text;
    bool reserved = false;
    for (std::size_t start = range.begin; start < range.end; start += static_cast<std::size_t>(rem[start]) + 1) {
      if ((start & 1023) == 0) cancel_point();
      if (!reserved && part.n_rows == kSampleRows) {
        // Room for the whole range at the sample's bytes per fact row, and a margin: the
        // text then never moves as it grows (room never written takes no memory).
        const double per_row = static_cast<double>(part.rows_text.size()) / static_cast<double>(start - range.begin);
        part.rows_text.reserve(static_cast<std::size_t>(per_row * 1.25 * static_cast<double>(range.end - range.begin)));
        reserved = true;
      }
      const std::size_t end = start + static_cast<std::size_t>(rem[start]) + 1;
      if (!ent.present(start)) continue;  // no customer number: not a borrower of the page
      std::fill(slot.begin(), slot.end(), -1);
      for (std::size_t i = start; i < end; ++i)  // a repeated period: its last row counts
        if (periods.of_row[i] >= 0) slot[periods.of_row[i]] = static_cast<std::int64_t>(i);
      if (slot[L] < 0) continue;  // not in the latest period
      const std::size_t last = static_cast<std::size_t>(slot[L]);
      for (std::size_t p = 0; p < P; ++p) scores[p] = slot[p] < 0 ? Score{} : score_at(skor, slot[p]);
      std::string_view from_source;
      if (source && source->present(last) && source->type() == DType::Text) from_source = source->str(last);
      const Marks marks = marks_of(scores.data(), P, from_source);
      const double son_risk = number_at(risk, slot[L]);

      scratch.reset();
      m.clear();
      m.push_back({"muta", cell_value(ent, last)});
      if (unvan && unvan->present(last)) m.push_back({"unvan", cell_value(*unvan, last)});
      if (segment && segment->present(last)) m.push_back({"segment", cell_value(*segment, last)});
      m.push_back({"son_risk", std::isnan(son_risk) ? Value::null() : number_value(son_risk)});
      if (bolge && bolge->present(last)) m.push_back({"bolge_kodu", cell_value(*bolge, last)});
      if (sube && sube->present(last)) m.push_back({"sube_kodu", cell_value(*sube, last)});
      for (std::size_t p = 0; p < P; ++p) {
        if (scores[p].yi) m.push_back({qvr_keys[p], Value::string("YI")});
        else if (scores[p].numeric()) m.push_back({qvr_keys[p], number_value(scores[p].value)});
      }
      const std::pair<const Column*, const std::vector<std::string>*> series[] = {
          {risk, &r_keys}, {second, &rd_keys}, {change, &df_keys}};
      for (const auto& [col, names] : series) {
        if (!col) continue;
        for (std::size_t p = P - R; p < P; ++p) {
          const double v = number_at(col, slot[p]);
          if (!std::isnan(v)) m.push_back({(*names)[p], number_value(v)});
        }
      }
      m.push_back({"_hizli_yukselen", Value::integer(marks.fast_riser)});
      m.push_back({"_rejim_degisimi", Value::integer(marks.band_change)});
      m.push_back({"_potansiyel_yi", Value::integer(marks.potential_yi)});
      const ModelMarks* model = opt.model;
      std::size_t k = 0;
      bool scored = false;
      if (model) {
        muta_text.clear();
        table::append_text_form(ent, last, muta_text);
        auto it = model_row.find(muta_text);
        scored = it != model_row.end();
        if (scored) k = it->second;
        m.push_back({"_erken_sinyal", Value::integer(scored && model->alerted[k] && !scores[L].yi)});
        m.push_back({"_yakalanan", Value::integer(scored && model->caught[k])});
        m.push_back({"_kacirilan", Value::integer(scored && model->missed[k])});
      }
      m.push_back({"_qvr_neden", Value::string(scratch.copy_string(marks.reason))});
      if (scored && !std::isnan(model->prob[k])) m.push_back({"_ml_yi_prob", Value::real(model->prob[k])});

      if (part.n_rows) part.rows_text += ", ";
      append_value(part.rows_text, Value::object(m.data(), m.size()));
      ++part.n_rows;
      if (findings) {
        muta_text.clear();
        table::append_text_form(ent, last, muta_text);
        part.mutas.push_back(muta_text);
      }

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
  });

  timer.mark("  rows");
  // The parts' counts joined in order; their rows' text stays where it is.
  Part all(P);
  for (Part& part : parts) {
    if (!part.n_rows) continue;
    all.n_rows += part.n_rows;
    for (auto& t : part.mutas) all.mutas.push_back(std::move(t));
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
  const std::size_t n_rows = all.n_rows;

  json::Arena arena;
  auto texts = [&](std::size_t from) {
    std::vector<Value> v;
    for (std::size_t p = from; p < P; ++p) v.push_back(Value::string(periods.texts[p]));
    return arena.array(v);
  };

  timer.mark("  join");
  FindingsIndex diag;
  if (findings) diag = findings_index(*findings, all.mutas, periods.index, periods.texts, arena);
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

  DocumentPieces doc;
  std::string out = "{\"meta\": ";
  append_value(out, arena.object(meta));
  if (!opt.meta_extra.empty()) {
    out.pop_back();  // meta's closing brace: the members below go inside it
    for (const auto& [name, text] : opt.meta_extra) {
      out += ", ";
      json::write_string(out, name);
      out += ": ";
      out += text;
    }
    out += "}";
  }
  out += ", \"rows\": [";
  doc.pieces.push_back(std::move(out));
  bool first = true;
  for (Part& part : parts) {
    if (!part.n_rows) continue;
    if (!first) doc.pieces.emplace_back(", ");
    doc.pieces.push_back(std::move(part.rows_text));
    first = false;
  }
  out = "], \"flow_matrix\": ";
  append_value(out, arena.array(flow));
  out += ", \"band_snapshot\": ";
  append_value(out, arena.object(counts));
  out += ", \"band_risk\": ";
  append_value(out, arena.object(risks));
  if (findings) {
    out += ", \"diag_index\": ";
    append_value(out, diag.index);
  }
  for (const auto& [name, text] : opt.sections) {
    out += ", ";
    json::write_string(out, name);
    out += ": ";
    out += text;
  }
  out += "}";
  doc.pieces.push_back(std::move(out));
  doc.rows = n_rows;
  doc.periods = P;
  doc.latest = periods.texts[L];
  timer.mark("  text");
  return doc;
}

Document build_document(Table facts, const Table* findings, const ScoreboardOptions& opt) {
  DocumentPieces d = build_document_pieces(std::move(facts), findings, opt);
  std::size_t size = 0;
  for (const auto& p : d.pieces) size += p.size();
  Document out{std::string(), d.rows, d.periods, std::move(d.latest)};
  out.text.reserve(size);
  for (auto& p : d.pieces) {
    out.text += p;
    p = std::string();
  }
  return out;
}

}  // namespace halvex::scoreboard
