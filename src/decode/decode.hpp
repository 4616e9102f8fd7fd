// Entry of the data-section decoders.
#pragma once

#include "decode/compressed.hpp"
#include "decode/decoded_value.hpp"
#include "lib/error.hpp"
#include "message/message.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

class TemplateProgram;
class SkipPlan;
struct MessageStructure;

// Decodes the section 4 data of `message` (uncompressed or compressed, by its flag)
// against `tables`. The result's name/meaning pointers refer into `tables` (or static
// storage) and stay valid while `tables` lives. `program`, when given, must be compiled
// from the message's unexpanded descriptors against `tables`; the result is the same with
// or without it, errors included.
[[nodiscard]] Result<DecodeResult> decode_data_section(const BufrMessage& message, const TableSet& tables,
                                                       Bytes data, const TemplateProgram* program = nullptr);

// The same into `out`, whose memory is reused: its previous contents are dropped first. On
// error `out` is left unspecified.
[[nodiscard]] Status decode_data_section(const BufrMessage& message, const TableSet& tables, Bytes data,
                                         DecodeResult& out, const TemplateProgram* program = nullptr);

// A message's values for a consumer that takes them in order: the records of uncompressed
// data, or the columns of compressed data (record s of every column for subset s, made as
// they are taken rather than held).
struct MessageValues {
  bool compressed = false;
  DecodeResult records;
  CompressedValues columns;
};

// Decodes into `out`, whose memory is reused; on error `out` is left unspecified.
// `wanted`, when given, names the elements whose values are read: in compressed data the
// others keep their place but not their values; in uncompressed data their numbers leave
// no record (see WantedElements), unless the nesting is recorded. `structure`, when given,
// receives the nesting (its previous contents dropped). `skips`, when given, is the plan of
// `program` for `wanted` (uncompressed data pass over runs of unwanted numbers in one move).
[[nodiscard]] Status decode_message_values(const BufrMessage& message, const TableSet& tables, Bytes data,
                                           MessageValues& out, const TemplateProgram* program = nullptr,
                                           const WantedElements* wanted = nullptr,
                                           MessageStructure* structure = nullptr,
                                           const SkipPlan* skips = nullptr);

}  // namespace quorvex
