// A borrower's score in each period, its band as the page shows it, and the marks and the
// reason text the document derives from the score's movement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "common/score_bands.h"

namespace halvex::scoreboard {

// The score of one period: "YI" (close monitoring), a number, or none (no fact row, or a
// score missing or not a number).
struct Score {
  bool yi = false;
  double value = std::numeric_limits<double>::quiet_NaN();
  bool numeric() const { return !yi && value == value; }
  bool present() const { return yi || numeric(); }
};

// Bands in the page's order; the page bands a number by its thresholds alone and only the
// text "YI" as YI, so a numeric 1000 is YUKSEK here too.
enum Band : std::uint8_t { kEus, kYis, kHigh, kYi, kNone };
inline constexpr std::size_t kBands = 5;
inline constexpr const char* kBandKeys[kBands] = {"EUS", "YIS", "YUKSEK", "YI", "YOK"};

inline Band band_of(const Score& s) {
  if (s.yi) return kYi;
  if (!s.numeric()) return kNone;
  return s.value >= kHighThreshold ? kHigh : s.value >= kYisThreshold ? kYis : kEus;
}

// Fast riser: at least this many points gained over the last three periods.
inline constexpr double kFastRise = 120.0;
inline constexpr std::size_t kRiseSpan = 3;
// Potential YI: a score from the high band, or a fast riser from this score on.
inline constexpr double kPotentialRiserScore = 700.0;

struct Marks {
  bool fast_riser = false;    // _hizli_yukselen
  bool band_change = false;   // _rejim_degisimi: out of EUS into YIS or higher
  bool potential_yi = false;  // _potansiyel_yi
  std::string reason;         // _qvr_neden; empty for an unmarked, unmoved score
};

// The marks of a borrower whose scores in the document's periods are scores[0..n), the
// latest last (n >= 1); `source` is the latest score's source (qvr_kaynak), empty if none.
Marks marks_of(const Score* scores, std::size_t n, std::string_view source);

// A score or amount as the reason text writes it: whole numbers without a point.
void append_number(std::string& out, double v);

}  // namespace halvex::scoreboard
