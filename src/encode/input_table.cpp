#include "encode/input_table.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace quorvex {

namespace {

template <class T>
T at(const void* values, std::size_t i) {
  T v;
  std::memcpy(&v, static_cast<const char*>(values) + i * sizeof(T), sizeof(T));
  return v;
}

bool bit(const void* bits, std::size_t i) {
  return ((static_cast<const std::uint8_t*>(bits)[i / 8] >> (i % 8)) & 1) != 0;
}

double half_float(std::uint16_t h) {
  const int exponent = (h >> 10) & 0x1f;
  const int mantissa = h & 0x3ff;
  double v;
  if (exponent == 0) {
    v = std::ldexp(mantissa, -24);
  } else if (exponent == 31) {
    v = mantissa != 0 ? std::nan("") : HUGE_VAL;
  } else {
    v = std::ldexp(mantissa + 1024, exponent - 25);
  }
  return (h & 0x8000) != 0 ? -v : v;
}

double decimal128(const void* values, std::size_t i, std::int32_t scale) {
  const auto low = at<std::uint64_t>(values, 2 * i);
  const auto high = at<std::int64_t>(values, 2 * i + 1);
  const auto whole = static_cast<__int128>((static_cast<unsigned __int128>(high) << 64) | low);
  // Powers of ten up to 1e22 are exact: the quotient is then the nearest number to the decimal.
  const double v = static_cast<double>(whole);
  return scale >= 0 ? v / std::pow(10.0, scale) : v * std::pow(10.0, -scale);
}

// Integers a double holds exactly, whatever their neighbours: |v| <= 2^53.
constexpr std::uint64_t kExactLimit = std::uint64_t{1} << 53;

bool is_dictionary_index(ColumnChunk::Type t) {
  return t >= ColumnChunk::Type::Int8 && t <= ColumnChunk::Type::UInt64;
}

}  // namespace

bool ColumnChunk::valid(std::size_t row) const {
  if (type == Type::Null) return false;
  const std::size_t i = offset + row;
  if (validity != nullptr && !bit(validity, i)) return false;
  if (dictionary) return dictionary->valid(index(row));
  switch (type) {
    case Type::Float64: {
      const auto v = at<double>(values, i);
      return v == v;
    }
    case Type::Float32: {
      const auto v = at<float>(values, i);
      return v == v;
    }
    case Type::Float16: {
      const auto h = at<std::uint16_t>(values, i);
      return (h & 0x7c00) != 0x7c00 || (h & 0x3ff) == 0;
    }
    default:
      return true;
  }
}

FieldValue ColumnChunk::value(std::size_t row) const {
  if (dictionary) return dictionary->value(index(row));
  const std::size_t i = offset + row;
  switch (type) {
    case Type::Null:
      return FieldValue::missing();
    case Type::Text32: {
      const auto begin = at<std::int32_t>(values, i);
      return FieldValue::of_text(
          std::string_view(chars + begin, static_cast<std::size_t>(at<std::int32_t>(values, i + 1) - begin)));
    }
    case Type::Text64: {
      const auto begin = at<std::int64_t>(values, i);
      return FieldValue::of_text(
          std::string_view(chars + begin, static_cast<std::size_t>(at<std::int64_t>(values, i + 1) - begin)));
    }
    case Type::TextView: {
      // A view: its length, then the text itself up to 12 octets, else its first 4 octets, the
      // data buffer it is in and where.
      const char* view = static_cast<const char*>(values) + 16 * i;
      const auto length = static_cast<std::size_t>(at<std::int32_t>(view, 0));
      if (length <= 12) return FieldValue::of_text(std::string_view(view + 4, length));
      const auto buffer = static_cast<std::size_t>(at<std::int32_t>(view, 2));
      const auto start = static_cast<std::size_t>(at<std::int32_t>(view, 3));
      return FieldValue::of_text(
          std::string_view(static_cast<const char*>(data_buffers[buffer]) + start, length));
    }
    default:
      return FieldValue::of_number(number_at(i));
  }
}

double ColumnChunk::number_at(std::size_t i) const {
  switch (type) {
    case Type::Bool:
      return bit(values, i) ? 1 : 0;
    case Type::Int8:
      return at<std::int8_t>(values, i);
    case Type::Int16:
      return at<std::int16_t>(values, i);
    case Type::Int32:
      return at<std::int32_t>(values, i);
    case Type::Int64:
      return static_cast<double>(at<std::int64_t>(values, i));
    case Type::UInt8:
      return at<std::uint8_t>(values, i);
    case Type::UInt16:
      return at<std::uint16_t>(values, i);
    case Type::UInt32:
      return at<std::uint32_t>(values, i);
    case Type::UInt64:
      return static_cast<double>(at<std::uint64_t>(values, i));
    case Type::Float16:
      return half_float(at<std::uint16_t>(values, i));
    case Type::Float32:
      return at<float>(values, i);
    case Type::Float64:
      return at<double>(values, i);
    case Type::Decimal128:
      return decimal128(values, i, scale);
    default:
      return std::nan("");
  }
}

std::optional<ColumnChunk::Type> ColumnChunk::of_format(std::string_view format, std::int32_t& scale) {
  static constexpr std::pair<std::string_view, Type> kFormats[] = {
      {"n", Type::Null},
      {"b", Type::Bool},
      {"c", Type::Int8},
      {"s", Type::Int16},
      {"i", Type::Int32},
      {"l", Type::Int64},
      {"C", Type::UInt8},
      {"S", Type::UInt16},
      {"I", Type::UInt32},
      {"L", Type::UInt64},
      {"e", Type::Float16},
      {"f", Type::Float32},
      {"g", Type::Float64},
      {"u", Type::Text32},
      {"U", Type::Text64},
      {"vu", Type::TextView},
  };
  for (const auto& [name, type] : kFormats) {
    if (format == name) return type;
  }
  // "d:precision,scale" or "d:precision,scale,128": 128-bit decimals.
  if (!format.starts_with("d:")) return std::nullopt;
  const std::size_t comma = format.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  const std::string_view rest = format.substr(comma + 1);
  const std::size_t width = rest.find(',');
  const std::string_view digits = rest.substr(0, width);
  if (width != std::string_view::npos && rest.substr(width + 1) != "128") return std::nullopt;
  const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), scale);
  if (parsed.ec != std::errc{} || parsed.ptr != digits.data() + digits.size()) return std::nullopt;
  return Type::Decimal128;
}

ColumnChunk ColumnChunk::of_arrow(const ArrowSchema& schema, const ArrowArray& array) {
  ColumnChunk chunk;
  chunk.type = of_format(schema.format, chunk.scale).value_or(Type::Null);
  chunk.offset = static_cast<std::size_t>(array.offset);
  if (chunk.type == Type::Null) return chunk;
  chunk.validity = array.null_count == 0 ? nullptr : static_cast<const std::uint8_t*>(array.buffers[0]);
  chunk.values = array.buffers[1];
  if (chunk.type == Type::Text32 || chunk.type == Type::Text64)
    chunk.chars = static_cast<const char*>(array.buffers[2]);
  if (chunk.type == Type::TextView) chunk.data_buffers = array.buffers + 2;
  if (schema.dictionary != nullptr && array.dictionary != nullptr && is_dictionary_index(chunk.type))
    chunk.dictionary = std::make_shared<const ColumnChunk>(of_arrow(*schema.dictionary, *array.dictionary));
  return chunk;
}

std::pair<const ColumnChunk&, std::size_t> InputColumn::locate(std::size_t row) const {
  if (chunks.size() == 1) return {chunks.front(), row};
  const std::size_t c =
      static_cast<std::size_t>(std::upper_bound(ends.begin(), ends.end(), row) - ends.begin());
  return {chunks[c], row - (c == 0 ? 0 : ends[c - 1])};
}

namespace {

// Refuses a 64-bit integer of `chunk` (rows `first` .. of the table) that no number holds exactly.
Status check_exact(const ColumnChunk& chunk, std::size_t rows, const std::string& name, std::size_t first) {
  const ColumnChunk& values = chunk.dictionary ? *chunk.dictionary : chunk;
  const bool is_signed = values.type == ColumnChunk::Type::Int64;
  if (!is_signed && values.type != ColumnChunk::Type::UInt64) return {};
  for (std::size_t r = 0; r < rows; ++r) {
    if (!chunk.valid(r)) continue;
    const std::size_t i = values.offset + (chunk.dictionary ? chunk.index(r) : r);
    const auto v = at<std::uint64_t>(values.values, i);
    const std::uint64_t magnitude =
        is_signed && static_cast<std::int64_t>(v) < 0 ? ~v + 1 : v;  // two's complement
    if (magnitude <= kExactLimit) continue;
    const std::string text = is_signed ? std::to_string(static_cast<std::int64_t>(v)) : std::to_string(v);
    return fail(BufrError::unencodable(name + ", row " + std::to_string(first + r) + ": value " + text +
                                       " is not held exactly by a number (at most 2^53 in magnitude)"));
  }
  return {};
}

}  // namespace

Result<InputTable> input_table(const ArrowSchema& schema, std::span<const ArrowArray> batches) {
  InputTable table;
  table.columns.resize(static_cast<std::size_t>(schema.n_children));
  for (std::size_t c = 0; c < table.columns.size(); ++c) {
    const char* name = schema.children[c]->name;
    table.columns[c].name = name != nullptr ? name : "";
  }
  for (const ArrowArray& batch : batches) {
    const auto rows = static_cast<std::size_t>(batch.length);
    if (rows == 0) continue;
    for (std::size_t c = 0; c < table.columns.size(); ++c) {
      ColumnChunk chunk = ColumnChunk::of_arrow(*schema.children[c], *batch.children[c]);
      chunk.offset += static_cast<std::size_t>(batch.offset);
      QV_CHECK(check_exact(chunk, rows, table.columns[c].name, table.rows));
      table.columns[c].append(std::move(chunk), rows);
    }
    table.rows += rows;
  }
  return table;
}

}  // namespace quorvex
