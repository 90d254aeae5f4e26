// Stage 2: score history, score band and risk movement.
#include <cmath>
#include <limits>

#include "ml/features.h"
#include "table/convert.h"
#include "table/parallel.h"
#include "table/window.h"

namespace halvex::ml {

using namespace halvex::table;

namespace {

Column subtract(const Column& a, const Column& b) {
  Column out = Column::float64(a.size());
  parallel_rows(a.size(), [&](std::size_t s, std::size_t e) {
    for (std::size_t i = s; i < e; ++i) out.f64[i] = a.f64[i] - b.f64[i];  // NaN propagates
  });
  return out;
}

// 1.0 where the score reaches the threshold, else 0.0 (missing counts 0).
Column at_least(const Column& q, double threshold) {
  Column out = Column::float64(q.size());
  parallel_rows(q.size(), [&](std::size_t s, std::size_t e) {
    for (std::size_t i = s; i < e; ++i) out.f64[i] = q.f64[i] >= threshold ? 1.0 : 0.0;
  });
  return out;
}

// Window count of rows at or above a threshold, as an integer.
Column count_at_least(const Column& q, const RunGroups& g, double threshold) {
  Column sums = rolling(at_least(q, threshold), g, 4, WindowStat::Sum);
  fill_missing(sums, 0.0);
  return to_int64(sums, "threshold count");
}

}  // namespace

void add_history_features(Table& fp, const RunGroups& g) {
  const std::size_t n = fp.num_rows();
  {
    const Column& q = fp.at("qvr_num");
    Column lag1 = shift(q, g, 1);
    Column lag3 = shift(q, g, 3);
    Column delta1 = subtract(q, lag1);
    Column delta3 = subtract(q, lag3);
    fp.set("qvr_lag_1", std::move(lag1));
    fp.set("qvr_lag_2", shift(fp.at("qvr_num"), g, 2));
    fp.set("qvr_lag_3", std::move(lag3));
    fp.set("qvr_delta_1", std::move(delta1));
    fp.set("qvr_delta_3", std::move(delta3));
  }
  const Column& q = fp.at("qvr_num");
  fp.set("qvr_max_3", rolling(q, g, 3, WindowStat::Max));
  fp.set("qvr_mean_3", rolling(q, g, 3, WindowStat::Mean));
  Column std3 = rolling(fp.at("qvr_num"), g, 3, WindowStat::Std);
  fill_missing(std3, 0.0);  // a window without scores has no spread
  fp.set("qvr_std_3", std::move(std3));

  // Rise streak: a row that is not a strict rise over the previous row starts
  // a new streak; a rising row is one further into its streak, so the count
  // is the number of strict rises in a row ending here.
  {
    const Column& qn = fp.at("qvr_num");
    const Column& prev = fp.at("qvr_lag_1");
    Column consec = Column::int64(n);
    parallel_groups(g, [&](std::size_t b, std::size_t e) {
      std::int64_t run = 0;
      for (std::size_t i = b; i < e; ++i) {
        bool rising = qn.f64[i] > prev.f64[i];  // false when either is missing
        run = rising ? run + 1 : 0;
        consec.i64[i] = run;
      }
    });
    fp.set("qvr_consec_rise", std::move(consec));
  }
  fp.set("qvr_above_825_count", count_at_least(fp.at("qvr_num"), g, 825.0));
  fp.set("qvr_above_500_count", count_at_least(fp.at("qvr_num"), g, 500.0));

  {
    const Column& qn = fp.at("qvr_num");
    Column band = Column::int64(n);
    parallel_rows(n, [&](std::size_t b, std::size_t e) {
      for (std::size_t i = b; i < e; ++i) {
        double v = qn.f64[i];
        band.i64[i] = std::isnan(v) ? -1 : v >= 1000.0 ? 3 : v >= 825.0 ? 2 : v >= 500.0 ? 1 : 0;
      }
    });
    fp.set("qvr_band", std::move(band));
  }

  // Risk: a missing risk counts as 0 now; a missing previous risk is taken to
  // equal the current one, so it shows no change.
  Column risk = to_float64(fp.at("kombine_risk"), "kombine_risk");
  Column filled = risk.clone();
  fill_missing(filled, 0.0);
  Column prev = shift(risk, g, 1);
  fill_missing(prev, filled);
  Column delta = subtract(filled, prev);
  Column pct = Column::float64(n);
  Column mio = Column::float64(n);
  parallel_rows(n, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
      pct.f64[i] = prev.f64[i] != 0.0 ? delta.f64[i] / prev.f64[i] : 0.0;
      mio.f64[i] = filled.f64[i] / 1000000.0;
    }
  });
  fp.set("risk_current", std::move(filled));
  fp.set("risk_delta_1", std::move(delta));
  fp.set("risk_delta_pct", std::move(pct));
  fp.set("risk_mio", std::move(mio));
}

}  // namespace halvex::ml
