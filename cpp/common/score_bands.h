// Where a numeric score's band starts: the same for the feature builder's qvr_band and the
// scoreboard's bands.
#pragma once

namespace halvex {

inline constexpr double kYisThreshold = 500.0;   // YIS from here
inline constexpr double kHighThreshold = 825.0;  // the high band from here
// The number the feature builder reads a "YI" score as (its own band above the high one).
inline constexpr double kYiScore = 1000.0;

}  // namespace halvex
