#include "decode/decode.hpp"

#include "bitstream/bit_reader.hpp"
#include "decode/compressed.hpp"
#include "decode/structure.hpp"
#include "decode/uncompressed.hpp"

namespace quorvex {

namespace {

void clear_records(DecodeResult& out) {
  out.values.clear();
  out.texts.clear();
  out.subset_starts.clear();
  out.quality_keys.clear();
  out.new_references.clear();
  out.passed_over = 0;
}

}  // namespace

Result<DecodeResult> decode_data_section(const BufrMessage& message, const TableSet& tables, Bytes data,
                                         const TemplateProgram* program) {
  DecodeResult out;
  QV_CHECK(decode_data_section(message, tables, data, out, program));
  return out;
}

Status decode_data_section(const BufrMessage& message, const TableSet& tables, Bytes data, DecodeResult& out,
                           const TemplateProgram* program) {
  clear_records(out);
  BitReader reader(data);
  if (message.compressed_data) {
    QV_CHECK(decode_compressed(
        message.unexpanded_descriptors, tables, reader, message.number_of_subsets, out, program));
  } else {
    QV_CHECK(decode_uncompressed(
        message.unexpanded_descriptors, tables, reader, message.number_of_subsets, out, program));
  }
  return {};
}

Status decode_message_values(const BufrMessage& message, const TableSet& tables, Bytes data,
                             MessageValues& out, const TemplateProgram* program, const WantedElements* wanted,
                             MessageStructure* structure, const SkipPlan* skips) {
  out.compressed = message.compressed_data;
  if (structure != nullptr) structure->clear();
  BitReader reader(data);
  if (!message.compressed_data) {
    clear_records(out.records);
    return decode_uncompressed(message.unexpanded_descriptors,
                               tables,
                               reader,
                               message.number_of_subsets,
                               out.records,
                               program,
                               structure,
                               wanted,
                               skips);
  }
  return read_compressed(message.unexpanded_descriptors,
                         tables,
                         reader,
                         message.number_of_subsets,
                         out.columns,
                         program,
                         wanted,
                         structure);
}

}  // namespace quorvex
