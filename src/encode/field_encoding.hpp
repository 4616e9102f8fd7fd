// One field's value turned into its bits under the width, scale and reference in force (the
// FieldFormat a decoder reads the same field with), or refused with the key, the row and
// the value named: a number the width cannot hold, a text longer than its field, a missing
// value where the format has none, a text for a number or a number for a text.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "decode/field.hpp"
#include "encode/bit_writer.hpp"
#include "encode/field_value.hpp"
#include "lib/error.hpp"

namespace quorvex {

// Which field a value is for, to name it when it is refused.
struct FieldPlace {
  const std::string* key = nullptr;  // the element's name; null for fields of operators
  std::uint32_t code = 0;            // the element, or the operator that made the field
  std::size_t row = 0;               // the subset, counted over everything being written
};

// The key an element is known by (its abbreviation, else its name).
inline const std::string* key_of(const ElementDefinition& def) {
  return def.abbreviation.empty() ? &def.name : &def.abbreviation;
}

// How a value is named in errors: "value 2.5", "raw field value 7", "text \"ABC\"", "a
// missing value".
std::string value_text(const FieldValue& value);

// The refusal of `value` at `place`: "<key> (<code>), row <row>: <value> <problem>".
BufrError refuse_value(const FieldPlace& place, const FieldValue& value, std::string_view problem);
// The same about the data of a row rather than one value.
BufrError refuse_row(const FieldPlace& place, std::string_view problem);

// The bits of a number field, or all ones for a missing value (`missing` set). Raw bits are
// never missing: where they are all ones, the writer refuses them unless its layout keeps
// them a value (compressed data, where they are not the column's minimum).
struct NumberBits {
  std::uint64_t raw = 0;
  bool missing = false;
};
[[nodiscard]] Result<NumberBits> number_bits(const FieldValue& value, const FieldFormat& format,
                                             const FieldPlace& place);

// The largest field value a number of `format` may hold (all ones is missing where missing
// values are recognised); false when the width holds none.
bool largest_field_value(const FieldFormat& format, std::uint64_t& largest);

// 2^63: beyond it no field of 64 bits or less, whatever its reference, holds the value.
constexpr double kFieldLimit = 9223372036854775808.0;

// How a number becomes its field: multiplied by 10^scale (or divided by 10^-scale), rounded,
// then within [lowest, highest] before the reference is taken away (`any` false: the width
// holds no value).
struct FieldRange {
  double factor;
  bool divide;
  bool any;
  std::int64_t reference;
  std::int64_t lowest;
  std::int64_t highest;
};
FieldRange field_range(const FieldFormat& format);

// std::nearbyint in the default rounding mode (to nearest, ties to even), inline: below 2^51
// in magnitude, adding and taking away 1.5 * 2^52 leaves the number rounded to an integer;
// from 2^52 on every double is one.
inline double nearest_integer(double v) {
  constexpr double kShift = 6755399441055744.0;                        // 1.5 * 2^52
  if (!(std::fabs(v) < 2251799813685248.0)) return std::nearbyint(v);  // 2^51; NaN too
  const double shifted = v + kShift;
  return shifted - kShift;
}

// The number `v` (not NaN) scaled and rounded.
inline double rounded_field(double v, const FieldRange& r) {
  return nearest_integer(r.divide ? v / r.factor : v * r.factor);
}

// The field value of the number `v` (not NaN); false when no field of the format holds it:
// reference + field is the rounded number, in 0..largest.
inline bool field_of(double v, const FieldRange& r, std::uint64_t& field) {
  const double rounded = rounded_field(v, r);
  if (!(std::fabs(rounded) < kFieldLimit)) return false;
  const auto n = static_cast<std::int64_t>(rounded);
  if (!r.any || n < r.lowest || n > r.highest) return false;
  field = static_cast<std::uint64_t>(n) - static_cast<std::uint64_t>(r.reference);  // modulo 2^64: exact
  return true;
}

// The smallest and largest bits of the values of a column, and how many are missing.
struct NumberRange {
  std::uint64_t lowest = ~std::uint64_t{0};
  std::uint64_t highest = 0;
  std::size_t missing = 0;

  void add(const NumberBits& b) {
    missing += b.missing ? 1 : 0;
    lowest = b.missing ? lowest : std::min(lowest, b.raw);
    highest = b.missing ? highest : std::max(highest, b.raw);
  }
};

// number_bits of `out.size()` float64 numbers where they stand: the i-th at values[i * stride],
// missing when NaN or when its `validity` bit (bit_offset + i) is clear, and then written as
// `missing` is (a missing value, or what stands for one). The first value number_bits refuses
// is refused the same way (place.row the row of the first number). `range` gets their range.
[[nodiscard]] Status number_column_bits(const double* values, std::size_t stride,
                                        const std::uint8_t* validity, std::size_t bit_offset,
                                        const FieldValue& missing, const FieldFormat& format,
                                        FieldPlace place, std::span<NumberBits> out, NumberRange& range);

// The range of `numbers` (NaN: missing) under `format` (`field` its range), when number_bits
// takes every one of them and their rounded fields lie within 2^51 in magnitude (where
// field_increment is exact); none otherwise, and number_bits tells which it refuses.
std::optional<NumberRange> float_range(std::span<const double> numbers, const FieldFormat& format,
                                       const FieldRange& field);

// Whether every one of `numbers` is `value`, a NaN standing for `nan_as`.
bool every_number_is(std::span<const double> numbers, double value, double nan_as);

// Starts the reads of `numbers` (a hint: nothing is read now).
inline void prefetch_numbers(std::span<const double> numbers) {
  constexpr std::size_t kLine = 64 / sizeof(double);
  for (std::size_t i = 0; i < numbers.size(); i += kLine) __builtin_prefetch(numbers.data() + i);
}

// The field of a number within float_range's bounds, less `base` (the field's reference plus the
// lowest field): its rounded value's integer, taken from the octets of the double that holds it
// plus 1.5 * 2^52.
inline std::uint64_t field_increment(double v, const FieldRange& field, std::uint64_t base) {
  constexpr double kShift = 6755399441055744.0;  // 1.5 * 2^52
  const double shifted = rounded_field(v, field) + kShift;
  return std::bit_cast<std::uint64_t>(shifted) - std::bit_cast<std::uint64_t>(kShift) - base;
}

// Checks a text field's value: missing, or a text whose characters are octets (up to U+00FF,
// the decoders' reading of text octets) and no more of them than the field holds.
[[nodiscard]] Status check_text(const FieldValue& value, std::uint16_t width, const FieldPlace& place);

// Writes a text field's value (checked): its octets padded with spaces, or all ones when missing.
void write_text_field(BitWriter& out, const FieldValue& value, std::uint16_t width);

// Whether `bits`, a value, would read back as missing if written as they stand.
inline bool reads_as_missing(const NumberBits& bits, const FieldFormat& format) {
  return !bits.missing && format.missing_recognised && all_ones(bits.raw, format.width);
}

// The numeric value a decoder gives for `bits` under `format` (none when missing).
inline std::optional<double> decoded_number(const NumberBits& bits, const FieldFormat& format) {
  if (bits.missing) return std::nullopt;
  return scale_value(bits.raw, format.reference, format.scale);
}

}  // namespace quorvex
