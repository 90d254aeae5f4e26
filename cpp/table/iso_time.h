// ISO text of dates and times that Arrow delivers as counts since 1970-01-01:
// "YYYY-MM-DD" for a date, "YYYY-MM-DD HH:MM:SS" for a time, with ".fraction"
// (trailing zeros dropped, as DuckDB writes it) when the seconds are not whole.
// A time with a zone is written in UTC.
//
// Only the years 0000 to 9999 are written: their texts have fixed widths, so
// they sort in byte order exactly as the times do, which is what keys and
// periods rely on. Other years (DuckDB's infinity among them) are refused.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halvex::table {

// Longest text written: date, time and nine fraction digits.
inline constexpr std::size_t kMaxIsoTime = 29;

// The date `days` after 1970-01-01 into out; its length, or 0 when the year
// is outside 0000-9999 (nothing is written then).
std::size_t write_iso_date(std::int64_t days, char* out);

// The time `ticks` / `per_second` seconds after 1970-01-01 00:00:00 (per_second
// 1, 1000, 1000000 or 1000000000); its length, or 0 when out of range.
std::size_t write_iso_time(std::int64_t ticks, std::int64_t per_second, char* out);

}  // namespace halvex::table
