// Keys computed row by row from decoded columns: the dates that read_dataframe derives from
// their year, month, day, hour, minute and second keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

namespace quorvex {

// One chunk of a numeric Arrow column, read in place: its values (int64 or float64) and its
// validity bitmap (null: every value present), the chunk's offset not yet applied to either.
struct NumberChunk {
  enum class Kind : std::uint8_t { Int64, Double };
  Kind kind = Kind::Double;
  const void* values = nullptr;
  const std::uint8_t* valid = nullptr;
  std::size_t offset = 0;
  std::size_t length = 0;
};

// A column as its chunks, in row order.
using NumberColumn = std::span<const NumberChunk>;

// The parts of one date per row; every column holds the same number of rows.
struct DateParts {
  NumberColumn year, month, day, hour, minute, second;
};

// What a row without a date holds (numpy's NaT).
inline constexpr std::int64_t kNoStamp = std::numeric_limits<std::int64_t>::min();

// Microseconds since 1970-01-01T00:00 (proleptic Gregorian calendar) of each row, kNoStamp
// where the row has none: where its year, month, day or hour is missing, a part is out of its
// range or the day lies past its month's end. A missing minute or second counts as 0. Parts
// are truncated to whole numbers, the second to the microsecond. `stamps` holds as many rows
// as the parts. Returns the number of rows without a date.
std::size_t date_stamps(const DateParts& parts, std::span<std::int64_t> stamps);

}  // namespace quorvex
