// The long table built message by message: one row per decoded value, with dictionaries
// of names, units, meanings and keys, and the occurrence numbers of keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "columnar/columns.hpp"
#include "columnar/ptr_index.hpp"

namespace quorvex {

// Octets a utf8 column can hold (its offsets are int32).
inline constexpr std::size_t kMaxUtf8Bytes = std::numeric_limits<std::int32_t>::max();

namespace detail {

// Dictionary ids of one name: itself, and the unit and key of its element (-1: none).
struct NameIds {
  std::int16_t name = 0;
  std::int16_t unit = -1;
  std::int16_t key = -1;
};

class DictionaryBuilder {
 public:
  explicit DictionaryBuilder(Dictionary& d) : d_(&d) {}
  std::size_t size() const { return d_->values.size(); }
  std::int32_t id(const std::string& s) {
    auto [it, added] = ids_.try_emplace(s, static_cast<std::int32_t>(d_->values.size()));
    if (added) d_->values.push_back(s);
    return it->second;
  }

 private:
  Dictionary* d_;
  std::unordered_map<std::string, std::int32_t> ids_;
};

}  // namespace detail

// The batches of one run of messages, filled message by message. The names and meanings
// of the decoded values are addresses into the message's tables, so the tables of every
// message in the batch are held until it is finished: an address is never reused for
// another string while it is a key of the indexes.
class BatchBuilder {
 public:
  explicit BatchBuilder(const ColumnarOptions& options) : options_(options) {}

  // Appends the rows of one decoded message; its text fits a batch.
  void append(const MessageValues& m, std::size_t text_bytes, const MessageRef& ref,
              const std::shared_ptr<const TableSet>& tables);
  // The batches made, the last one finished; one empty batch when none was and
  // `at_least_one`.
  std::vector<std::shared_ptr<ColumnBatch>> take(bool at_least_one = false);

 private:
  template <class ForEachRow>
  void append(std::size_t n, std::size_t text_bytes, const std::vector<std::string>& texts,
              std::span<const QualityKey> quality, const MessageRef& ref,
              const std::shared_ptr<const TableSet>& tables, bool ranks_per_subset,
              ForEachRow&& for_each_row);
  // The occurrence number of the next value of key `id`; 0 for none (-1).
  std::int32_t next_rank(std::int16_t id);
  void reset_ranks();
  void start();
  void finish();
  void reserve(std::size_t rows, std::size_t text_bytes);
  const detail::NameIds& ids_of(const DecodedValue& v, const TableSet& tables);

  const ColumnarOptions& options_;
  std::vector<std::shared_ptr<ColumnBatch>> done_;
  std::shared_ptr<ColumnBatch> b_;
  std::vector<std::shared_ptr<const TableSet>> held_;
  PtrIndex name_index_;  // name address -> index in name_ids_
  std::vector<detail::NameIds> name_ids_;
  PtrIndex meaning_index_;  // meaning address -> dictionary id
  std::optional<detail::DictionaryBuilder> names_, units_, meanings_, keys_;
  std::size_t text_ = 0;
  std::size_t present_[7] = {};       // rows present: unit, value, text, raw, meaning, key, rank
  std::vector<std::int32_t> ranks_;   // by key id: occurrences so far
  std::vector<std::int16_t> ranked_;  // the key ids counted since the last reset
};

}  // namespace quorvex
