#include "columnar/computed_keys.hpp"

#include <cmath>

namespace quorvex {

namespace {

constexpr std::int64_t kMonthStarts[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
constexpr std::int64_t kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr std::int64_t kMicrosPerDay = 86'400'000'000;

bool leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Leap days of the years 1 to y (y >= 0).
std::int64_t leap_days(std::int64_t y) { return y / 4 - y / 100 + y / 400; }

// Whether low <= v < high (false for NaN).
bool within(double v, double low, double high) { return v >= low && v < high; }

// Reads a column's rows one after the other, across its chunks.
class NumberCursor {
 public:
  explicit NumberCursor(NumberColumn column) : chunks_(column) {}
  // The next row's value, NaN where it is missing.
  double next() {
    while (row_ == chunks_[chunk_].length) {
      ++chunk_;
      row_ = 0;
    }
    const NumberChunk& c = chunks_[chunk_];
    const std::size_t at = c.offset + row_++;
    if (c.valid != nullptr && ((c.valid[at >> 3] >> (at & 7)) & 1) == 0) return std::nan("");
    if (c.kind == NumberChunk::Kind::Int64)
      return static_cast<double>(static_cast<const std::int64_t*>(c.values)[at]);
    return static_cast<const double*>(c.values)[at];
  }

 private:
  NumberColumn chunks_;
  std::size_t chunk_ = 0;
  std::size_t row_ = 0;
};

// The stamp of one row's parts, kNoStamp when it has none.
std::int64_t stamp(double year, double month, double day, double hour, double minute, double second) {
  if (std::isnan(minute)) minute = 0;
  if (std::isnan(second)) second = 0;
  if (!(year >= 1 && year <= 9999 && within(month, 1, 13) && day >= 1 && within(hour, 0, 24) &&
        within(minute, 0, 60) && within(second, 0, 60))) {
    return kNoStamp;
  }
  const auto y = static_cast<std::int64_t>(year);
  const auto m = static_cast<std::int64_t>(month);
  const bool leap_year = leap(y);
  if (day >= static_cast<double>(kMonthDays[m - 1] + (leap_year && m == 2) + 1)) return kNoStamp;
  const auto d = static_cast<std::int64_t>(day);
  const std::int64_t days = (y - 1970) * 365 + leap_days(y - 1) - leap_days(1969) + kMonthStarts[m - 1] +
                            (leap_year && m > 2) + d - 1;
  return days * kMicrosPerDay + static_cast<std::int64_t>(hour) * 3'600'000'000 +
         static_cast<std::int64_t>(minute) * 60'000'000 + static_cast<std::int64_t>(second * 1'000'000);
}

}  // namespace

std::size_t date_stamps(const DateParts& parts, std::span<std::int64_t> stamps) {
  NumberCursor year(parts.year), month(parts.month), day(parts.day), hour(parts.hour), minute(parts.minute),
      second(parts.second);
  std::size_t missing = 0;
  for (std::int64_t& out : stamps) {
    // one part after the other: the order of a function's arguments is unspecified
    const double y = year.next(), mo = month.next(), d = day.next(), h = hour.next(), mi = minute.next();
    out = stamp(y, mo, d, h, mi, second.next());
    missing += out == kNoStamp;
  }
  return missing;
}

}  // namespace quorvex
