// Messages written from a table: one row per subset, one column per key as the flat reader
// names them ("#n#key": the n-th occurrence of the element `key` in its subset; "text" for
// 2-05 characters). Each row is laid out by walking the descriptors: every element takes
// the cell of its numbered key (a missing cell or an absent column is a missing value), a
// delayed replication its factor's own column when given, else as many repetitions as the
// highest numbered key of the repeated descriptors present in the row asks for. A non-null
// cell the walk does not take is refused: its key is not one the descriptors produce, or a
// replication count contradicts it.
//
// Columns named by header keys, as the flat reader gives them beside the data, set the
// header of each message where the caller's header does not: one value in every row of a
// message (a key the caller set must agree). The keys the writer decides (edition,
// numberOfSubsets, compressedData, typicalDate ...) and subsetNumber are read, not written;
// subsetNumber, numbered 1, 2 ... in each message, says where messages start.
//
// A data-present indicator (0-31-031) without a value is 1, "no value": a flat frame holds
// no bitmaps, nor the quality information they select. The attributes of an element are columns
// named as ecCodes names them (#n#key->name): its associated field, its percentage of
// confidence, the value substituted (->substitutedValue) or replaced (->replacedRetainedValue)
// for it, the reference a 2-03 definition set for it; other attribute columns are refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "encode/input_table.hpp"
#include "lib/error.hpp"
#include "message/message.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

class TemplateProgram;

struct TableWriteOptions {
  bool compressed = false;
  // 0: every row in one message, or with a column subsetNumber a message from each row
  // numbered 1 on.
  std::size_t subsets_per_message = 0;
  std::size_t first_row = 0;  // of the table, in errors
  // The header keys the caller set, with their values (a column of such a key must agree).
  std::vector<std::pair<std::string, std::int64_t>> header_keys;
  // The descriptors compiled against the tables (as a cache of programs keeps them); null:
  // compiled by the call.
  const TemplateProgram* program = nullptr;
};

// Chooses the tables of a message from its header.
class TableChooser;

// The messages (concatenated) of `table` under `descriptors` and `header` (its typical
// time, when the year is 0, taken from the first row of each message: keys year, month,
// day, hour, minute and second).
[[nodiscard]] Result<std::vector<std::uint8_t>> write_table(const InputTable& table,
                                                            std::span<const std::uint32_t> descriptors,
                                                            const BufrMessage& header, const TableSet& tables,
                                                            TableWriteOptions options);

}  // namespace quorvex
