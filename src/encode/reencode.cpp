#include "encode/reencode.hpp"

#include "decode/decode.hpp"
#include "decode/template_program.hpp"
#include "encode/message_writer.hpp"
#include "message/message.hpp"

namespace quorvex {

void fields_of(const DecodeResult& decoded, DecodedFields& out) {
  out.values.clear();
  out.starts.clear();
  out.values.reserve(decoded.values.size());
  out.starts.reserve(decoded.subset_starts.size());
  std::size_t subset = 0;
  for (std::size_t i = 0; i < decoded.values.size(); ++i) {
    while (subset < decoded.subset_starts.size() && decoded.subset_starts[subset] == i) {
      out.starts.push_back(out.values.size());
      ++subset;
    }
    const DecodedValue& v = decoded.values[i];
    if (v.role == ValueRole::Operator) continue;
    if (!v.has_raw()) {  // a text
      out.values.push_back(v.has_text() ? FieldValue::of_text(decoded.texts[v.text_index])
                                        : FieldValue::missing());
    } else {
      out.values.push_back(v.has_value() ? FieldValue::of_raw(v.raw) : FieldValue::missing());
    }
  }
  for (; subset < decoded.subset_starts.size(); ++subset) out.starts.push_back(out.values.size());
}

Result<std::vector<std::uint8_t>> reencode_message(Bytes octets, const TableSet& tables,
                                                   ReencodeOptions options) {
  const BufrMessage message = QV_TRY(parse_message(octets, ParseOptions{.older_editions = true}));
  const std::optional<TemplateProgram> program = compile_template(tables, message.unexpanded_descriptors);
  const TemplateProgram* compiled = program ? &*program : nullptr;
  const DecodeResult decoded =
      QV_TRY(decode_data_section(message, tables, section4_data(octets, message), compiled));
  DecodedFields fields;
  fields_of(decoded, fields);
  const std::size_t s2 = 8 + message.section1_length;
  const Bytes local =
      message.section2_length >= 4 ? octets.subspan(s2 + 4, message.section2_length - 4) : Bytes{};
  const MessageLayout layout{.header = message,
                             .local_section = local,
                             .compressed = options.compressed.value_or(message.compressed_data)};
  return write_message(layout, tables, fields.view(), compiled);
}

}  // namespace quorvex
