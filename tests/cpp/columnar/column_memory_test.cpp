// Column memory keeps what was written and is zero beyond it, whether it grew on the heap, as a
// mapping, or in a block given back by an earlier column with other contents.
#include "columnar/column_memory.hpp"

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace quorvex {
namespace {

// Grows a buffer through `sizes`, writing a pattern into the part reserved at each step, and
// checks the pattern written so far and the zeros after it at every step.
void grow_and_check(const std::vector<std::size_t>& sizes, std::uint8_t seed) {
  Buffer<std::uint8_t> b;
  std::size_t written = 0;
  for (const std::size_t n : sizes) {
    b.reserve(n);
    ASSERT_GE(b.capacity(), n);
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(b.data()) % 64, 0u);
    for (std::size_t i = 0; i < written; ++i) {
      ASSERT_EQ(b[i], static_cast<std::uint8_t>(i * 31 + seed)) << "octet " << i << " of " << n;
    }
    for (std::size_t i = written; i < b.capacity(); ++i) ASSERT_EQ(b[i], 0) << "octet " << i << " of " << n;
    for (std::size_t i = written; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + seed);
    written = std::max(written, n);
  }
}

class ColumnMemoryGrowth : public ::testing::TestWithParam<std::vector<std::size_t>> {};

TEST_P(ColumnMemoryGrowth, KeepsContentsAndZeroesTheRest) {
  // Run twice over, many columns at a time, so that the second round reuses the memory the
  // first gave back, dirty.
  for (int round = 0; round < 2; ++round) {
    for (std::uint8_t seed = 1; seed < 4; ++seed)
      grow_and_check(GetParam(), static_cast<std::uint8_t>(seed + round));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ColumnMemoryGrowth,
    ::testing::Values(std::vector<std::size_t>{1, 100, 5000},                           // heap only
                      std::vector<std::size_t>{70'000, 140'000, 300'000, 900'000},      // blocks kept
                      std::vector<std::size_t>{200'000, 1'100'000, 3'000'000},          // heap to mapping
                      std::vector<std::size_t>{2'000'000, 2'100'000, 9'000'000},        // mapping grown
                      std::vector<std::size_t>{64 << 10, (64 << 10) + 1, 128 << 10}));  // at the edges

TEST(ColumnMemory, ManyColumnsAliveAtOnceNeverShareMemory) {
  std::mt19937 rng(7);
  for (int round = 0; round < 3; ++round) {
    std::vector<Buffer<std::uint32_t>> columns(40);
    for (std::size_t c = 0; c < columns.size(); ++c) {
      const std::size_t n = 1 + rng() % 400'000;
      columns[c].reserve(n);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(columns[c][i], 0u);
        columns[c][i] = static_cast<std::uint32_t>(c);
      }
    }
    for (std::size_t c = 0; c < columns.size(); ++c) {
      EXPECT_EQ(columns[c][0], c);
    }
  }
}

}  // namespace
}  // namespace quorvex
