// Decoder of uncompressed data sections: one subset after the other, each read by walking
// the descriptors of section 3.
#pragma once

#include <cstdint>
#include <span>

#include "bitstream/bit_reader.hpp"
#include "decode/decoded_value.hpp"
#include "lib/error.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

class TemplateProgram;
struct MessageStructure;
struct WantedElements;
class SkipPlan;

// Decodes `subsets` subsets one after the other, each with a fresh state (only the text
// counter carries over), appending all values to `out`. With `program` (compiled from
// `codes` against `tables`) the walk replays it. With `structure`, the nesting is appended
// to it. Without `structure`, `wanted` (when given) says which numbers leave a record (without
// the meaning of a code or flag value); the others are only counted, in out.passed_over.
// `skips` (made from `program` and `wanted`), when given, lets runs of them be passed over in
// one move.
[[nodiscard]] Status decode_uncompressed(std::span<const std::uint32_t> codes, const TableSet& tables,
                                         BitReader& reader, std::uint16_t subsets, DecodeResult& out,
                                         const TemplateProgram* program = nullptr,
                                         MessageStructure* structure = nullptr,
                                         const WantedElements* wanted = nullptr,
                                         const SkipPlan* skips = nullptr);

}  // namespace quorvex
