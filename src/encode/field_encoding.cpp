#include "encode/field_encoding.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "lib/text.hpp"

namespace quorvex {

namespace {

std::string code_digits(std::uint32_t code) {
  std::string s = std::to_string(code);
  return std::string(s.size() < 6 ? 6 - s.size() : 0, '0') + s;
}

std::string place_text(const FieldPlace& place) {
  std::string out = place.key != nullptr ? *place.key + " (" + code_digits(place.code) + ")"
                                         : "descriptor " + code_digits(place.code);
  return out + ", row " + std::to_string(place.row) + ": ";
}

}  // namespace

FieldRange field_range(const FieldFormat& format) {
  FieldRange r{};
  r.divide = format.scale < 0;
  // The most negative scale has no negation in 32 bits; its power is as infinite as the next's.
  constexpr std::int32_t kMost = std::numeric_limits<std::int32_t>::max();
  r.factor = power_of_ten(!r.divide ? format.scale : format.scale < -kMost ? kMost : -format.scale);
  std::uint64_t largest = 0;
  r.any = largest_field_value(format, largest);
  r.reference = format.reference;
  r.lowest = format.reference;
  const __int128 highest = static_cast<__int128>(format.reference) + largest;
  r.highest = highest > std::numeric_limits<std::int64_t>::max() ? std::numeric_limits<std::int64_t>::max()
                                                                 : static_cast<std::int64_t>(highest);
  return r;
}

bool largest_field_value(const FieldFormat& format, std::uint64_t& largest) {
  if (format.width >= 64) {
    largest = ~std::uint64_t{0};
    return format.width == 64 && !format.missing_recognised;
  }
  const std::uint64_t ones = (std::uint64_t{1} << format.width) - 1;
  if (format.missing_recognised && ones == 0) return false;
  largest = format.missing_recognised ? ones - 1 : ones;
  return true;
}

namespace {

std::string range_problem(const FieldFormat& format, __int128 scaled) {
  std::uint64_t largest = 0;
  const bool any = largest_field_value(format, largest);
  std::string out = "gives the field value " + std::to_string(static_cast<long long>(scaled)) + " (scale " +
                    std::to_string(format.scale) + ", reference " + std::to_string(format.reference) + ")";
  if (!any) return out + "; a field of " + std::to_string(format.width) + " bits holds no value";
  return out + ", outside 0.." + std::to_string(largest) + " that " + std::to_string(format.width) +
         " bits hold";
}

}  // namespace

std::string value_text(const FieldValue& v) {
  switch (v.kind) {
    case FieldValue::Kind::Missing:
      return "a missing value";
    case FieldValue::Kind::Raw:
      return "raw field value " + std::to_string(v.raw);
    case FieldValue::Kind::Number: {
      char buf[32];
      const auto r = std::to_chars(buf, buf + sizeof buf, v.number);
      return "value " + std::string(buf, r.ptr);
    }
    case FieldValue::Kind::Text:
      return "text \"" + std::string(v.text) + "\"";
  }
  return {};
}

BufrError refuse_value(const FieldPlace& place, const FieldValue& value, std::string_view problem) {
  return BufrError::unencodable(place_text(place) + value_text(value) + " " + std::string(problem));
}

BufrError refuse_row(const FieldPlace& place, std::string_view problem) {
  return BufrError::unencodable(place_text(place) + std::string(problem));
}

Result<NumberBits> number_bits(const FieldValue& value, const FieldFormat& format, const FieldPlace& place) {
  switch (value.kind) {
    case FieldValue::Kind::Text:
      return fail(refuse_value(place, value, "given for a number"));
    case FieldValue::Kind::Raw:
      if (format.width > 64 || (format.width < 64 && (value.raw >> format.width) != 0))
        return fail(refuse_value(place, value, "does not fit in " + std::to_string(format.width) + " bits"));
      return NumberBits{value.raw, false};
    case FieldValue::Kind::Number:
      if (!std::isnan(value.number)) break;
      [[fallthrough]];
    case FieldValue::Kind::Missing:
      if (!format.missing_recognised || format.width >= 64)
        return fail(refuse_value(place, value, "where the field has no missing value"));
      return NumberBits{(std::uint64_t{1} << format.width) - 1, true};
  }
  NumberBits bits;
  const FieldRange range = field_range(format);
  if (!field_of(value.number, range, bits.raw)) {
    const double rounded = rounded_field(value.number, range);
    // 2^63: beyond it no field of 64 bits or less, whatever its reference, holds the value.
    if (!(std::fabs(rounded) < kFieldLimit))
      return fail(refuse_value(place, value, "is out of range after scale " + std::to_string(format.scale)));
    return fail(refuse_value(
        place,
        value,
        range_problem(format, static_cast<__int128>(static_cast<std::int64_t>(rounded)) - format.reference)));
  }
  return bits;
}

Status number_column_bits(const double* values, std::size_t stride, const std::uint8_t* validity,
                          std::size_t bit_offset, const FieldValue& missing, const FieldFormat& format,
                          FieldPlace place, std::span<NumberBits> out, NumberRange& range) {
  const FieldRange field = field_range(format);
  std::optional<NumberBits> missing_bits;  // found at the first missing value
  const std::size_t first_row = place.row;
  NumberRange seen;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double v = values[i * stride];
    const std::size_t bit = bit_offset + i;
    const bool valid = v == v && (validity == nullptr || ((validity[bit / 8] >> (bit % 8)) & 1) != 0);
    if (valid && field_of(v, field, out[i].raw)) {
      out[i].missing = false;
      seen.lowest = std::min(seen.lowest, out[i].raw);
      seen.highest = std::max(seen.highest, out[i].raw);
      continue;
    }
    if (valid || !missing_bits) {  // a refusal, or the bits of the first missing value
      place.row = first_row + i;
      const NumberBits bits = QV_TRY(number_bits(valid ? FieldValue::of_number(v) : missing, format, place));
      if (!valid) missing_bits = bits;
      out[i] = bits;
    } else {
      out[i] = *missing_bits;
    }
    seen.add(out[i]);
  }
  range = seen;
  return {};
}

std::optional<NumberRange> float_range(std::span<const double> numbers, const FieldFormat& format,
                                       const FieldRange& field) {
  // Two pairs of lanes (what one SSE2 register holds) of the smallest and largest numbers and
  // of the NaNs counted (as -1 each); a NaN is neither smaller nor larger than anything, and
  // leaves the bounds as they are.
  using Lanes = double __attribute__((vector_size(16)));
  using Counts = std::int64_t __attribute__((vector_size(16)));
  constexpr double kInf = std::numeric_limits<double>::infinity();
  Lanes low[2] = {{kInf, kInf}, {kInf, kInf}};
  Lanes high[2] = {{-kInf, -kInf}, {-kInf, -kInf}};
  Counts nans[2] = {{0, 0}, {0, 0}};
  const std::size_t n = numbers.size();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (int k = 0; k < 2; ++k) {
      Lanes v;
      std::memcpy(&v, numbers.data() + i + 2 * k, sizeof v);
      low[k] = v < low[k] ? v : low[k];
      high[k] = v > high[k] ? v : high[k];
      nans[k] += v != v;
    }
  }
  double lowest = std::min({low[0][0], low[0][1], low[1][0], low[1][1]});
  double highest = std::max({high[0][0], high[0][1], high[1][0], high[1][1]});
  std::size_t missing = static_cast<std::size_t>(-(nans[0][0] + nans[0][1] + nans[1][0] + nans[1][1]));
  for (; i < n; ++i) {
    const double v = numbers[i];
    lowest = v < lowest ? v : lowest;
    highest = v > highest ? v : highest;
    missing += v != v ? 1 : 0;
  }
  NumberRange range;
  range.missing = missing;
  if (missing > 0 && (!format.missing_recognised || format.width >= 64)) return std::nullopt;
  if (missing == n) return range;
  constexpr double kExact = 2251799813685248.0;  // 2^51
  if (!(std::fabs(rounded_field(lowest, field)) < kExact) ||
      !(std::fabs(rounded_field(highest, field)) < kExact))
    return std::nullopt;
  // Scaling and rounding keep the order of numbers: the fields of the bounds bound the others'.
  if (!field_of(lowest, field, range.lowest) || !field_of(highest, field, range.highest)) return std::nullopt;
  return range;
}

bool every_number_is(std::span<const double> numbers, double value, double nan_as) {
  using Lanes = double __attribute__((vector_size(16)));
  using Counts = std::int64_t __attribute__((vector_size(16)));
  const Lanes wanted = {value, value};
  const Lanes standing = {nan_as, nan_as};
  Counts differ = {0, 0};  // -1 in a lane where some number differed
  const std::size_t n = numbers.size();
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    Lanes v;
    std::memcpy(&v, numbers.data() + i, sizeof v);
    differ |= (v == v ? v : standing) != wanted;
  }
  bool same = (differ[0] | differ[1]) == 0;
  for (; i < n; ++i) same &= (numbers[i] == numbers[i] ? numbers[i] : nan_as) == value;
  return same;
}

void write_text_field(BitWriter& out, const FieldValue& value, std::uint16_t width) {
  if (value.kind != FieldValue::Kind::Text) {
    out.write_ones(width);
  } else if (is_ascii(value.text)) {
    out.write_text(value.text, width, ' ');
  } else {
    std::string octets;
    text_octets(value.text, octets);  // checked by check_text
    out.write_text(octets, width, ' ');
  }
}

Status check_text(const FieldValue& value, std::uint16_t width, const FieldPlace& place) {
  switch (value.kind) {
    case FieldValue::Kind::Missing:
      return {};
    case FieldValue::Kind::Text: {
      std::string converted;
      std::string_view octets = value.text;
      if (!is_ascii(value.text)) {
        std::size_t bad = 0;
        if (!text_octets(value.text, converted, &bad))
          return fail(refuse_value(place,
                                   value,
                                   "holds " + character_text(value.text, bad) +
                                       ": a text field holds octets, read as the characters U+0000..U+00FF"));
        octets = converted;
      }
      // A field of a width that is no whole number of octets ends in part of one: read as that
      // octet's high-order bits, the others zero; a text the decoder gave back ends so.
      const std::size_t room = (std::size_t{width} + 7) / 8;
      const unsigned cut = width % 8 == 0 ? 0 : 8 - width % 8;  // the low bits no field holds
      const auto last =
          octets.empty() ? 0u : static_cast<unsigned>(static_cast<unsigned char>(octets.back()));
      if (octets.size() > room || (octets.size() == room && cut != 0 && (last & ((1u << cut) - 1)) != 0))
        return fail(refuse_value(place,
                                 value,
                                 "is " + std::to_string(octets.size()) + " octets long; the field holds " +
                                     (cut == 0 ? std::to_string(room) : std::to_string(width) + " bits")));
      return {};
    }
    case FieldValue::Kind::Number:
      if (std::isnan(value.number)) return {};
      [[fallthrough]];
    case FieldValue::Kind::Raw:
      return fail(refuse_value(place, value, "given for a text"));
  }
  return {};
}

}  // namespace quorvex
