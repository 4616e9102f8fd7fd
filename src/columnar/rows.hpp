// Rows that follow the structure of the messages: the values of the requested keys gathered
// by the hierarchy of coordinates, as pdbufr's generic reader gathers them. Elements of
// classes 01 to 09 are coordinates: each opens a level, and a coordinate whose key comes
// again closes the levels opened since it came last. A row is complete when the next value
// would replace a gathered key at the same or an outer level. Attributes, operators and
// associated fields take no part. Each subset of compressed data is gathered on its own;
// the subsets of uncompressed data are one sequence, each subset starting at the top.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "columnar/columns.hpp"
#include "decode/structure.hpp"

namespace quorvex {

// A requested key: plain ("pressure": every occurrence) or numbered ("#2#pressure"), or an
// attribute of one, as ecCodes names them ("pressure->percentConfidence": the quality
// information attached to a pressure; "#1#pressure->substitutedValue").
struct RowKey {
  std::string column;      // as asked
  std::string key;         // without its number and attribute
  std::string attribute;   // after "->", if any
  std::uint32_t rank = 0;  // 0: any occurrence (of the element an attribute is attached to)

  static RowKey parse(const std::string& column);
};

// A column of the rows, typed by its key's table entry (ecCodes's types: long, table and
// flag as int64, double as float64, string as utf8).
struct RowColumn {
  enum class Type : std::uint8_t { Int, Double, Text };
  std::string name;
  Type type = Type::Double;
  Buffer<std::int64_t> ints;
  Buffer<double> doubles;
  Utf8Column text;
  std::size_t text_bytes = 0;
  Bitmap valid;
  std::int64_t present = 0;

  // This column as the Arrow export sees it.
  ColumnSpec arrow_column() const;
};

struct RowBatch final : ExportedBatch {
  std::int64_t row_count() const override { return rows; }
  std::vector<ColumnSpec> columns() const override;

  std::int64_t rows = 0;
  Buffer<std::int64_t> message;
  Buffer<std::int32_t> subset;  // from 1
  Buffer<std::int32_t> shape;   // flat rows: the index in RowOutput::shapes of the row's keys
  bool with_shape = false;
  std::vector<RowColumn> keys;
};

// A condition on one requested key that a row's value must meet to be kept; a missing value
// never meets it. Values: the value is one of `numbers` or one of `texts`. Range: the value is
// a number within [low, high].
struct RowFilter {
  std::size_t key = 0;  // index into RowOptions::keys
  bool range = false;
  std::vector<double> numbers;
  std::vector<std::string> texts;
  double low = -HUGE_VAL, high = HUGE_VAL;

  bool matches(double number) const;
  bool matches(std::string_view text) const;
};

struct RowOptions {
  // The least octets of messages worth a thread: a call takes at most `threads` threads and
  // at most one per that many octets (a thread's start, its own state and the merge of its
  // rows cost more CPU than a small share of the work saves in time).
  static constexpr std::size_t kOctetsPerThread = std::size_t{4} << 20;

  unsigned threads = 1;
  std::size_t octets_per_thread = kOctetsPerThread;
  // One row per subset holding every element of the messages as a column "#n#key", n its
  // occurrence number: counted per subset in uncompressed data, over the template (the same
  // for every subset) in compressed data. Replication factors, bitmaps, operators,
  // associated fields and attributes are left out. `keys` then names the keys a message
  // must hold (a plain key: any occurrence) to give rows, and `required` is unused.
  bool flat = false;
  std::vector<RowKey> keys;
  // Indices into `keys` that a row must hold (a missing value counts as held) to be kept.
  std::vector<std::size_t> required;
  // Every filter must be met (a filtered key is held by every row kept).
  std::vector<RowFilter> filters;
  bool programs = true;
  MessageBudget budget{};
};

// The key of a value as ecCodes names it: the abbreviation of its element, "text" for 2-05
// characters; empty for operators, associated fields and elements without one.
std::string_view value_key(const DecodedValue& v, const TableSet& tables);

// The name the attribute `v` goes by under its element (key->name): by its kind, or its own
// key (quality information; empty for an associated field).
std::string_view link_name(AttributeLink::Kind kind, const DecodedValue& v, const TableSet& tables);

struct RowOutput {
  // In message order; at least one. All of the same schema.
  std::vector<std::shared_ptr<RowBatch>> batches;
  std::vector<BadMessage> bad;
  // The requested keys that no table of the decoded messages defines.
  std::vector<std::string> unknown;
  // A key whose values are text in some messages and numbers in others (no rows then).
  std::string mixed;
  // Flat rows: the distinct sets of columns that rows hold, each as indices into the columns
  // of `keys` in the order the row's message holds them (a column is in the batch when some
  // row holds it, whether or not its value there is missing).
  std::vector<std::vector<std::int32_t>> shapes;
};

// Decodes `messages` on up to `options.threads` threads (each gathering a run of messages) and
// gathers their rows of `options.keys`, in message order. A message that does not parse (an
// impossible typical date among them, whatever its edition), has no tables or does not decode
// gives no rows and one entry to `bad`.
[[nodiscard]] RowOutput collect_rows(std::span<const Bytes> sources, std::span<const MessageRef> messages,
                                     TableChooser& chooser, const RowOptions& options);

}  // namespace quorvex
