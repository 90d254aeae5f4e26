#include "table/iso_time.h"

namespace halvex::table {

namespace {

// Day counts of 0000-01-01 and 9999-12-31.
constexpr std::int64_t kFirstDay = -719528;
constexpr std::int64_t kLastDay = 2932896;

// Quotient and remainder rounded toward minus infinity (times before 1970).
constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - (a % b < 0 ? 1 : 0); }

void digits(std::int64_t v, int width, char* out) {
  for (int k = width - 1; k >= 0; --k, v /= 10) out[k] = static_cast<char>('0' + v % 10);
}

}  // namespace

std::size_t write_iso_date(std::int64_t days, char* out) {
  if (days < kFirstDay || days > kLastDay) return 0;
  // Civil date from a day count (H. Hinnant's algorithm): eras of 400 years
  // starting on 1 March, so the leap day ends a year.
  const std::int64_t z = days + 719468;
  const std::int64_t era = floor_div(z, 146097);
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  digits(year, 4, out);
  out[4] = '-';
  digits(month, 2, out + 5);
  out[7] = '-';
  digits(day, 2, out + 8);
  return 10;
}

std::size_t write_iso_time(std::int64_t ticks, std::int64_t per_second, char* out) {
  int fraction_digits = 0;
  for (std::int64_t p = per_second; p > 1; p /= 10) ++fraction_digits;
  const std::int64_t seconds = floor_div(ticks, per_second);
  // The remainder itself, not ticks - seconds * per_second: that product leaves the 64-bit
  // range for the earliest ticks.
  const std::int64_t rest = ticks % per_second;
  const std::int64_t fraction = rest < 0 ? rest + per_second : rest;
  const std::int64_t days = floor_div(seconds, 86400);
  const std::int64_t in_day = seconds - days * 86400;
  if (write_iso_date(days, out) == 0) return 0;
  out[10] = ' ';
  digits(in_day / 3600, 2, out + 11);
  out[13] = ':';
  digits(in_day / 60 % 60, 2, out + 14);
  out[16] = ':';
  digits(in_day % 60, 2, out + 17);
  std::size_t n = 19;
  if (fraction != 0) {
    out[n] = '.';
    digits(fraction, fraction_digits, out + n + 1);
    n += 1 + static_cast<std::size_t>(fraction_digits);
    while (out[n - 1] == '0') --n;
  }
  return n;
}

}  // namespace halvex::table
