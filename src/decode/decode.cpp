#include "decode/decode.hpp"

#include "bitstream/bit_reader.hpp"
#include "decode/compressed.hpp"
#include "decode/uncompressed.hpp"

namespace quorvex {

Result<DecodeResult> decode_data_section(const BufrMessage& message, const TableSet& tables, Bytes data,
                                         const TemplateProgram* program) {
  DecodeResult out;
  QV_CHECK(decode_data_section(message, tables, data, out, program));
  return out;
}

Status decode_data_section(const BufrMessage& message, const TableSet& tables, Bytes data, DecodeResult& out,
                           const TemplateProgram* program) {
  out.values.clear();
  out.texts.clear();
  out.targets.clear();
  out.subset_starts.clear();
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
                             MessageValues& out, const TemplateProgram* program,
                             const WantedElements* wanted) {
  out.compressed = message.compressed_data;
  if (!message.compressed_data) return decode_data_section(message, tables, data, out.records, program);
  BitReader reader(data);
  return read_compressed(message.unexpanded_descriptors,
                         tables,
                         reader,
                         message.number_of_subsets,
                         out.columns,
                         program,
                         wanted);
}

}  // namespace quorvex
