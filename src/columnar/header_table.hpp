// The header keys of many messages as Arrow columns: one row per message whose header reads,
// one column per asked key (long as int64, double as float64, string as utf8; null where a
// message has no such key), in one pass over the messages.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "columnar/rows.hpp"

namespace quorvex {

struct HeaderBatch final : ExportedBatch {
  std::int64_t row_count() const override { return rows; }
  std::vector<ColumnSpec> columns() const override;

  std::int64_t rows = 0;
  Buffer<std::int64_t> message;  // the message index of each row
  std::vector<RowColumn> keys;
};

struct HeaderOutput {
  std::shared_ptr<HeaderBatch> batch;
  // The messages whose framing or header does not read (an impossible typical date among
  // them), in message order.
  std::vector<BadMessage> bad;
};

// The header keys `keys` (indices into header_keys()) of `messages`.
[[nodiscard]] HeaderOutput collect_headers(std::span<const Bytes> sources,
                                           std::span<const MessageRef> messages,
                                           std::span<const std::size_t> keys);

}  // namespace quorvex
