// Dates from their parts read across chunks: however a column is cut into chunks, with
// offsets and validity bitmaps, every row gives the date of its own parts.
#include "columnar/computed_keys.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace quorvex {
namespace {

// One part of every row as float64 values (NaN where missing).
using Part = std::vector<double>;

// A column holding `part` in chunks of `size` rows (the last may be shorter), each chunk's
// buffers starting `offset` rows before its first row; int64 values with a bitmap, or float64
// values with NaN.
struct Chunked {
  std::vector<std::vector<std::int64_t>> ints;
  std::vector<std::vector<double>> doubles;
  std::vector<std::vector<std::uint8_t>> bits;
  std::vector<NumberChunk> chunks;

  Chunked(const Part& part, std::size_t size, std::size_t offset, bool as_int) {
    for (std::size_t start = 0; start < part.size(); start += size) {
      const std::size_t n = std::min(size, part.size() - start);
      NumberChunk c{
          as_int ? NumberChunk::Kind::Int64 : NumberChunk::Kind::Double, nullptr, nullptr, offset, n};
      auto& v = ints.emplace_back(offset + n, 7);
      auto& d = doubles.emplace_back(offset + n, 7.0);
      auto& b = bits.emplace_back((offset + n + 7) / 8, 0);
      for (std::size_t i = 0; i < n; ++i) {
        const double x = part[start + i];
        d[offset + i] = x;
        if (!std::isnan(x)) {
          v[offset + i] = static_cast<std::int64_t>(x);
          b[(offset + i) / 8] = static_cast<std::uint8_t>(b[(offset + i) / 8] | (1u << ((offset + i) % 8)));
        }
      }
      c.values = as_int ? static_cast<const void*>(v.data()) : static_cast<const void*>(d.data());
      c.valid = as_int ? b.data() : nullptr;
      chunks.push_back(c);
    }
  }
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t kDay = 86'400'000'000;

// (chunk rows, offset): how the parts are cut.
class DateChunks : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(DateChunks, EveryRowGivesItsOwnDate) {
  // 2024-02-29 12:30:15, 2023-02-29 (no such day), a missing hour, 1969-12-31 23:59 (before
  // 1970), 2000-03-01 with no minute or second, a month out of range
  const std::array<Part, 6> parts = {Part{2024, 2023, 2024, 1969, 2000, 2024},
                                     Part{2, 2, 1, 12, 3, 13},
                                     Part{29, 29, 1, 31, 1, 1},
                                     Part{12, 0, kNaN, 23, 6, 0},
                                     Part{30, 0, 0, 59, kNaN, 0},
                                     Part{15, 0, 0, 0, kNaN, 0}};
  const std::vector<std::int64_t> expected = {19782 * kDay + (12 * 3600 + 30 * 60 + 15) * 1'000'000LL,
                                              kNoStamp,
                                              kNoStamp,
                                              -60'000'000LL,
                                              11017 * kDay + 6 * 3'600'000'000LL,
                                              kNoStamp};
  const auto [size, offset] = GetParam();
  for (const bool as_int : {true, false}) {
    std::vector<Chunked> columns;
    for (std::size_t k = 0; k < 6; ++k) columns.emplace_back(parts[k], size + k % 2, offset + k, as_int);
    std::vector<std::int64_t> stamps(expected.size());
    const std::size_t missing = date_stamps(DateParts{columns[0].chunks,
                                                      columns[1].chunks,
                                                      columns[2].chunks,
                                                      columns[3].chunks,
                                                      columns[4].chunks,
                                                      columns[5].chunks},
                                            stamps);
    EXPECT_EQ(stamps, expected) << "int64 parts: " << as_int;
    EXPECT_EQ(missing, 3u);
  }
}

INSTANTIATE_TEST_SUITE_P(Cuts, DateChunks,
                         ::testing::Values(std::pair<std::size_t, std::size_t>{6, 0},
                                           std::pair<std::size_t, std::size_t>{1, 0},
                                           std::pair<std::size_t, std::size_t>{2, 3},
                                           std::pair<std::size_t, std::size_t>{4, 9}));

}  // namespace
}  // namespace quorvex
