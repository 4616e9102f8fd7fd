// The walk of uncompressed data: one subset after the other, each read by walking the
// descriptors of section 3, resolving sequences and replications on the way.
#pragma once

#include <cstdint>
#include <span>

#include "bitstream/bit_reader.hpp"
#include "decode/decode_state.hpp"
#include "decode/decoded_value.hpp"
#include "decode/element_cache.hpp"
#include "lib/error.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

// Everything one walk reads from and writes to.
struct WalkContext {
  const TableSet& tables;
  BitReader& reader;
  DecodeState& state;
  DecodeResult& out;
  WorkBudget& budget;
  ElementCache& elements;
};

// Lists nested deeper than this below the top list are refused.
inline constexpr unsigned kMaxDecodeDepth = 64;

// Walks `codes` once, reading their values and appending them to ctx.out.
[[nodiscard]] Status decode_descriptors(std::span<const std::uint32_t> codes, WalkContext& ctx,
                                        unsigned depth);

// Decodes `subsets` subsets one after the other, each with a fresh state (only the text
// counter carries over), appending all values to `out`.
[[nodiscard]] Status decode_uncompressed(std::span<const std::uint32_t> codes, const TableSet& tables,
                                         BitReader& reader, std::uint16_t subsets, DecodeResult& out);

}  // namespace quorvex
