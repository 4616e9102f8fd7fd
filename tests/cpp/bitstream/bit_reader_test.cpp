#include "bitstream/bit_reader.hpp"

#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace quorvex {
namespace {

using Octets = std::vector<std::uint8_t>;

std::string error_text(const BufrError& e) { return e.message(); }

// Bit p of the data, taken one at a time: the reference the fast reader is checked against.
std::uint64_t slow_bits(const Octets& data, std::uint64_t pos, unsigned width) {
  std::uint64_t v = 0;
  for (unsigned k = 0; k < width; ++k, ++pos) {
    v = (v << 1) | ((data[pos / 8] >> (7 - pos % 8)) & 1u);
  }
  return v;
}

TEST(BitReaderTest, EmptyDataReadsOnlyWidthZero) {
  BitReader r{Bytes{}};
  EXPECT_EQ(r.read_bits(0).value(), 0u);
  EXPECT_EQ(r.read_bytes(0).value(), "");
  auto bad = r.read_bits(1);
  ASSERT_FALSE(bad);
  EXPECT_EQ(error_text(bad.error()),
            "csv/table parse error: not enough bits while reading section 4 at bit 0 for width 1 "
            "(0 bits available)");
  EXPECT_EQ(r.position(), 0u);
}

TEST(BitReaderTest, FieldsCrossOctetBoundaries) {
  const Octets data = {0x5A /* 010 1101 0 */, 0xC3 /* 110 000 11 */};
  BitReader r{data};
  EXPECT_EQ(r.read_bits(3).value(), 2u);    // 010
  EXPECT_EQ(r.read_bits(7).value(), 107u);  // 1101011
  EXPECT_EQ(r.read_bits(6).value(), 3u);    // 000011
  EXPECT_EQ(r.position(), 16u);
  EXPECT_EQ(r.bits_remaining(), 0u);
}

TEST(BitReaderTest, ReadEndingOnLastBitSucceedsOneMoreFails) {
  const Octets data = {0xFF, 0x01};
  BitReader r{data};
  ASSERT_EQ(r.read_bits(9).value(), 0x1FEu);
  EXPECT_EQ(r.read_bits(7).value(), 1u);
  auto bad = r.read_bits(1);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().text(),
            "not enough bits while reading section 4 at bit 16 for width 1 (16 bits available)");
  EXPECT_EQ(r.position(), 16u);
}

TEST(BitReaderTest, ShortageLeavesPositionUnchanged) {
  const Octets data = {0xAB, 0xCD};
  BitReader r{data};
  ASSERT_TRUE(r.read_bits(5));
  auto bad = r.read_bits(12);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().text(),
            "not enough bits while reading section 4 at bit 5 for width 12 (16 bits available)");
  EXPECT_EQ(r.position(), 5u);
}

TEST(BitReaderTest, FullWidthAndWidthError) {
  const Octets ones(8, 0xFF);
  BitReader r{ones};
  EXPECT_EQ(r.read_bits(64).value(), ~std::uint64_t{0});
  // The width test comes before the availability test.
  BitReader r2{Octets(16, 0)};
  auto bad = r2.read_bits(65);
  ASSERT_FALSE(bad);
  EXPECT_EQ(error_text(bad.error()), "csv/table parse error: cannot read 65 bits into u64");
  EXPECT_EQ(r2.position(), 0u);
}

// Every width 1..64 at every bit offset 0..7, near the end of the data too, against a
// bit-by-bit reading of the same random octets.
class BitReaderSweep : public ::testing::TestWithParam<unsigned> {};

TEST_P(BitReaderSweep, MatchesBitByBitReading) {
  const unsigned width = GetParam();
  std::mt19937_64 rng(width);
  Octets data(17);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  const std::uint64_t total = data.size() * 8;
  for (std::uint64_t start = 0; start + width <= total; start += 3) {
    BitReader r{data};
    // Reach the start with reads of at most 64 bits.
    for (std::uint64_t left = start; left > 0;) {
      const auto w = static_cast<std::uint16_t>(left > 64 ? 64 : left);
      ASSERT_TRUE(r.read_bits(w));
      left -= w;
    }
    ASSERT_EQ(r.read_bits(static_cast<std::uint16_t>(width)).value(), slow_bits(data, start, width))
        << "start " << start;
    EXPECT_EQ(r.position(), start + width);
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, BitReaderSweep, ::testing::Range(1u, 65u));

// The flag form reads exactly what read_bits reads, and fails exactly where it fails
// (width above 64, or more bits than remain), leaving the position as it was.
class TryReadSweep : public ::testing::TestWithParam<unsigned> {};

TEST_P(TryReadSweep, AgreesWithReadBits) {
  const auto width = static_cast<std::uint16_t>(GetParam());
  std::mt19937_64 rng(width + 1000);
  Octets data(11);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  for (std::uint64_t start = 0; start <= data.size() * 8; start += 5) {
    BitReader a{data};
    BitReader b{data};
    for (std::uint64_t left = start; left > 0;) {
      const auto w = static_cast<std::uint16_t>(left > 64 ? 64 : left);
      ASSERT_TRUE(a.read_bits(w));
      ASSERT_TRUE(b.read_bits(w));
      left -= w;
    }
    std::uint64_t value = 12345;
    const bool ok = a.try_read_bits(width, value);
    const auto expected = b.read_bits(width);
    ASSERT_EQ(ok, expected.has_value()) << "start " << start;
    if (ok) {
      EXPECT_EQ(value, *expected);
    } else {
      EXPECT_EQ(value, 12345u);
    }
    EXPECT_EQ(a.position(), b.position());
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, TryReadSweep,
                         ::testing::Values(0u, 1u, 7u, 8u, 9u, 31u, 57u, 63u, 64u, 65u, 255u, 65535u));

TEST(BitReaderTest, ReadBytesKeepsPartialOctetHighOrder) {
  const Octets data = {0x41, 0x42};
  BitReader r{data};
  EXPECT_EQ(r.read_bytes(12).value(), std::string("\x41\x40", 2));
  EXPECT_EQ(r.position(), 12u);
}

TEST(BitReaderTest, ReadBytesUnalignedMatchesBitReads) {
  const Octets data = {0xDE, 0xAD, 0xBE, 0xEF, 0x12, 0x34};
  for (unsigned skip = 0; skip < 8; ++skip) {
    BitReader r{data};
    ASSERT_TRUE(r.read_bits(static_cast<std::uint16_t>(skip)));
    const std::string got = r.read_bytes(27).value();
    ASSERT_EQ(got.size(), 4u);
    for (unsigned k = 0; k < 3; ++k) {
      EXPECT_EQ(static_cast<std::uint8_t>(got[k]), slow_bits(data, skip + 8 * k, 8)) << skip;
    }
    EXPECT_EQ(static_cast<std::uint8_t>(got[3]), slow_bits(data, skip + 24, 3) << 5) << skip;
    EXPECT_EQ(r.position(), skip + 27u);
  }
}

// 24 bits asked with 20 left: two octets are read, the third fails at its own position.
TEST(BitReaderTest, ReadBytesShortageReportsFailingOctet) {
  for (std::uint16_t skip : {0, 4}) {
    const Octets data = {0x00, 0x61, 0x62, 0x63};
    BitReader r{data};
    ASSERT_TRUE(r.read_bits(static_cast<std::uint16_t>(12 + skip)));
    auto bad = r.read_bytes(24);
    ASSERT_FALSE(bad);
    const std::uint64_t at = 12u + skip + 16u;
    EXPECT_EQ(bad.error().text(),
              "not enough bits while reading section 4 at bit " + std::to_string(at) +
                  " for width 8 (32 bits available)");
    EXPECT_EQ(r.position(), at);
  }
}

TEST(BitReaderTest, ReadBytesShortageInLastPartialOctetReportsItsWidth) {
  const Octets data = {0x61, 0x62};
  BitReader r{data};
  ASSERT_TRUE(r.read_bits(2));
  auto bad = r.read_bytes(15);  // one whole octet, then 7 bits with 6 left
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().text(),
            "not enough bits while reading section 4 at bit 10 for width 7 (16 bits available)");
  EXPECT_EQ(r.position(), 10u);
}

}  // namespace
}  // namespace quorvex
