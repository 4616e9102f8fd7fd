// A column of float64 numbers turned into bits where it stands gives, number by number, the
// bits number_bits gives (or its refusal, for the first number it refuses), whatever the
// width, scale, reference, stride, validity bits and missing values; and their range. The
// range float_range finds in one pass, and the increments it gives, agree with them.
#include "encode/field_encoding.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace quorvex {
namespace {

struct ColumnCase {
  const char* name;
  std::uint16_t width;
  std::int32_t scale;
  std::int64_t reference;
  bool missing_recognised;
};

class NumberColumnBits : public testing::TestWithParam<ColumnCase> {};

// Numbers around the field's edges, halves (ties of the rounding), values beyond 2^51 and
// 2^63, NaN and infinities.
std::vector<double> numbers_for(const FieldFormat& format, std::mt19937_64& random) {
  const double unit = std::pow(10.0, -format.scale);
  const double low = static_cast<double>(format.reference) * unit;
  const double span = format.width >= 64 ? 1e19 : std::ldexp(1.0, format.width) * unit;
  std::uniform_real_distribution<double> inside(low - span * 0.1, low + span * 1.1);
  std::vector<double> out = {low,
                             low - unit,
                             low + span - unit,
                             low + span,
                             low + span - 2 * unit,
                             low + 0.5 * unit,
                             low + 1.5 * unit,
                             low - 0.5 * unit,
                             2251799813685247.5,
                             -2251799813685247.5,
                             4503599627370497.0,
                             9.3e18,
                             -9.3e18,
                             std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()};
  for (int i = 0; i < 200; ++i) {
    const double v = inside(random);
    out.push_back(i % 3 == 0 ? std::round(v / unit * 2) / 2 * unit : v);  // every third a tie or whole
  }
  return out;
}

// One call over `numbers` laid `stride` apart (every fifth invalid by its validity bit when
// `with_validity`) against number_bits cell by cell: the same bits and range, or the refusal of
// the first cell refused.
void expect_column(const std::vector<double>& numbers, std::size_t stride, bool with_validity,
                   const FieldValue& missing, const FieldFormat& format, const char* name) {
  constexpr std::size_t kBitOffset = 3;
  constexpr std::size_t kFirstRow = 40;
  std::vector<double> laid(numbers.size() * stride + 1, -1.0);
  std::vector<std::uint8_t> validity(numbers.size() / 8 + 2, 0xff);
  std::vector<NumberBits> expected;
  NumberRange expected_range;
  std::string refusal;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    laid[i * stride] = numbers[i];
    const bool invalid_bit = with_validity && i % 5 == 2;
    if (invalid_bit) {
      const std::size_t bit = kBitOffset + i;
      validity[bit / 8] = static_cast<std::uint8_t>(validity[bit / 8] & ~(1u << (bit % 8)));
    }
    const FieldValue cell =
        invalid_bit || std::isnan(numbers[i]) ? missing : FieldValue::of_number(numbers[i]);
    const Result<NumberBits> bits = number_bits(cell, format, {nullptr, 12101, kFirstRow + i});
    if (!bits) {
      refusal = bits.error().message();
      break;
    }
    expected.push_back(*bits);
    expected_range.add(*bits);
  }
  std::vector<NumberBits> out(numbers.size());
  NumberRange range;
  const Status got = number_column_bits(laid.data(),
                                        stride,
                                        with_validity ? validity.data() : nullptr,
                                        kBitOffset,
                                        missing,
                                        format,
                                        {nullptr, 12101, kFirstRow},
                                        out,
                                        range);
  if (!refusal.empty()) {
    ASSERT_FALSE(got.has_value()) << name;
    EXPECT_EQ(got.error().message(), refusal) << name;
    return;
  }
  ASSERT_TRUE(got.has_value()) << name << ": " << got.error().message();
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    EXPECT_EQ(out[i].raw, expected[i].raw) << name << " " << numbers[i];
    EXPECT_EQ(out[i].missing, expected[i].missing) << name << " " << numbers[i];
  }
  EXPECT_EQ(range.missing, expected_range.missing) << name;
  EXPECT_EQ(range.lowest, expected_range.lowest) << name;
  EXPECT_EQ(range.highest, expected_range.highest) << name;
}

// float_range over numbers one after another, NaN missing: the range number_bits gives, and
// every increment the field less the lowest, wherever each number's rounded field lies within
// 2^51; none where number_bits refuses one.
void expect_float_range(const std::vector<double>& numbers, const FieldFormat& format, const char* name) {
  const FieldRange field = field_range(format);
  NumberRange expected;
  std::vector<NumberBits> bits;
  bool refused = false;
  bool exact = true;
  for (const double v : numbers) {
    const Result<NumberBits> b = number_bits(FieldValue::of_number(v), format, {});
    refused = refused || !b.has_value();
    if (!b) break;
    bits.push_back(*b);
    expected.add(*b);
    exact = exact && (std::isnan(v) || std::fabs(rounded_field(v, field)) < 2251799813685248.0);
  }
  const std::optional<NumberRange> range = float_range(numbers, format, field);
  if (refused || !exact) {
    EXPECT_FALSE(range.has_value()) << name;
    return;
  }
  ASSERT_TRUE(range.has_value()) << name;
  EXPECT_EQ(range->missing, expected.missing) << name;
  if (expected.missing == numbers.size()) return;
  EXPECT_EQ(range->lowest, expected.lowest) << name;
  EXPECT_EQ(range->highest, expected.highest) << name;
  const std::uint64_t base = static_cast<std::uint64_t>(format.reference) + range->lowest;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    if (!bits[i].missing) {
      EXPECT_EQ(field_increment(numbers[i], field, base), bits[i].raw - range->lowest)
          << name << " " << numbers[i];
    }
  }
}

TEST_P(NumberColumnBits, GivesNumberBitsForEveryNumber) {
  const ColumnCase& c = GetParam();
  FieldFormat format;
  format.width = c.width;
  format.scale = c.scale;
  format.reference = c.reference;
  format.missing_recognised = c.missing_recognised;
  std::mt19937_64 random(c.width * 131 + static_cast<unsigned>(c.scale + 7));
  const std::vector<double> numbers = numbers_for(format, random);
  for (const std::size_t stride : {std::size_t{1}, std::size_t{3}}) {
    for (const bool with_validity : {false, true}) {
      for (const FieldValue& missing : {FieldValue::missing(), FieldValue::of_number(1.0)}) {
        // Each number alone (its bits, or its refusal), then the numbers written as a column.
        for (const double v : numbers) expect_column({v}, stride, with_validity, missing, format, c.name);
        std::vector<double> written;  // the numbers a field holds
        for (const double v : numbers) {
          if (number_bits(std::isnan(v) ? missing : FieldValue::of_number(v), format, {}).has_value())
            written.push_back(v);
        }
        expect_column(written, stride, with_validity, missing, format, c.name);
        expect_column(numbers, stride, with_validity, missing, format, c.name);
      }
    }
  }
  // The same through float_range, each number alone, those a field holds (and runs of them
  // of every length, past the lanes it reads at once), then all.
  std::vector<double> written;
  for (const double v : numbers) {
    expect_float_range({v}, format, c.name);
    if (number_bits(FieldValue::of_number(v), format, {}).has_value()) written.push_back(v);
  }
  for (std::size_t n = 0; n <= std::min<std::size_t>(written.size(), 9); ++n)
    expect_float_range({written.begin(), written.begin() + static_cast<std::ptrdiff_t>(n)}, format, c.name);
  expect_float_range(written, format, c.name);
  expect_float_range(numbers, format, c.name);
}

INSTANTIATE_TEST_SUITE_P(Formats, NumberColumnBits,
                         testing::Values(ColumnCase{"temperature", 16, 2, 0, true},
                                         ColumnCase{"negative reference", 15, 1, -4000, true},
                                         ColumnCase{"negative scale", 14, -1, 0, true},
                                         ColumnCase{"one bit", 1, 0, 0, true},
                                         ColumnCase{"class 31", 8, 0, 0, false},
                                         ColumnCase{"63 bits", 63, 0, -4611686018427387904, true},
                                         ColumnCase{"64 bits", 64, 0, 0, false},
                                         ColumnCase{"no width", 0, 0, 0, true},
                                         ColumnCase{"large scale", 32, 12, 0, true}),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) ch = ch == ' ' ? '_' : ch;
                           return name;
                         });

// A column whose numbers are refused names the first refused, with its row.
TEST(NumberColumnBitsRefusal, NamesTheFirstNumberRefused) {
  FieldFormat format;
  format.width = 8;
  const std::vector<double> numbers = {1, 2, 300, 400};
  std::vector<NumberBits> out(numbers.size());
  NumberRange range;
  const Status got = number_column_bits(
      numbers.data(), 1, nullptr, 0, FieldValue::missing(), format, {nullptr, 12101, 10}, out, range);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().message(),
            number_bits(FieldValue::of_number(300), format, {nullptr, 12101, 12}).error().message());
}

}  // namespace
}  // namespace quorvex

namespace quorvex {
namespace {

// every_number_is looks at every number, in its lanes and after them: one differing number,
// or a NaN standing for another number, at any place of runs of any length, is seen.
TEST(EveryNumberIs, SeesOneNumberAnywhere) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t n = 1; n <= 9; ++n) {
    std::vector<double> numbers(n, 2.0);
    EXPECT_TRUE(every_number_is(numbers, 2.0, 5.0)) << n;
    for (std::size_t at = 0; at < n; ++at) {
      for (const auto& [odd, nan_as, same] : {std::tuple{3.0, 2.0, false},
                                              std::tuple{nan, 2.0, true},
                                              std::tuple{nan, 1.0, false},
                                              std::tuple{-0.0, 0.0, false}}) {
        numbers[at] = odd;
        EXPECT_EQ(every_number_is(numbers, 2.0, nan_as), same) << n << " " << at << " " << odd;
        numbers[at] = 2.0;
      }
    }
  }
  EXPECT_TRUE(every_number_is({}, 2.0, 2.0));
}

}  // namespace
}  // namespace quorvex
