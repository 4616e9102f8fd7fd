// A whole edition 4 message: sections 0 to 5 around a data section written from values.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "encode/data_writer.hpp"
#include "encode/field_value.hpp"
#include "lib/bytes.hpp"
#include "lib/error.hpp"
#include "message/message.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

class TemplateProgram;

// What a message says besides its data: the section 1 fields of `header` (edition 4
// layout; the international data sub-category as it stands, 255 when unknown), its
// observed-data flag and unexpanded descriptors, and the content of section 2 after its
// four-octet header (none when empty).
struct MessageLayout {
  const BufrMessage& header;
  Bytes local_section;
  bool compressed = false;
  std::size_t first_row = 0;  // the row of subset 0, for errors
};

// The octets of the message holding `values`. Refused when a value cannot be written, when
// the descriptors cannot be written in 16 bits, the typical date is not a real one, there
// are more than 65535 subsets or the message would exceed 2^24 - 1 octets.
[[nodiscard]] Result<std::vector<std::uint8_t>> write_message(const MessageLayout& layout,
                                                              const TableSet& tables,
                                                              const SubsetValues& values,
                                                              const TemplateProgram* program = nullptr);
// The same, appended to `out` (as it was when refused).
[[nodiscard]] Status append_message(std::vector<std::uint8_t>& out, const MessageLayout& layout,
                                    const TableSet& tables, const SubsetValues& values,
                                    const TemplateProgram* program = nullptr);
// The same, compressed, from the fields of `columns` (layout.compressed is taken as set).
[[nodiscard]] Status append_message(std::vector<std::uint8_t>& out, const MessageLayout& layout,
                                    const TableSet& tables, const FieldColumns& columns,
                                    const TemplateProgram* program = nullptr);

}  // namespace quorvex
