#include "encode/message_writer.hpp"

#include <algorithm>

#include "encode/bit_writer.hpp"
#include "message/descriptor.hpp"

namespace quorvex {

namespace {

constexpr std::size_t kMaxLength = (std::size_t{1} << 24) - 1;
constexpr std::size_t kSection1Length = 22;

// Appends to a vector.
class Octets {
 public:
  // Room for `reserve` more octets; grown by at least half again, since a table's messages are
  // appended one after another to one vector.
  Octets(std::vector<std::uint8_t>& out, std::size_t reserve) : out_(out) {
    if (out_.capacity() - out_.size() < reserve)
      out_.reserve(std::max(out_.size() + reserve, out_.capacity() + out_.capacity() / 2));
  }
  void u8(std::uint64_t v) { out_.push_back(static_cast<std::uint8_t>(v)); }
  void u16(std::uint64_t v) {
    u8(v >> 8);
    u8(v);
  }
  void u24(std::uint64_t v) {
    u8(v >> 16);
    u16(v);
  }
  void append(Bytes b) { out_.insert(out_.end(), b.begin(), b.end()); }

 private:
  std::vector<std::uint8_t>& out_;
};

Result<std::vector<std::uint16_t>> packed_descriptors(std::span<const std::uint32_t> codes) {
  std::vector<std::uint16_t> packed;
  packed.reserve(codes.size());
  for (std::uint32_t code : codes) {
    const DescriptorParts p = split_code(code);
    if (code > 363255 || p.y > 255)
      return fail(
          BufrError::unencodable("descriptor " + std::to_string(code) + " cannot be written in section 3"));
    packed.push_back(static_cast<std::uint16_t>((p.f << 14) | (p.x << 8) | p.y));
  }
  return packed;
}

}  // namespace

Result<std::vector<std::uint8_t>> write_data_section(std::span<const std::uint32_t> codes,
                                                     const TableSet& tables, const SubsetValues& values,
                                                     DataWriteOptions options,
                                                     const TemplateProgram* program) {
  BitWriter out;
  if (options.compressed) {
    QV_CHECK(detail::write_compressed(codes, tables, SubsetColumns(values), options.first_row, program, out));
  } else {
    QV_CHECK(detail::write_uncompressed(codes, tables, values, options.first_row, program, out));
  }
  return out.take();
}

namespace {

// The message of `layout` around section 4 as `data` writes it, for `subsets` subsets,
// appended to `octets`.
template <class Data>
Status framed(std::vector<std::uint8_t>& octets, const MessageLayout& layout, std::size_t subsets,
              Data data) {
  const BufrMessage& h = layout.header;
  if (subsets > 65535)
    return fail(BufrError::unencodable(std::to_string(subsets) + " subsets: a message holds at most 65535"));
  QV_CHECK(check_typical_date(h));
  const std::vector<std::uint16_t> packed = QV_TRY(packed_descriptors(h.unexpanded_descriptors));
  const std::vector<std::uint8_t> section = QV_TRY(data());
  const bool local = !layout.local_section.empty();
  const std::size_t l2 = local ? layout.local_section.size() + 4 : 0;
  const std::size_t l3 = 7 + 2 * packed.size();
  const std::size_t l4 = 4 + section.size();
  const std::size_t total = 8 + kSection1Length + l2 + l3 + l4 + 4;
  if (total > kMaxLength || l2 > kMaxLength || l3 > kMaxLength || l4 > kMaxLength)
    return fail(BufrError::unencodable(
        "the message would take " + std::to_string(total) +
        " octets, more than BUFR can frame (16777215); write fewer subsets per message"));
  Octets out(octets, total);
  out.append(Bytes(reinterpret_cast<const std::uint8_t*>("BUFR"), 4));
  out.u24(total);
  out.u8(4);
  // Section 1.
  out.u24(kSection1Length);
  out.u8(h.master_table_number);
  out.u16(h.originating_centre);
  out.u16(h.originating_subcentre);
  out.u8(h.update_sequence_number);
  out.u8(local ? 0x80 : 0);
  out.u8(h.data_category);
  out.u8(h.international_data_subcategory);
  out.u8(h.local_data_subcategory);
  out.u8(h.master_tables_version_number);
  out.u8(h.local_tables_version_number);
  out.u16(h.typical_year);
  out.u8(h.typical_month);
  out.u8(h.typical_day);
  out.u8(h.typical_hour);
  out.u8(h.typical_minute);
  out.u8(h.typical_second);
  if (local) {
    out.u24(l2);
    out.u8(0);
    out.append(layout.local_section);
  }
  // Section 3.
  out.u24(l3);
  out.u8(0);
  out.u16(subsets);
  out.u8((h.observed_data ? 0x80 : 0) | (layout.compressed ? 0x40 : 0));
  for (std::uint16_t p : packed) out.u16(p);
  // Sections 4 and 5.
  out.u24(l4);
  out.u8(0);
  out.append(section);
  out.append(Bytes(reinterpret_cast<const std::uint8_t*>("7777"), 4));
  return {};
}

}  // namespace

Result<std::vector<std::uint8_t>> write_message(const MessageLayout& layout, const TableSet& tables,
                                                const SubsetValues& values, const TemplateProgram* program) {
  std::vector<std::uint8_t> out;
  QV_CHECK(append_message(out, layout, tables, values, program));
  return out;
}

Status append_message(std::vector<std::uint8_t>& out, const MessageLayout& layout, const TableSet& tables,
                      const SubsetValues& values, const TemplateProgram* program) {
  return framed(out, layout, values.subsets(), [&] {
    return write_data_section(layout.header.unexpanded_descriptors,
                              tables,
                              values,
                              {.compressed = layout.compressed, .first_row = layout.first_row},
                              program);
  });
}

Status append_message(std::vector<std::uint8_t>& out, const MessageLayout& layout, const TableSet& tables,
                      const FieldColumns& columns, const TemplateProgram* program) {
  MessageLayout compressed = layout;
  compressed.compressed = true;
  return framed(out, compressed, columns.subsets(), [&]() -> Result<std::vector<std::uint8_t>> {
    BitWriter data;
    QV_CHECK(detail::write_compressed(
        layout.header.unexpanded_descriptors, tables, columns, layout.first_row, program, data));
    return data.take();
  });
}

}  // namespace quorvex
