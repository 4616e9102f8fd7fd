// The native record of one decoded value, kept compact: numbers and flags inline, the
// name and meaning referenced (they live in the tables or in static storage for the
// whole decode call), texts in a side vector of the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvex {

struct ElementDefinition;

// What a value is in the structure of its message, as the walk met it.
enum class ValueRole : std::uint8_t {
  Element,            // an element (a key of the message, numbered by occurrence)
  ReplicationFactor,  // the factor of a delayed replication
  Operator,           // the marker of a data description operator
  AssociatedField,    // the associated field before an element (2-04)
  Bitmap,             // an entry of a data-present bitmap (0-31-031)
  Attribute,          // a value attached to an earlier element: quality information after
                      // 2-22, substituted (2-23) and replaced (2-32) values
};
inline constexpr std::size_t kValueRoles = 6;
// "element", "replication_factor", "operator", "associated_field", "bitmap", "attribute".
const std::string& role_name(ValueRole role);

struct DecodedValue {
  static constexpr std::uint8_t kHasValue = 1;  // raw_value present
  static constexpr std::uint8_t kHasRaw = 2;    // raw present
  static constexpr std::uint8_t kHasText = 4;   // raw_text present: texts[text_index]

  double raw_value = 0.0;
  std::uint64_t raw = 0;
  const std::string* name = nullptr;     // never null in a finished result
  const std::string* meaning = nullptr;  // raw_meaning, or null when absent
  std::uint32_t descriptor = 0;
  std::uint32_t text_index = 0;
  std::uint8_t flags = 0;
  ValueRole role = ValueRole::Element;

  bool has_value() const { return (flags & kHasValue) != 0; }
  bool has_raw() const { return (flags & kHasRaw) != 0; }
  bool has_text() const { return (flags & kHasText) != 0; }
};

// A quality value (class 33 after 2-22-000, other than a percentage of confidence) that
// ecCodes also names as a key of its own: the key of the element it qualifies, numbered on
// from that element's occurrences (the 0-33-252 that qualifies the 11 pressures before it is
// #12#pressure).
struct QualityKey {
  std::size_t value;                   // index of the quality value among the message's values
  const ElementDefinition* qualified;  // the element, as its table defines it
};

// A reference value defined by 2-03-YYY: its bits as read, in subset `subset` before
// values[before].
struct NewReference {
  std::size_t subset = 0;
  std::size_t before = 0;
  std::uint64_t bits = 0;
};

// All values of one message, every subset one after the other.
struct DecodeResult {
  std::vector<DecodedValue> values;
  std::vector<std::string> texts;        // raw_text of the values that have one
  std::vector<QualityKey> quality_keys;  // in the order of their values
  // Index in `values` of the first value of each subset (one entry per subset).
  std::vector<std::size_t> subset_starts;
  // The reference values 2-03-YYY defines, in the order read (they are no values of their own;
  // a writer needs them back).
  std::vector<NewReference> new_references;
  // Numbers read past without a record, their elements not wanted (see WantedElements).
  std::uint64_t passed_over = 0;
};

// Static names of the two special kinds of value.
const std::string& associated_field_name();  // "associatedField"
const std::string& operator_name();          // "operator"
// Name of the text value of operator 2-05-YYY (descriptor 205YYY).
const std::string& signify_character_name();  // "signifyCharacter"

}  // namespace quorvex
