// Decoder of compressed data sections: every subset of a message stored together, one
// minimum value, one increment width and N increments per element occurrence.
#pragma once

#include <cstdint>
#include <span>

#include "bitstream/bit_reader.hpp"
#include "decode/decoded_value.hpp"
#include "lib/error.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

class TemplateProgram;

// Walks `codes` for all `subsets` at once and appends the values to `out` in subset
// order (all of subset 0, then subset 1, ...). On error `out` is left unspecified. With
// `program` (compiled from `codes` against `tables`) the walk replays it.
[[nodiscard]] Status decode_compressed(std::span<const std::uint32_t> codes, const TableSet& tables,
                                       BitReader& reader, std::uint16_t subsets, DecodeResult& out,
                                       const TemplateProgram* program = nullptr);

}  // namespace quorvex
