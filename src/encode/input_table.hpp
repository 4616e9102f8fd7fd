// The table a writer reads: named columns, each a run of chunks laid out as Arrow lays out
// arrays (validity bits, then values, offsets and characters, views, or indices into a
// dictionary),
// read where they are. Numbers of any width, booleans, texts with 32- or 64-bit offsets,
// dictionaries of them and all-null columns; a cell is missing when null or NaN.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "columnar/arrow_abi.hpp"
#include "encode/field_value.hpp"
#include "lib/error.hpp"

namespace quorvex {

// One column's cells in one batch, by its buffers (none owned).
struct ColumnChunk {
  enum class Type : std::uint8_t {
    Null,
    Bool,
    Int8,
    Int16,
    Int32,
    Int64,
    UInt8,
    UInt16,
    UInt32,
    UInt64,
    Float16,
    Float32,
    Float64,
    Decimal128,
    Text32,    // 32-bit offsets
    Text64,    // 64-bit offsets
    TextView,  // 16-octet views: short texts inline, longer ones in `data_buffers`
  };

  Type type = Type::Null;
  const std::uint8_t* validity = nullptr;     // null: every cell valid
  const void* values = nullptr;               // numbers, bits, text offsets, or a dictionary's indices
  const char* chars = nullptr;                // of texts
  const void* const* data_buffers = nullptr;  // of text views
  std::size_t offset = 0;                     // of the first row in the buffers
  std::int32_t scale = 0;                     // of decimals
  // The values a dictionary column's indices (an integer `type`) refer to.
  std::shared_ptr<const ColumnChunk> dictionary;

  // Whether the cell holds a value: not null, and for numbers not NaN.
  bool valid(std::size_t row) const;
  // The value of a valid cell.
  FieldValue value(std::size_t row) const;
  // The dictionary index of a cell that holds one.
  std::size_t index(std::size_t row) const { return static_cast<std::size_t>(number_at(offset + row)); }

  // The type of an Arrow format string ("g", "u", "d:9,2" ...) as a chunk's (a dictionary's
  // indices are integers); none for a type the writer does not read. `scale` gets a
  // decimal's scale.
  static std::optional<Type> of_format(std::string_view format, std::int32_t& scale);
  // The chunk of `array` under `schema` (checked by of_format, the dictionary's too).
  static ColumnChunk of_arrow(const ArrowSchema& schema, const ArrowArray& array);

 private:
  // The number at buffer position `i` of a number, boolean or decimal chunk (NaN otherwise).
  double number_at(std::size_t i) const;
};

struct InputColumn {
  std::string name;
  std::vector<ColumnChunk> chunks;
  std::vector<std::size_t> ends;  // one past each chunk's last row, counted over the table

  void append(ColumnChunk chunk, std::size_t rows) {
    ends.push_back((ends.empty() ? 0 : ends.back()) + rows);
    chunks.push_back(std::move(chunk));
  }
  bool valid(std::size_t row) const {
    const auto [chunk, local] = locate(row);
    return chunk.valid(local);
  }
  // The value of a valid cell.
  FieldValue value(std::size_t row) const {
    const auto [chunk, local] = locate(row);
    return chunk.value(local);
  }

 private:
  std::pair<const ColumnChunk&, std::size_t> locate(std::size_t row) const;
};

struct InputTable {
  std::vector<InputColumn> columns;
  std::size_t rows = 0;
};

// The table of an Arrow stream's struct batches under their `schema`, whose every column's
// format of_format reads (the caller checks). Refused: a 64-bit integer no number holds
// exactly (named by column, row and value).
[[nodiscard]] Result<InputTable> input_table(const ArrowSchema& schema, std::span<const ArrowArray> batches);

}  // namespace quorvex
