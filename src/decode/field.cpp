#include "decode/field.hpp"

#include <array>
#include <cmath>
#include <limits>

#include "lib/text.hpp"

namespace quorvex {

namespace {

constexpr std::int64_t kMinI64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMaxI64 = std::numeric_limits<std::int64_t>::max();

char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
  }
  return true;
}

std::int32_t saturate_i32(std::int64_t v) {
  if (v > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (v < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}

std::int64_t saturating_mul(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (!__builtin_mul_overflow(a, b, &r)) return r;
  return ((a < 0) != (b < 0)) ? kMinI64 : kMaxI64;
}

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

bool is_text_unit(std::string_view unit) { return unit == "CCITT IA5"; }

bool is_code_or_flag_unit(std::string_view unit) {
  return unit.size() == 10 &&
         (equals_ignoring_case(unit, "code table") || equals_ignoring_case(unit, "flag table"));
}

void widen_for_difference(ElementParams& p) {
  p.reference = p.width >= 63 ? kMinI64 : -(std::int64_t{1} << p.width);
  if (p.width != 65535) ++p.width;
}

namespace detail {

std::int32_t saturated_scale(std::int32_t scale, std::int32_t delta) {
  return saturate_i32(std::int64_t{scale} + delta);
}

std::int64_t saturated_reference(std::int64_t reference, std::int64_t multiplier) {
  return saturating_mul(reference, multiplier);
}

}  // namespace detail

namespace {

// pow(10.0, s) for the scales tables use, computed once by the same pow.
constexpr std::int32_t kPowLimit = 40;
const std::array<double, 2 * kPowLimit + 1>& powers_of_ten() {
  static const auto table = [] {
    std::array<double, 2 * kPowLimit + 1> t{};
    for (std::int32_t s = -kPowLimit; s <= kPowLimit; ++s) {
      t[static_cast<std::size_t>(s + kPowLimit)] = std::pow(10.0, static_cast<double>(s));
    }
    return t;
  }();
  return table;
}

}  // namespace

double power_of_ten(std::int32_t scale) {
  if (scale >= -kPowLimit && scale <= kPowLimit) {
    return powers_of_ten()[static_cast<std::size_t>(scale + kPowLimit)];
  }
  return std::pow(10.0, static_cast<double>(scale));
}

bool convert_text(std::string_view octets, std::string& out) {
  bool all_ff = true;
  for (char c : octets) {
    if (static_cast<unsigned char>(c) != 0xFF) {
      all_ff = false;
      break;
    }
  }
  if (all_ff) return false;
  std::size_t end = octets.size();
  while (end > 0 && is_blank(octets[end - 1])) --end;
  out.clear();
  append_octets_as_text(out, octets.substr(0, end));
  return true;
}

std::string ascii_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto octet = static_cast<unsigned char>(c);
    if (octet < 0x80) {
      out += c;
    } else if (octet >= 0xC0) {  // the first octet of a character beyond ASCII
      out += '?';
    }
  }
  return out;
}

std::optional<std::string> convert_text(std::string_view octets) {
  std::string out;
  if (!convert_text(octets, out)) return std::nullopt;
  return out;
}

namespace {

void append_text_value(std::uint32_t code, const std::string* name, std::uint16_t width,
                       std::string_view octets, DecodeState& state, DecodeResult& out) {
  DecodedValue v;
  v.descriptor = code;
  v.name = name;
  v.raw_value = text_number(++state.text_counter, width);
  v.flags = DecodedValue::kHasValue;
  std::string text;
  if (convert_text(octets, text)) {
    v.text_index = static_cast<std::uint32_t>(out.texts.size());
    v.flags |= DecodedValue::kHasText;
    out.texts.push_back(std::move(text));
  }
  out.values.push_back(v);
}

}  // namespace

Status read_text_value(const ElementDefinition& def, std::uint16_t width, DecodeState& state,
                       BitReader& reader, DecodeResult& out) {
  const std::string octets = QV_TRY(reader.read_bytes(width));
  append_text_value(def.code, &def.name, width, octets, state, out);
  return {};
}

Status read_characters(std::uint32_t code, DecodeState& state, BitReader& reader, DecodeResult& out) {
  const auto width = static_cast<std::uint16_t>(8 * split_code(code).y);
  const std::string octets = QV_TRY(reader.read_bytes(width));
  append_text_value(code, &signify_character_name(), width, octets, state, out);
  return {};
}

DecodedValue associated_field_record(std::uint64_t bits) {
  DecodedValue v;
  v.descriptor = kAssociatedFieldCode;
  v.name = &associated_field_name();
  v.raw = bits;
  v.raw_value = static_cast<double>(bits);
  v.flags = DecodedValue::kHasRaw | DecodedValue::kHasValue;
  v.role = ValueRole::AssociatedField;
  return v;
}

DecodedValue marker_record(std::uint32_t code) {
  DecodedValue v;
  v.descriptor = code;
  v.name = &operator_name();
  v.flags = DecodedValue::kHasRaw | DecodedValue::kHasValue;
  v.role = ValueRole::Operator;
  return v;
}

}  // namespace quorvex
