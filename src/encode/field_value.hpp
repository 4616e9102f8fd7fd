// The values an encoder writes: one per field of section 4, subset by subset, in the order
// the descriptor walk meets the fields (the values a decoder gives, operator markers left
// out). Data-present bitmaps, delayed replication factors, associated fields and 2-05 texts
// are fields like any element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quorvex {

struct FieldValue {
  enum class Kind : std::uint8_t {
    Missing,  // all ones (numbers and texts)
    Raw,      // `raw`: the field's bits as they stand, reference and scale already applied
    Number,   // `number` in the element's unit: scaled and offset by the rules in force
    Text,     // `text`: octets, padded with spaces to the field's width
  };

  std::uint64_t raw = 0;
  double number = 0.0;
  std::string_view text;
  Kind kind = Kind::Missing;

  static FieldValue missing() { return {}; }
  static FieldValue of_raw(std::uint64_t raw) {
    FieldValue v;
    v.raw = raw;
    v.kind = Kind::Raw;
    return v;
  }
  static FieldValue of_number(double number) {
    FieldValue v;
    v.number = number;
    v.kind = Kind::Number;
    return v;
  }
  static FieldValue of_text(std::string_view text) {
    FieldValue v;
    v.text = text;
    v.kind = Kind::Text;
    return v;
  }
};

// The values of every subset: subset s holds values[starts[s] .. starts[s + 1]) (the last
// up to the end). The texts they refer to must outlive the encoding.
struct SubsetValues {
  std::span<const FieldValue> values;
  std::span<const std::size_t> starts;

  std::size_t subsets() const { return starts.size(); }
  std::span<const FieldValue> subset(std::size_t s) const {
    const std::size_t end = s + 1 < starts.size() ? starts[s + 1] : values.size();
    return values.subspan(starts[s], end - starts[s]);
  }
};

}  // namespace quorvex
