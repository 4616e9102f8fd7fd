// Decoder of compressed data sections: every subset of a message stored together, one
// minimum value, one increment width and N increments per element occurrence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "bitstream/bit_reader.hpp"
#include "decode/decoded_value.hpp"
#include "decode/field.hpp"
#include "decode/wanted_elements.hpp"
#include "lib/error.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

class TemplateProgram;
struct MessageStructure;

// Text index of a subset whose text is missing.
inline constexpr std::uint64_t kNoCompressedText = std::numeric_limits<std::uint64_t>::max();

// The N values of one element occurrence, associated field or operator marker.
struct CompressedColumn {
  enum class Kind : std::uint8_t {
    Fixed,   // every subset holds `fixed` (NBINC 0 numbers, markers)
    Number,  // R0 + increment; the increments in cells[first ...]
    Text,    // `fixed` with a running raw_value; per-subset text indices when `varying`
  };

  DecodedValue fixed;
  const CodeTable* codes = nullptr;  // Number: the element's code table, if any
  std::uint64_t r0 = 0;
  std::int64_t reference = 0;
  std::int32_t scale = 0;
  std::uint64_t text_base = 0;          // Text: number of the first subset's text, minus 1
  std::size_t first = 0;                // index of subset 0 in the cells
  std::uint64_t missing_increment = 0;  // Number: all NBINC bits set (none if not recognised)
  std::uint16_t text_width = 0;         // Text: width of R0 in bits
  Kind kind = Kind::Fixed;
  bool r0_missing = false;
  bool varying = false;  // Text: one index per subset in the cells
};

// A compressed data section as read: one column per element occurrence, associated field
// or marker, in the order the walk met them. Entry s of every column, for s = 0 .. N - 1,
// are subset s's values.
struct CompressedValues {
  std::vector<CompressedColumn> columns;
  std::vector<std::uint64_t> cells;      // increments, or text indices, column after column
  std::vector<std::string> texts;        // raw_text of the text entries
  std::vector<QualityKey> quality_keys;  // by column, in column order
  std::size_t subsets = 0;

  // The record of subset s in `col`.
  DecodedValue value_at(const CompressedColumn& col, std::size_t s) const {
    DecodedValue v = col.fixed;
    switch (col.kind) {
      case CompressedColumn::Kind::Fixed:
        break;
      case CompressedColumn::Kind::Number: {
        const std::uint64_t increment = cells[col.first + s];
        if (col.r0_missing || increment == col.missing_increment) {
          v.raw = col.r0;
          v.flags = DecodedValue::kHasRaw;
        } else {
          v.raw = col.r0 + increment;
          v.raw_value = scale_value(v.raw, col.reference, col.scale);
          v.flags = DecodedValue::kHasRaw | DecodedValue::kHasValue;
        }
        v.meaning = meaning_of(col.codes, v.raw);
        break;
      }
      case CompressedColumn::Kind::Text:
        v.raw_value = text_number(col.text_base + s + 1, col.text_width);
        if (col.varying) {
          const std::uint64_t index = cells[col.first + s];
          if (index != kNoCompressedText) {
            v.text_index = static_cast<std::uint32_t>(index);
            v.flags |= DecodedValue::kHasText;
          }
        }
        break;
    }
    return v;
  }
};

// Reads the columns of `codes` for all `subsets` into `out` (its previous contents dropped).
// On error `out` is left unspecified. With `program` (compiled from `codes` against
// `tables`) the walk replays it. With `structure`, the nesting (the same for every subset)
// is appended to it, its positions column indices.
[[nodiscard]] Status read_compressed(std::span<const std::uint32_t> codes, const TableSet& tables,
                                     BitReader& reader, std::uint16_t subsets, CompressedValues& out,
                                     const TemplateProgram* program = nullptr,
                                     const WantedElements* wanted = nullptr,
                                     MessageStructure* structure = nullptr);

// Walks `codes` for all `subsets` at once and appends the values to `out` in subset
// order (all of subset 0, then subset 1, ...). On error `out` is left unspecified. With
// `program` (compiled from `codes` against `tables`) the walk replays it.
[[nodiscard]] Status decode_compressed(std::span<const std::uint32_t> codes, const TableSet& tables,
                                       BitReader& reader, std::uint16_t subsets, DecodeResult& out,
                                       const TemplateProgram* program = nullptr);

}  // namespace quorvex
