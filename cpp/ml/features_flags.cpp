// Stage 3: close-monitoring flag history, segments, region code, label.
//
// Like stage 2, one forward pass per group-aligned row range, plus one
// backward pass for the label.
#include <cmath>
#include <limits>
#include <string>
#include <string_view>

#include "common/parallel.h"
#include "common/segments.h"
#include "ml/features.h"
#include "table/convert.h"
#include "table/text_form.h"
#include "table/window.h"

namespace halvex::ml {

using namespace halvex::table;

namespace {

constexpr std::size_t kSegments = SEGMENTS_LIST.size();

// The indicator column of a segment: "seg_" and the code, "-" written as "_".
std::string segment_column(std::string_view code) {
  std::string name = "seg_";
  for (char ch : code) name.push_back(ch == '-' ? '_' : ch);
  return name;
}

// Position in SEGMENTS_LIST of the code that row i's text form equals, or -1.
// Only an exact code matches: placeholders such as "None" or "nan" for a
// missing segment never do.
int segment_of(const Column& seg, std::size_t i) {
  if (!seg.present(i)) return -1;
  if (seg.type() == DType::Text) return segment_index(seg.str(i));
  for (std::size_t k = 0; k < kSegments; ++k)
    if (text_form_equals(seg, i, SEGMENTS_LIST[k])) return static_cast<int>(k);
  return -1;
}

// Region code: numeric value truncated toward zero, 0 when absent or junk
// (also when infinite or beyond the integer range).
std::int64_t region_code(const Column& c, std::size_t i) {
  if (c.type() == DType::Int64) return c.present(i) ? c.i64[i] : 0;
  double v = numeric_at(c, i);
  return std::fabs(v) < 9.2e18 ? static_cast<std::int64_t>(v) : 0;
}

}  // namespace

void add_flag_features(Table& fp, const RunGroups& g, std::int64_t horizon) {
  const std::size_t n = fp.num_rows();
  // The flag is set by 1 in any spelling the loaders deliver: 1, 1.0, "1", "1.0".
  Column yi_flag_bool = text_form_in(fp.at("ykn_izl_flag"), {"1", "1.0"});
  (void)fp.take_column("ykn_izl_flag");

  // Segment indicators and region code depend on the row alone.
  {
    const Column& segment = fp.at("segment");
    const Column& bolge = fp.at("bolge_kodu");
    Column seg[kSegments] = {Column::int64(n), Column::int64(n), Column::int64(n), Column::int64(n)};
    Column region = Column::int64(n);
    parallel_rows(n, [&](std::size_t b, std::size_t e) {
      for (std::size_t i = b; i < e; ++i) {
        int s = segment_of(segment, i);
        for (std::size_t k = 0; k < kSegments; ++k) seg[k].i64[i] = s == static_cast<int>(k);
        region.i64[i] = region_code(bolge, i);
      }
    });
    for (std::size_t k = 0; k < kSegments; ++k) fp.set(segment_column(SEGMENTS_LIST[k]), std::move(seg[k]));
    fp.set("bolge_kodu_clean", std::move(region));
    (void)fp.take_column("segment");
    (void)fp.take_column("bolge_kodu");
  }

  const Column marks_col = fp.take_column("score_marks");
  const std::uint8_t* flag = yi_flag_bool.b8.data();
  const std::uint8_t* marks = marks_col.b8.data();
  const std::int32_t* pos = g.pos();
  const std::int32_t* rem = g.rem();
  Column cur = Column::int64(n), prev = Column::int64(n), count4 = Column::int64(n);
  Column was_yi = Column::int64(n), label = Column::float64(n);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr std::int64_t kNone = std::numeric_limits<std::int64_t>::max();

  parallel_groups(g, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
      const std::int32_t p = pos[i];
      cur.i64[i] = flag[i];
      prev.i64[i] = p >= 1 ? flag[i - 1] : 0;
      std::int64_t c = 0;
      for (std::size_t j = i - (p >= 3 ? 3 : p); j <= i; ++j) c += flag[j];
      count4.i64[i] = c;
      was_yi.i64[i] = p >= 1 ? (marks[i - 1] & kMarkYi) : 0;
    }
    // Label: whether a "YI" score follows within `horizon` rows of the entity;
    // missing when no scored row (any present score) follows within them.
    // Walking backwards keeps the distance to the next such rows.
    std::int64_t to_yi = kNone, to_scored = kNone;
    for (std::size_t i = e; i-- > b;) {
      if (rem[i] == 0) {
        to_yi = to_scored = kNone;  // last row of its entity
      } else {
        to_yi = (marks[i + 1] & kMarkYi) ? 1 : (to_yi == kNone ? kNone : to_yi + 1);
        to_scored = (marks[i + 1] & kMarkScored) ? 1 : (to_scored == kNone ? kNone : to_scored + 1);
      }
      bool has_future = to_scored != kNone && to_scored <= horizon;
      bool future_yi = to_yi != kNone && to_yi <= horizon;
      label.f64[i] = has_future ? (future_yi ? 1.0 : 0.0) : nan;
    }
  });

  fp.set("yi_flag_current", std::move(cur));
  fp.set("yi_flag_prev", std::move(prev));
  fp.set("yi_flag_count_4", std::move(count4));
  fp.set("was_yi_prev", std::move(was_yi));
  fp.set("label", std::move(label));
}

}  // namespace halvex::ml
