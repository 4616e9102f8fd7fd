#include "columnar/header_table.hpp"

#include <cstring>

#include "message/header_keys.hpp"

namespace quorvex {

std::vector<ColumnSpec> HeaderBatch::columns() const {
  std::vector<ColumnSpec> c;
  c.push_back({"message", "l", nullptr, {message.data()}, nullptr, 0});
  for (const RowColumn& k : keys) c.push_back(k.arrow_column());
  return c;
}

namespace {

RowColumn::Type column_type(HeaderType type) {
  switch (type) {
    case HeaderType::Long:
      return RowColumn::Type::Int;
    case HeaderType::Double:
      return RowColumn::Type::Double;
    case HeaderType::String:
      return RowColumn::Type::Text;
  }
  return RowColumn::Type::Int;
}

// Appends one value to row `row` of `c` (the row's text offset written, its bit set when present).
void put(RowColumn& c, std::size_t row, const HeaderValue& v) {
  c.valid.reserve(row + 1);
  if (c.type == RowColumn::Type::Text) {
    c.text.offsets.reserve(row + 2);
    c.text.offsets[row] = static_cast<std::int32_t>(c.text_bytes);
  }
  bool present = true;
  switch (v.kind) {
    case HeaderValue::Kind::Long:
      c.ints.reserve(row + 1);
      c.ints[row] = v.number;
      break;
    case HeaderValue::Kind::Double:
      c.doubles.reserve(row + 1);
      c.doubles[row] = v.real;
      break;
    case HeaderValue::Kind::String:
      c.text.data.reserve(c.text_bytes + v.text.size());
      std::memcpy(c.text.data.data() + c.text_bytes, v.text.data(), v.text.size());
      c.text_bytes += v.text.size();
      break;
    case HeaderValue::Kind::None:
      present = false;
      break;
  }
  if (present) {
    c.valid.bits[row >> 3] |= static_cast<std::uint8_t>(1u << (row & 7));
    ++c.present;
  }
}

// Every buffer of `c` sized for `rows` rows, so that the export reads only what is there.
void finish(RowColumn& c, std::size_t rows) {
  c.valid.reserve(rows);
  c.valid.null_count = static_cast<std::int64_t>(rows) - c.present;
  c.ints.reserve(rows);
  c.doubles.reserve(rows);
  c.text.offsets.reserve(rows + 1);
  c.text.offsets[rows] = static_cast<std::int32_t>(c.text_bytes);
  c.text.data.reserve(c.text_bytes);
}

}  // namespace

HeaderOutput collect_headers(std::span<const Bytes> sources, std::span<const MessageRef> messages,
                             std::span<const std::size_t> keys) {
  const std::span<const HeaderKey> all = header_keys();
  HeaderOutput out;
  out.batch = std::make_shared<HeaderBatch>();
  HeaderBatch& b = *out.batch;
  for (std::size_t k : keys) {
    RowColumn& c = b.keys.emplace_back();
    c.name = std::string(all[k].name);
    c.type = column_type(all[k].type);
  }
  std::size_t row = 0;
  for (const MessageRef& ref : messages) {
    const auto refuse = [&](BufrError e) {
      out.bad.push_back(BadMessage{ref.index, ref.offset, std::move(e), ref.source});
    };
    if (ref.source >= sources.size()) {
      refuse(BufrError::too_short());
      continue;
    }
    const Bytes source = sources[ref.source];
    if (ref.offset > source.size() || ref.length > source.size() - ref.offset) {
      refuse(BufrError::message_overrun(ref.offset, ref.length));
      continue;
    }
    const Bytes octets = source.subspan(ref.offset, ref.length);
    const Result<BufrMessage> parsed = parse_message(octets, ParseOptions{.older_editions = true});
    if (!parsed) {
      refuse(parsed.error());
      continue;
    }
    const Result<HeaderSource> header = header_source(octets, *parsed);
    if (!header) {
      refuse(header.error());
      continue;
    }
    b.message.reserve(row + 1);
    b.message[row] = ref.index;
    for (std::size_t i = 0; i < keys.size(); ++i) put(b.keys[i], row, all[keys[i]].read(*header));
    ++row;
  }
  b.rows = static_cast<std::int64_t>(row);
  b.message.reserve(row);
  for (RowColumn& c : b.keys) finish(c, row);
  return out;
}

}  // namespace quorvex
