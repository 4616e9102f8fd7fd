// Conversion of bit fields into decoded values, shared by both decoders: the element
// parameters and the width, scale and reference in force, the missing-value rule, exact
// scaling, CCITT IA5 text, code-table meanings and the records of operators and associated
// fields.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "bitstream/bit_reader.hpp"
#include "decode/decode_state.hpp"
#include "decode/decoded_value.hpp"
#include "decode/element_cache.hpp"
#include "lib/error.hpp"
#include "message/descriptor.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

// Descriptor of an associated field: in decoded values the field itself; in an expansion
// the marker before each element that carries one (2-04-YYY in force).
inline constexpr std::uint32_t kAssociatedFieldCode = 999999;

// An element as the tables give it (with a reference redefined by 2-03 in force), before the
// width, scale and reference operators are applied.
struct ElementParams {
  const ElementDefinition* def = nullptr;  // code and name come from here
  const CodeTable* code_table = nullptr;   // the code's code/flag table, if any
  std::int64_t reference = 0;
  std::int32_t scale = 0;
  std::uint16_t width = 0;
  bool text = false;          // unit exactly "CCITT IA5"
  bool code_or_flag = false;  // unit "Code table" / "Flag table" in any letter case
  bool class31 = false;       // 0-31-YYY: never missing
};

// The parameters a field is read with.
struct FieldFormat {
  std::int64_t reference = 0;
  std::int32_t scale = 0;
  std::uint16_t width = 0;
  bool text = false;
  bool missing_recognised = true;  // false for class 31
};

bool is_text_unit(std::string_view unit);
bool is_code_or_flag_unit(std::string_view unit);
inline bool is_class31(std::uint32_t code) { return split_code(code).x == kQualifierClass; }

// While 2-04 is in force, an associated field precedes every element but those of class 31.
inline bool carries_associated_field(std::uint32_t code, const DecodeState& state) {
  return state.associated_width != 0 && !is_class31(code);
}

// The format of the associated field in force: its 2-04 width, no scale or reference, and
// never missing.
inline FieldFormat associated_field_format(const DecodeState& state) {
  FieldFormat f;
  f.width = state.associated_width;
  f.missing_recognised = false;
  return f;
}

// The table parameters of an element, with its 2-03 reference if one is in force.
inline ElementParams element_params(const ElementInfo& info, const DecodeState& state);

// 2-25-255: the difference of a statistic is read one bit wider, with reference -(2^width).
// A width of 63 or more gives the reference INT64_MIN; a width of 65535 stays 65535.
void widen_for_difference(ElementParams& params);

// Width, scale and reference under the operators in force:
// - text: the 2-08 text width if active, else the table width;
// - numbers: the 2-06 local width if active, else width + width delta (below 1 gives 0,
//   above 65535 gives 65535); scale + scale delta (saturated to 32 bits); reference times
//   the reference multiplier (saturated to 64 bits). Code and flag tables keep their table
//   width, scale and reference under 2-01, 2-02 and 2-07; 2-06 still applies to them.
inline FieldFormat field_format(const ElementParams& params, const DecodeState& state);

// All `width` bits set (width 0 counts as all ones); never for width 64 or more.
inline bool all_ones(std::uint64_t raw, std::uint16_t width) {
  if (width >= 64) return false;
  return raw == (std::uint64_t{1} << width) - 1;
}
inline bool is_missing(std::uint64_t raw, const FieldFormat& format) {
  return format.missing_recognised && all_ones(raw, format.width);
}

// pow(10.0, scale), from a table for the usual scales.
double power_of_ten(std::int32_t scale);

// (reference + raw) summed exactly in 128 bits, converted to the nearest double, divided by
// pow(10.0, scale).
inline double scale_value(std::uint64_t raw, std::int64_t reference, std::int32_t scale) {
  double exact;
  std::int64_t sum;
  if (raw <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) &&
      !__builtin_add_overflow(reference, static_cast<std::int64_t>(raw), &sum)) {
    exact = static_cast<double>(sum);  // the common case: the sum fits in 64 bits
  } else {
    exact = static_cast<double>(static_cast<__int128>(reference) + static_cast<__int128>(raw));
  }
  return scale == 0 ? exact : exact / power_of_ten(scale);
}

// The meaning of `raw` in `code_table`, or null when there is no table or no entry.
inline const std::string* meaning_of(const CodeTable* code_table, std::uint64_t raw) {
  if (code_table == nullptr) return nullptr;
  auto it = code_table->find(raw);
  return it == code_table->end() ? nullptr : &it->second;
}

// The record of a number: `raw` as read, its meaning in `code_table` (when there is one), and
// unless `missing` the value scaled with `reference` and `scale`.
inline DecodedValue number_record(const ElementDefinition& def, const CodeTable* code_table,
                                  std::uint64_t raw, bool missing, std::int64_t reference,
                                  std::int32_t scale);
// The record of a number read as `raw` under `format`, with its code-table meaning.
inline DecodedValue number_value(const ElementParams& params, const FieldFormat& format, std::uint64_t raw) {
  return number_record(
      *params.def, params.code_table, raw, is_missing(raw, format), format.reference, format.scale);
}

// A reference value 2-03-YYY defines: `width` bits (1..64) of sign (the first bit, 1
// negative) and magnitude.
inline std::int64_t defined_reference(std::uint64_t bits, std::uint16_t width) {
  const std::uint64_t sign = std::uint64_t{1} << (width - 1);
  // The magnitude has at most 63 bits, so it and its negation fit.
  const auto magnitude = static_cast<std::int64_t>(bits & (sign - 1));
  return (bits & sign) != 0 ? -magnitude : magnitude;
}

// CCITT IA5 octets to text: all 0xFF (or empty) is missing (returns false); otherwise trailing
// blanks (\t \n \v \f \r and space) are removed and every octet is the character of the same
// number, in UTF-8 (append_octets_as_text): the octets can be told back exactly (text_octets).
bool convert_text(std::string_view octets, std::string& out);
std::optional<std::string> convert_text(std::string_view octets);
// A decoded text as the per-value module gives it: every character beyond ASCII as '?'.
std::string ascii_text(std::string_view text);

// Running number of a text value: counter * 1000 + width div 8.
inline double text_number(std::uint64_t counter, std::uint16_t width) {
  return static_cast<double>(counter) * 1000.0 + static_cast<double>(width / 8);
}

// Reads one CCITT IA5 element of `width` bits and appends its value.
[[nodiscard]] Status read_text_value(const ElementDefinition& def, std::uint16_t width, DecodeState& state,
                                     BitReader& reader, DecodeResult& out);

// 2-05-YYY: YYY octets of text, one value under the operator's code (name "signifyCharacter",
// raw_value the running text number like a CCITT IA5 element, raw none).
[[nodiscard]] Status read_characters(std::uint32_t code, DecodeState& state, BitReader& reader,
                                     DecodeResult& out);

// The record of an associated field (descriptor 999999, never missing).
DecodedValue associated_field_record(std::uint64_t bits);
// The record of an operator marker (raw_value 0.0, raw 0).
DecodedValue marker_record(std::uint32_t code);

// Definitions of the inline functions above.

namespace detail {
std::int32_t saturated_scale(std::int32_t scale, std::int32_t delta);
std::int64_t saturated_reference(std::int64_t reference, std::int64_t multiplier);
}  // namespace detail

inline ElementParams element_params(const ElementInfo& info, const DecodeState& state) {
  const ElementDefinition& def = *info.def;
  ElementParams p;
  p.def = &def;
  p.reference = def.reference;
  p.scale = def.scale;
  p.width = def.width;
  p.text = info.text;
  p.code_or_flag = info.code_or_flag;
  p.class31 = info.class31;
  p.code_table = info.code_table;
  if (!state.new_references.empty()) {
    auto it = state.new_references.find(def.code);
    if (it != state.new_references.end()) p.reference = it->second;
  }
  return p;
}

inline FieldFormat field_format(const ElementParams& p, const DecodeState& state) {
  FieldFormat f;
  if (p.text) {
    f.text = true;
    f.width = state.text_width_active ? state.text_width : p.width;
    return f;
  }
  f.missing_recognised = !p.class31;
  f.width = state.local_width_active ? state.local_width : p.width;
  f.scale = p.scale;
  f.reference = p.reference;
  // Code and flag tables are not quantities: width, scale and reference operators leave them.
  if (p.code_or_flag) return f;
  if (!state.local_width_active && state.width_delta != 0) {
    const std::int64_t w = std::int64_t{p.width} + state.width_delta;
    f.width = w < 1 ? 0 : (w > 65535 ? 65535 : static_cast<std::uint16_t>(w));
  }
  if (state.scale_delta != 0) f.scale = detail::saturated_scale(p.scale, state.scale_delta);
  if (state.reference_multiplier != 1) {
    f.reference = detail::saturated_reference(p.reference, state.reference_multiplier);
  }
  return f;
}

inline DecodedValue number_record(const ElementDefinition& def, const CodeTable* code_table,
                                  std::uint64_t raw, bool missing, std::int64_t reference,
                                  std::int32_t scale) {
  DecodedValue v;
  v.descriptor = def.code;
  v.name = &def.name;
  v.raw = raw;
  v.meaning = meaning_of(code_table, raw);
  if (missing) {
    v.flags = DecodedValue::kHasRaw;
  } else {
    v.raw_value = scale_value(raw, reference, scale);
    v.flags = DecodedValue::kHasRaw | DecodedValue::kHasValue;
  }
  return v;
}

}  // namespace quorvex
