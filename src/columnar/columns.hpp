// Columns of decoded values, one row per value, in the layout of Apache Arrow: fixed-width
// buffers, validity bitmaps (bit set = present), utf8 as offsets and data, and
// dictionary-encoded strings as int16 or int32 indices into a utf8 dictionary.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "columnar/column_memory.hpp"
#include "columnar/table_choice.hpp"
#include "decode/decode.hpp"
#include "message/message.hpp"

namespace quorvex {

// A text value as the columns give it: without the spaces and NULs that pad it to its width,
// as ecCodes gives texts.
inline std::string_view without_padding(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
  return text;
}

// One column of a batch as the Arrow interface sees it.
struct ColumnSpec {
  const char* name;
  const char* format;
  const Bitmap* valid;               // null: never null
  std::vector<const void*> buffers;  // after the validity buffer
  const Utf8Column* dictionary;      // dictionary-encoded: its utf8 values
  std::size_t dictionary_size;
};

// A batch the Arrow export hands over: its length and its columns, in order.
class ExportedBatch {
 public:
  virtual ~ExportedBatch() = default;
  virtual std::int64_t row_count() const = 0;
  virtual std::vector<ColumnSpec> columns() const = 0;
};

// The long table: one row per value.
struct ColumnBatch final : ExportedBatch {
  std::int64_t row_count() const override { return rows; }
  std::vector<ColumnSpec> columns() const override;  // arrow_export.cpp

  std::int64_t rows = 0;
  bool with_source = false;
  bool with_keys = false;

  Buffer<std::int64_t> message;
  Buffer<std::int32_t> source;
  Buffer<std::int32_t> subset;
  Buffer<std::uint32_t> descriptor;
  // Names, units and keys come from the elements of a message's tables (at most 64 x 256
  // codes), so 16-bit indices hold them: a batch is closed before its dictionaries could
  // outgrow them. Meanings have no such bound.
  Buffer<std::int16_t> name;
  Buffer<std::int16_t> unit;
  Buffer<double> value;
  Utf8Column text;
  Buffer<std::uint64_t> raw;
  Buffer<std::int32_t> meaning;
  // With the keys: the element's key, its occurrence number in the message as ecCodes
  // numbers keys (#1#, #2#, ...; none for values that are not numbered) and the value's
  // role, an index into `roles` (the names of ValueRole in its order).
  Buffer<std::int16_t> key;
  Buffer<std::int32_t> rank;
  Buffer<std::int16_t> role;

  Bitmap unit_valid, value_valid, text_valid, raw_valid, meaning_valid, key_valid, rank_valid;
  Dictionary names, units, meanings, keys, roles;
};

// One message to decode: which source, its index in the output, its extent there.
struct MessageRef {
  std::uint32_t source = 0;
  std::int64_t index = 0;
  std::size_t offset = 0;
  std::size_t length = 0;
};

struct BadMessage {
  std::int64_t index = 0;
  std::size_t offset = 0;
  BufrError error;
  std::uint32_t source = 0;  // the position of its source
};

struct ColumnarOutput {
  // In message order; at least one (empty when no message gave rows). A batch holds a
  // run of whole messages; its dictionaries are its own.
  std::vector<std::shared_ptr<ColumnBatch>> batches;
  std::vector<BadMessage> bad;  // in message order
  std::int64_t rows() const;
};

// What one message may give: rows (one per value) and octets of text, each at most a
// multiple of the message's length plus an allowance, and at most the caller's cap. A few
// octets can ask for millions of rows (65535 subsets of operator markers, compressed
// columns of constant text), and the rows take some 40 times the memory of their values
// in the message; real messages give at most 17 rows and 2.3 octets of text per octet.
// A message over its budget is a bad message, decoded no further than its scratch record.
struct MessageBudget {
  static constexpr std::uint64_t kRowsPerOctet = 64;
  static constexpr std::uint64_t kRowAllowance = std::uint64_t{1} << 16;
  static constexpr std::uint64_t kTextPerOctet = 16;
  static constexpr std::uint64_t kTextAllowance = std::uint64_t{1} << 20;
  static constexpr std::uint64_t kTextPerRow = 16;  // the cap on text, per row of the cap
  static constexpr std::uint64_t kDefaultMaxRows = std::uint64_t{1} << 22;

  std::uint64_t max_rows = kDefaultMaxRows;  // the caller's cap on the rows of one message

  std::uint64_t rows(std::size_t octets) const;
  std::uint64_t text_octets(std::size_t octets) const;
};

struct ColumnarOptions {
  unsigned threads = 1;
  bool keys = false;         // the key, rank and role columns
  bool with_source = false;  // the source column
  bool programs = true;      // decode through the compiled programs of the templates
  MessageBudget budget{};
};

// The message's parse, tables and decode into `out`; false with `error` set on failure.
// `wanted_of(tables, program)`, when given, names the elements to read and the plan of the
// program (null: none) for them; `structure`, when given, receives the nesting of the values.
struct WantedRead {
  const WantedElements* elements = nullptr;
  const SkipPlan* skips = nullptr;
};
using WantedOf = WantedRead (*)(void* context, const std::shared_ptr<const TableSet>& tables,
                                const std::shared_ptr<const TemplateProgram>& program);
bool decode_one(std::span<const Bytes> sources, const MessageRef& ref, TableChooser& chooser, bool programs,
                MessageValues& out, std::shared_ptr<const TableSet>& tables, std::optional<BufrError>& error,
                WantedOf wanted_of = nullptr, void* context = nullptr, MessageStructure* structure = nullptr);

// What a thread keeps from one message to the next, so that a run of messages of one table
// selection and one template (most files are such runs) pays for neither choice again: the
// header parsed last (its memory reused), the tables chosen last and the program compiled
// last. `parse`: how its header is read.
struct DecodeMemo {
  ParseOptions parse{.older_editions = true};
  BufrMessage message;
  TableChooser::Last tables;
  TemplateCache::Last program;
};
// The same through the thread's `memo`; `tables` is assigned only when it changes.
bool decode_one(std::span<const Bytes> sources, const MessageRef& ref, TableChooser& chooser, bool programs,
                MessageValues& out, DecodeMemo& memo, std::shared_ptr<const TableSet>& tables,
                std::optional<BufrError>& error, WantedOf wanted_of = nullptr, void* context = nullptr,
                MessageStructure* structure = nullptr);

// Cuts `messages` into runs of consecutive messages for `threads` threads: the bounds, from
// 0 to messages.size().
std::vector<std::size_t> run_bounds(std::span<const MessageRef> messages, unsigned threads);

// The rows a decoded message gives (one per value) and its octets of text.
std::uint64_t rows_of(const MessageValues& m);
std::size_t text_bytes_of(const MessageValues& m);
// Why a decoded message of `octets` octets is over `budget`, if it is.
[[nodiscard]] std::optional<BufrError> over_budget(const MessageValues& m, std::size_t octets,
                                                   const MessageBudget& budget);

// Decodes `messages` (editions 2, 3 and 4) into batches, rows in message order. A message
// that does not parse, has no tables or does not decode adds no rows and one entry to
// `bad`. Runs on `options.threads` threads, each filling the batches of a run of messages.
[[nodiscard]] ColumnarOutput decode_columns(std::span<const Bytes> sources,
                                            std::span<const MessageRef> messages, TableChooser& chooser,
                                            const ColumnarOptions& options);

}  // namespace quorvex
