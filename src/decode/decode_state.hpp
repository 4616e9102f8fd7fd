// The state of one data walk: what the data description operators (F = 2) have set, the
// running text number, the history of elements read and the data-present bitmap. Shared by
// the uncompressed walk (one state per subset, reset in between) and the compressed one
// (one state per message).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "lib/error.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

// 0-31-031, data present indicator: the entries of a data-present bitmap.
inline constexpr std::uint32_t kDataPresentIndicator = 31031;
// Class 31 (replication factors, data-present indicators, associated field significance)
// qualifies the data: never missing, never preceded by an associated field.
inline constexpr std::uint32_t kQualifierClass = 31;
// 0-31-021, associated field significance.
inline constexpr std::uint32_t kAssociatedFieldSignificance = 31021;
// Class 33: quality information.
inline constexpr std::uint32_t kQualityClass = 33;
// 0-33-007, per cent confidence: quality information that ecCodes never names by the key of
// the element it qualifies.
inline constexpr std::uint32_t kPercentConfidence = 33007;

struct DecodeState {
  // Operators 2-01, 2-02, 2-07: added to width and scale, multiplying the reference.
  std::int32_t width_delta = 0;
  std::int32_t scale_delta = 0;
  std::int64_t reference_multiplier = 1;
  // 2-04: bits of associated field read before each element (not before class 31).
  std::uint8_t associated_width = 0;
  // 2-06: the next element is read with this width.
  bool local_width_active = false;
  std::uint16_t local_width = 0;
  // 2-08: CCITT IA5 elements use this width.
  bool text_width_active = false;
  std::uint16_t text_width = 0;
  // Number of text values read so far; runs across the subsets of a message.
  std::uint64_t text_counter = 0;

  // 2-03-YYY: while `new_reference_bits` is not 0, each element descriptor reads that many
  // bits as a new reference value for its code instead of a value (2-03-255 ends the
  // definitions). The new references hold until 2-03-000.
  std::uint16_t new_reference_bits = 0;
  std::unordered_map<std::uint32_t, std::int64_t> new_references;

  // Elements and delayed replication factors read so far, as they stand in the tables.
  // Pointers into the TableSet, which outlives the walk.
  std::vector<const ElementDefinition*> history;

  // 2-22-000 seen, and no later 2-23/24/25/32/35-000: elements of class 33 are quality
  // information attached to the elements the bitmap selects.
  bool quality_block = false;

  // Data-present bitmap.
  std::vector<std::uint8_t> bitmap;
  bool bitmap_defining = false;       // 2-36-000 seen: every 0-31-031 goes into the bitmap
  std::size_t bitmap_cursor = 0;      // next entry to examine
  std::size_t bitmap_definition = 0;  // history length when the bitmap was defined
  // A bitmap may also follow 2-22/23/24/25/32-000 directly, without 2-36-000. The operator
  // arms it; the first 0-31-031 after it starts the collection of a new bitmap (delayed
  // replication factors may come between). The first other element, or any operator of the
  // bitmap family, ends the collection; 2-36 and 2-37 cancel an armed one. The bitmap refers
  // to the entries before the first such operator of the walk (the anchor, kept until
  // 2-35-000), so that substituted values after a quality information block refer to the
  // data, not to the quality information.
  bool implicit_bitmap_armed = false;
  bool implicit_bitmap_collecting = false;
  bool implicit_bitmap_anchored = false;
  std::size_t implicit_bitmap_point = 0;

  // True when no operator changes how a number is read: the table's width, scale and
  // reference hold as they stand.
  bool numbers_as_tabled() const {
    return width_delta == 0 && scale_delta == 0 && reference_multiplier == 1 && !local_width_active &&
           new_references.empty();
  }

  // Back to the initial state for the next subset, keeping the text counter and the
  // capacity of the vectors.
  void reset_for_subset();
};

// What the walk must do after an operator has been applied to the state.
enum class OperatorAction : std::uint8_t {
  None,           // nothing (state changed, or an operator without effect)
  Marker,         // append an operator marker for the code
  BitmapRead,     // 2-23/24/25/32-255: read the value the next bitmap entry selects
  NewReferences,  // 2-03-YYY: reference definitions started, ended or cancelled (state set)
  Characters,     // 2-05-YYY: YYY octets of text follow, one value under the code 205YYY
};

// Applies the data description operator `code` (F = 2) to `state`. Operators with X from 64
// to 99, and the ones BUFR leaves to other software (2-21 and the like), have no effect.
OperatorAction apply_operator(DecodeState& state, std::uint32_t code);

// Records an element just read with its numeric value (nullopt when missing or text). A
// 0-31-031 value becomes a bitmap entry while a bitmap is being collected (2-36-000, or an
// armed implicit bitmap); any other element enters the history and ends an implicit
// collection.
inline void record_element(DecodeState& state, const ElementDefinition& def, std::optional<double> value);

// Records a delayed replication factor: it enters the history, and it neither ends an
// implicit bitmap collection nor switches off the local width.
void record_factor(DecodeState& state, const ElementDefinition& def);

// The history index that bitmap entry `entry` refers to: a bitmap covers the elements just
// before its definition point.
std::size_t bitmap_history_index(const DecodeState& state, std::size_t entry);

// The history entry the next bitmap entry selects (entries equal to 1 are skipped), or null
// when the bitmap is absent or used up. Fails when the entry points past the history.
[[nodiscard]] Result<const ElementDefinition*> next_bitmap_element(DecodeState& state);

// Bitmap entry of a data-present value: clamped to 0..255 and truncated; NaN gives 0.
std::uint8_t bitmap_entry(double value);
// The same of the value of a field of that element read as it is tabled (scale 0, reference 0).
inline std::uint8_t bitmap_entry(std::uint64_t bits) {
  return bits >= 255 ? std::uint8_t{255} : static_cast<std::uint8_t>(bits);
}

// Repetition count of a delayed replication factor: clamped below at 0, truncated, 2^64 and
// above (and +inf) give 2^64 - 1; no value or NaN gives 0.
std::uint64_t replication_count(std::optional<double> value);

namespace detail {
// The value as a flag and a number, passed in registers (an optional built on the stack and
// read back whole stalls the hot loop).
void record_element_slow(DecodeState& state, const ElementDefinition& def, bool has_value, double value);
}  // namespace detail

// Whether record_element reads the value of an element of `def`: a data-present indicator's,
// or any while an implicit bitmap is in the making; else only the element is recorded.
inline bool element_value_recorded(const DecodeState& state, const ElementDefinition& def) {
  return def.code == kDataPresentIndicator || state.implicit_bitmap_armed || state.implicit_bitmap_collecting;
}

inline void record_element(DecodeState& state, const ElementDefinition& def, std::optional<double> value) {
  // The common case: an ordinary element with no implicit bitmap in the making.
  if (!element_value_recorded(state, def)) {
    state.history.push_back(&def);
    return;
  }
  detail::record_element_slow(state, def, value.has_value(), value.value_or(0.0));
}

}  // namespace quorvex
