#include "encode/reencode.hpp"

#include "decode/decode.hpp"
#include "decode/template_program.hpp"
#include "encode/message_writer.hpp"
#include "message/message.hpp"

namespace quorvex {

void fields_of(const DecodeResult& decoded, DecodedFields& out) {
  out.values.clear();
  out.starts.clear();
  out.values.reserve(decoded.values.size() + decoded.new_references.size());
  out.starts.reserve(decoded.subset_starts.size());
  auto reference = decoded.new_references.begin();
  // The definitions of subset `s` read before values[i], their bits as they stand.
  const auto references_before = [&](std::size_t s, std::size_t i) {
    for (; reference != decoded.new_references.end() && reference->subset == s && reference->before <= i;
         ++reference)
      out.values.push_back(FieldValue::of_raw(reference->bits));
  };
  for (std::size_t s = 0; s < decoded.subset_starts.size(); ++s) {
    out.starts.push_back(out.values.size());
    const std::size_t end =
        s + 1 < decoded.subset_starts.size() ? decoded.subset_starts[s + 1] : decoded.values.size();
    for (std::size_t i = decoded.subset_starts[s]; i < end; ++i) {
      references_before(s, i);
      const DecodedValue& v = decoded.values[i];
      if (v.role == ValueRole::Operator) continue;
      if (!v.has_raw()) {  // a text
        out.values.push_back(v.has_text() ? FieldValue::of_text(decoded.texts[v.text_index])
                                          : FieldValue::missing());
      } else {
        out.values.push_back(v.has_value() ? FieldValue::of_raw(v.raw) : FieldValue::missing());
      }
    }
    references_before(s, end);
  }
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
