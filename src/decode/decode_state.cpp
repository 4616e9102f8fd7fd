#include "decode/decode_state.hpp"

#include <cmath>
#include <limits>

#include "message/descriptor.hpp"

namespace quorvex {

void DecodeState::reset_for_subset() {
  width_delta = 0;
  scale_delta = 0;
  reference_multiplier = 1;
  associated_width = 0;
  local_width_active = false;
  local_width = 0;
  text_width_active = false;
  text_width = 0;
  quality_block = false;
  new_reference_bits = 0;
  if (!new_references.empty()) new_references.clear();
  history.clear();
  bitmap.clear();
  bitmap_defining = false;
  bitmap_cursor = 0;
  bitmap_definition = 0;
  implicit_bitmap_armed = false;
  implicit_bitmap_collecting = false;
  implicit_bitmap_anchored = false;
  implicit_bitmap_point = 0;
}

namespace {

constexpr std::int64_t kMaxI64 = std::numeric_limits<std::int64_t>::max();

// 10^y in 64-bit integers; beyond the range (y >= 19) the result saturates to INT64_MAX.
std::int64_t integer_power_of_ten(std::uint32_t y) {
  std::int64_t r = 1;
  for (std::uint32_t i = 0; i < y; ++i) {
    if (__builtin_mul_overflow(r, 10, &r)) return kMaxI64;
  }
  return r;
}

void forget_bitmap(DecodeState& s) {
  s.bitmap.clear();
  s.bitmap_cursor = 0;
  s.bitmap_definition = 0;
}

// 2-22-000 (quality information) and 2-23/24/25/32-000 (substituted values, statistics,
// replaced values) may be followed directly by their own data-present bitmap, without
// 2-36-000. Any operator of this family ends the collection of such a bitmap; 2-36 and 2-37
// also cancel one that has not started.
void track_implicit_bitmap(DecodeState& s, std::uint32_t x, std::uint32_t y) {
  s.implicit_bitmap_collecting = false;
  if (x == 36 || x == 37) {
    s.implicit_bitmap_armed = false;
  } else if (x == 35) {
    if (y == 0) s.implicit_bitmap_anchored = false;
  } else if (y == 0 && !s.bitmap_defining) {
    // The first operator of the family fixes the data its bitmaps refer to: later ones
    // (substituted values after quality information, say) refer to the same data, not to
    // the quality information in between. 2-35-000 releases that anchor.
    if (!s.implicit_bitmap_anchored) {
      s.implicit_bitmap_anchored = true;
      s.implicit_bitmap_point = s.history.size();
    }
    s.implicit_bitmap_armed = true;
  }
}

OperatorAction bitmap_operator(DecodeState& s, std::uint32_t x, std::uint32_t y) {
  track_implicit_bitmap(s, x, y);
  switch (x) {
    case 22:
      return y == 0 ? OperatorAction::Marker : OperatorAction::None;
    case 23:
    case 24:
    case 25:
    case 32:
      return y == 255 ? OperatorAction::BitmapRead : OperatorAction::Marker;
    case 35:
      if (y == 0) forget_bitmap(s);
      return OperatorAction::Marker;
    case 36:
      if (y != 0) return OperatorAction::None;
      forget_bitmap(s);
      s.bitmap_defining = true;
      s.bitmap_definition = s.history.size();
      return OperatorAction::Marker;
    case 37:
      if (y == 0) {
        s.bitmap_cursor = 0;
      } else {
        forget_bitmap(s);
      }
      return OperatorAction::Marker;
    default:
      return OperatorAction::None;
  }
}

OperatorAction new_reference_operator(DecodeState& s, std::uint32_t y) {
  if (y == 0) {
    s.new_reference_bits = 0;
    s.new_references.clear();
  } else if (y == 255) {
    s.new_reference_bits = 0;
  } else {
    s.new_reference_bits = static_cast<std::uint16_t>(y);
  }
  return OperatorAction::NewReferences;
}

}  // namespace

OperatorAction apply_operator(DecodeState& s, std::uint32_t code) {
  const DescriptorParts parts = split_code(code);
  const std::uint32_t x = parts.x;
  const std::uint32_t y = parts.y;
  const auto delta = static_cast<std::int32_t>(y) - 128;
  switch (x) {
    case 1:
      s.width_delta = y == 0 ? 0 : delta;
      return OperatorAction::None;
    case 2:
      s.scale_delta = y == 0 ? 0 : delta;
      return OperatorAction::None;
    case 3:
      return new_reference_operator(s, y);
    case 4:
      s.associated_width = static_cast<std::uint8_t>(y > 255 ? 255 : y);
      return OperatorAction::None;
    case 5:
      return OperatorAction::Characters;
    case 6:
      s.local_width = static_cast<std::uint16_t>(y);
      s.local_width_active = true;
      return OperatorAction::None;
    case 7:
      if (y == 0) {
        s.width_delta = 0;
        s.scale_delta = 0;
        s.reference_multiplier = 1;
      } else {
        s.scale_delta = static_cast<std::int32_t>(y);
        s.width_delta = static_cast<std::int32_t>((10 * y + 2) / 3);
        s.reference_multiplier = integer_power_of_ten(y);
      }
      return OperatorAction::None;
    case 8:
      s.text_width_active = y != 0;
      if (y != 0) s.text_width = static_cast<std::uint16_t>(8 * y);
      return OperatorAction::None;
    case 22:
    case 23:
    case 24:
    case 25:
    case 32:
    case 35:
    case 36:
    case 37:
      return bitmap_operator(s, x, y);
    case 26:
    case 27:
    case 29:
    case 30:
    case 31:
    case 33:
    case 34:
    case 38:
    case 39:
    case 40:
    case 41:
    case 42:
      return OperatorAction::Marker;
    case 62:
      return y == 0 ? OperatorAction::Marker : OperatorAction::None;
    default:
      return OperatorAction::None;
  }
}

void detail::record_element_slow(DecodeState& s, const ElementDefinition& def, bool has_value, double value) {
  const bool indicator = def.code == kDataPresentIndicator;
  if (indicator && !s.bitmap_defining && s.implicit_bitmap_armed) {
    // The first indicator after the operator: a new bitmap over the entries before it.
    s.bitmap.clear();
    s.bitmap_cursor = 0;
    s.bitmap_definition = s.implicit_bitmap_point;
    s.implicit_bitmap_armed = false;
    s.implicit_bitmap_collecting = true;
  }
  if (indicator && (s.bitmap_defining || s.implicit_bitmap_collecting)) {
    if (has_value) {
      if (s.bitmap.capacity() == 0) s.bitmap.reserve(256);  // spares the first doublings
      s.bitmap.push_back(bitmap_entry(value));
    }
    return;
  }
  s.history.push_back(&def);
  s.implicit_bitmap_armed = false;
  s.implicit_bitmap_collecting = false;
}

void record_factor(DecodeState& s, const ElementDefinition& def) { s.history.push_back(&def); }

std::size_t bitmap_history_index(const DecodeState& s, std::size_t entry) {
  const std::size_t n = s.bitmap.size();
  return (s.bitmap_definition >= n ? s.bitmap_definition - n : 0) + entry;
}

Result<const ElementDefinition*> next_bitmap_element(DecodeState& s) {
  const std::size_t n = s.bitmap.size();
  if (n == 0 || s.bitmap_cursor >= n) return nullptr;
  while (s.bitmap_cursor < n && s.bitmap[s.bitmap_cursor] == 1) ++s.bitmap_cursor;
  if (s.bitmap_cursor == n) return nullptr;
  const std::size_t index = bitmap_history_index(s, s.bitmap_cursor);
  ++s.bitmap_cursor;
  if (index >= s.history.size()) {
    return fail(BufrError::bitmap_outside_history());
  }
  return s.history[index];
}

std::uint8_t bitmap_entry(double value) {
  if (!(value > 0.0)) return 0;  // negatives and NaN
  if (value >= 255.0) return 255;
  return static_cast<std::uint8_t>(value);
}

std::uint64_t replication_count(std::optional<double> value) {
  if (!value || !(*value > 0.0)) return 0;
  // 2^64 is exactly representable; anything at or above it saturates.
  if (*value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(*value);
}

}  // namespace quorvex
