#include "scoreboard/score_marks.h"

#include <cmath>

#include "common/number_text.h"

namespace halvex::scoreboard {

namespace {

const char* band_label(Band b) {
  static constexpr const char* kLabels[kBands] = {"EUS", "YIS", "Yüksek", "YI", "Skor yok"};
  return kLabels[b];
}

}  // namespace

void append_number(std::string& out, double v) {
  if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 9.0e15)
    halvex::append_int(out, static_cast<std::int64_t>(v));
  else
    halvex::append_double_repr(out, v);
}

Marks marks_of(const Score* scores, std::size_t n, std::string_view source) {
  Marks m;
  const Score& last = scores[n - 1];
  const std::size_t back = n - 1 >= kRiseSpan ? n - 1 - kRiseSpan : 0;
  const Score& first = scores[back];
  const bool rose = back < n - 1 && last.numeric() && first.numeric();
  const double rise = rose ? last.value - first.value : 0.0;
  m.fast_riser = rise >= kFastRise;
  if (n >= 2) {
    const Score& prev = scores[n - 2];
    m.band_change = prev.numeric() && last.numeric() && prev.value < kYisThreshold && last.value >= kYisThreshold;
  }
  m.potential_yi = last.numeric() && (last.value >= kHighThreshold || (m.fast_riser && last.value >= kPotentialRiserScore));

  const Band to = band_of(last), from = n >= 2 ? band_of(scores[n - 2]) : kNone;
  const bool moved = from != kNone && to != kNone && from != to;
  if (!(moved || m.fast_riser || m.band_change || m.potential_yi)) return m;
  std::string& r = m.reason;
  if (moved) {
    r += "Bant: ";
    r += band_label(from);
    r += " → ";
    r += band_label(to);
  }
  if (rise > 0) {
    if (!r.empty()) r += "; ";
    halvex::append_int(r, static_cast<std::int64_t>(n - 1 - back));
    r += " dönemde +";
    append_number(r, rise);
    r += " puan (";
    append_number(r, first.value);
    r += " → ";
    append_number(r, last.value);
    r += ")";
  }
  if (!source.empty()) {
    if (!r.empty()) r += "; ";
    r += "Kaynak: ";
    r += source;
  }
  return m;
}

}  // namespace halvex::scoreboard
