// Stage 2: score history, score band and risk movement.
//
// One pass over each group-aligned row range computes every column of the
// stage: each row looks back at most 3 rows of its own entity, so the pass
// is linear and the ranges run on separate threads.
#include <cmath>
#include <limits>

#include "common/score_bands.h"
#include "ml/features.h"
#include "table/convert.h"
#include "table/window.h"

namespace halvex::ml {

using namespace halvex::table;

void add_history_features(Table& fp, const RunGroups& g) {
  const std::size_t n = fp.num_rows();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double* q = fp.at("qvr_num").f64.data();

  // The loaded risk becomes risk_current in place: each row reads its own
  // value before writing it, and keeps it for the next row.
  Column risk_current = fp.take_column("kombine_risk");
  if (risk_current.type() != DType::Float64) risk_current = to_float64(risk_current, "kombine_risk");
  double* risk = risk_current.f64.data();

  Column lag1 = Column::float64(n), lag2 = Column::float64(n), lag3 = Column::float64(n);
  Column delta1 = Column::float64(n), delta3 = Column::float64(n);
  Column max3 = Column::float64(n), mean3 = Column::float64(n), std3 = Column::float64(n);
  Column consec = Column::int64(n), above825 = Column::int64(n), above500 = Column::int64(n);
  Column band = Column::int64(n);
  Column risk_delta = Column::float64(n);
  Column risk_pct = Column::float64(n), risk_mio = Column::float64(n);
  const std::int32_t* pos = g.pos();

  parallel_groups(g, [&](std::size_t b, std::size_t e) {
    std::int64_t run = 0;
    double prev_raw = nan;  // loaded risk of the row before (ranges start at a group start)
    for (std::size_t i = b; i < e; ++i) {
      const std::int32_t p = pos[i];
      const double x = q[i];
      const double l1 = p >= 1 ? q[i - 1] : nan;
      const double l3 = p >= 3 ? q[i - 3] : nan;
      lag1.f64[i] = l1;
      lag2.f64[i] = p >= 2 ? q[i - 2] : nan;
      lag3.f64[i] = l3;
      delta1.f64[i] = x - l1;  // missing when either side is
      delta3.f64[i] = x - l3;

      // 3-row window, at least one present score; no score means no spread.
      std::size_t w3 = p >= 2 ? 3 : static_cast<std::size_t>(p) + 1;
      WindowStats w = window_stats(q + i + 1 - w3, w3);
      max3.f64[i] = w.count ? w.max : nan;
      mean3.f64[i] = w.count ? w.mean : nan;
      std3.f64[i] = w.count ? w.std : 0.0;

      // A row that is no strict rise over the previous one (a missing score on
      // either side included) starts a new streak.
      run = x > l1 ? run + 1 : 0;
      consec.i64[i] = run;

      std::size_t w4 = p >= 3 ? 4 : static_cast<std::size_t>(p) + 1;
      std::int64_t c825 = 0, c500 = 0;
      for (std::size_t j = i + 1 - w4; j <= i; ++j) {
        c825 += q[j] >= kHighThreshold;
        c500 += q[j] >= kYisThreshold;
      }
      above825.i64[i] = c825;
      above500.i64[i] = c500;
      band.i64[i] = std::isnan(x) ? -1 : x >= kYiScore ? 3 : x >= kHighThreshold ? 2 : x >= kYisThreshold ? 1 : 0;

      // A missing risk counts as 0; a missing previous risk is taken to equal
      // the current one, so it shows no change.
      const double raw = risk[i];
      const double r = std::isnan(raw) ? 0.0 : raw;
      const double prev = (p >= 1 && !std::isnan(prev_raw)) ? prev_raw : r;
      const double d = r - prev;
      prev_raw = raw;
      risk[i] = r;
      risk_delta.f64[i] = d;
      risk_pct.f64[i] = prev != 0.0 ? d / prev : 0.0;
      risk_mio.f64[i] = r / 1000000.0;
    }
  });

  fp.set("qvr_lag_1", std::move(lag1));
  fp.set("qvr_lag_2", std::move(lag2));
  fp.set("qvr_lag_3", std::move(lag3));
  fp.set("qvr_delta_1", std::move(delta1));
  fp.set("qvr_delta_3", std::move(delta3));
  fp.set("qvr_max_3", std::move(max3));
  fp.set("qvr_mean_3", std::move(mean3));
  fp.set("qvr_std_3", std::move(std3));
  fp.set("qvr_consec_rise", std::move(consec));
  fp.set("qvr_above_825_count", std::move(above825));
  fp.set("qvr_above_500_count", std::move(above500));
  fp.set("qvr_band", std::move(band));
  fp.set("risk_current", std::move(risk_current));
  fp.set("risk_delta_1", std::move(risk_delta));
  fp.set("risk_delta_pct", std::move(risk_pct));
  fp.set("risk_mio", std::move(risk_mio));
}

}  // namespace halvex::ml
