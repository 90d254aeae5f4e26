// Stage 3: close-monitoring flag history, segments, region code, label.
#include <cmath>
#include <limits>

#include "ml/features.h"
#include "table/convert.h"
#include "table/parallel.h"
#include "table/text_form.h"
#include "table/window.h"

namespace halvex::ml {

using namespace halvex::table;

namespace {

// (indicator column, segment code)
const std::pair<const char*, const char*> kSegments[] = {
    {"seg_ESKK", "ESKK"}, {"seg_KOBI", "KOBI"}, {"seg_KUR_TIC", "KUR-TIC"}, {"seg_MIKRO", "MIKRO"}};

Column bool_to_int(const Column& b) {
  Column out = Column::int64(b.size());
  parallel_rows(b.size(), [&](std::size_t s, std::size_t e) {
    for (std::size_t i = s; i < e; ++i) out.i64[i] = b.b8[i];
  });
  return out;
}

Column window_count(const Column& flags, const RunGroups& g, int window) {
  Column sums = rolling(flags, g, window, WindowStat::Sum);
  fill_missing(sums, 0.0);
  return to_int64(sums, "window count");
}

}  // namespace

void add_flag_features(Table& fp, const RunGroups& g, std::int64_t horizon) {
  const std::size_t n = fp.num_rows();

  // The flag is set by 1 in any spelling the loaders deliver: 1, 1.0, "1", "1.0".
  Column yi_flag = bool_to_int(text_form_in(fp.at("ykn_izl_flag"), {"1", "1.0"}));
  fp.set("yi_flag_prev", shift_int(yi_flag, g, 1, 0));
  fp.set("yi_flag_count_4", window_count(yi_flag, g, 4));
  fp.set("yi_flag_current", std::move(yi_flag));
  {
    Column is_yi = text_form_in(fp.at("qvr_skor"), {"YI"});
    fp.set("was_yi_prev", shift_int(is_yi, g, 1, 0));
  }

  // Only an exact code sets an indicator; placeholders such as "None" or
  // "nan" for a missing segment never equal one.
  for (const auto& [column, code] : kSegments) fp.set(column, bool_to_int(text_form_in(fp.at("segment"), {code})));

  {
    Column code = to_numeric(fp.at("bolge_kodu"));
    // A value that is no usable region code (infinite, or beyond the integer
    // range) counts as absent like any other junk.
    parallel_rows(n, [&](std::size_t b, std::size_t e) {
      for (std::size_t i = b; i < e; ++i)
        if (!(std::fabs(code.f64[i]) < 9.2e18)) code.f64[i] = 0.0;
    });
    fp.set("bolge_kodu_clean", to_int64(code, "bolge_kodu"));
  }

  // Label: whether a "YI" score follows within `horizon` rows of the entity;
  // missing when no scored row follows within them. One backward pass keeps
  // the distance to the next "YI" row and to the next scored row.
  {
    const Column& skor = fp.at("qvr_skor");
    Column is_yi = text_form_in(skor, {"YI"});
    const std::int32_t* rem = g.rem();
    Column label = Column::float64(n);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr std::int64_t kNone = std::numeric_limits<std::int64_t>::max();
    parallel_groups(g, [&](std::size_t b, std::size_t e) {
      std::int64_t to_yi = kNone, to_scored = kNone;  // from row i+1's point of view, plus one
      for (std::size_t i = e; i-- > b;) {
        if (rem[i] == 0) {
          to_yi = to_scored = kNone;  // last row of its entity
        } else {
          to_yi = is_yi.b8[i + 1] ? 1 : (to_yi == kNone ? kNone : to_yi + 1);
          to_scored = skor.present(i + 1) ? 1 : (to_scored == kNone ? kNone : to_scored + 1);
        }
        bool has_future = to_scored <= horizon;
        label.f64[i] = !has_future ? nan : (to_yi <= horizon ? 1.0 : 0.0);
      }
    });
    fp.set("label", std::move(label));
  }
}

}  // namespace halvex::ml
