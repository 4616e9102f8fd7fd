// The long table's batches, filled one decoded message at a time.
#include "columnar/batch_builder.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "columnar/key_numbering.hpp"

namespace quorvex {

using detail::DictionaryBuilder;
using detail::NameIds;

namespace {

// Rows a batch is first given room for; it grows by doubling.
constexpr std::size_t kFirstRows = 4096;

// Distinct names, units or keys one message can add to a batch: the element codes of its
// tables (F = 0, six bits of X, eight of Y), and the three names of values that are not
// elements. A batch takes no further message once a dictionary could pass int16.
constexpr std::size_t kNamesPerMessage = 64 * 256 + 3;
constexpr std::size_t kMaxShortDictionary = std::numeric_limits<std::int16_t>::max() + std::size_t{1};

bool is_special_name(const std::string* name) {
  return name == &associated_field_name() || name == &operator_name() || name == &signify_character_name();
}

}  // namespace

inline std::int32_t BatchBuilder::next_rank(std::int16_t id) {
  if (id < 0) return 0;
  const auto i = static_cast<std::size_t>(id);
  if (i >= ranks_.size()) ranks_.resize(std::max(i + 1, 2 * ranks_.size()), 0);
  if (ranks_[i] == 0) ranked_.push_back(id);
  return ++ranks_[i];
}

void BatchBuilder::reset_ranks() {
  for (std::int16_t id : ranked_) ranks_[static_cast<std::size_t>(id)] = 0;
  ranked_.clear();
}

void BatchBuilder::start() {
  b_ = std::make_shared<ColumnBatch>();
  b_->with_source = options_.with_source;
  b_->with_keys = options_.keys;
  held_.clear();
  name_index_.clear();
  name_ids_.clear();
  meaning_index_.clear();
  names_.emplace(b_->names);
  units_.emplace(b_->units);
  meanings_.emplace(b_->meanings);
  keys_.emplace(b_->keys);
  if (b_->with_keys) {
    for (std::size_t r = 0; r < kValueRoles; ++r)
      b_->roles.values.push_back(role_name(static_cast<ValueRole>(r)));
  }
  ranks_.clear();
  ranked_.clear();
  text_ = 0;
  std::fill(std::begin(present_), std::end(present_), 0);
  reserve(0, 0);
}

void BatchBuilder::reserve(std::size_t rows, std::size_t text_bytes) {
  // Each buffer checks its own capacity: their capacities in rows differ (page rounding).
  ColumnBatch& b = *b_;
  rows = std::max(rows, kFirstRows);
  b.message.reserve(rows);
  if (b.with_source) b.source.reserve(rows);
  b.subset.reserve(rows);
  b.descriptor.reserve(rows);
  b.name.reserve(rows);
  b.unit.reserve(rows);
  b.value.reserve(rows);
  b.text.offsets.reserve(rows + 1);
  b.text.data.reserve(text_bytes);
  b.raw.reserve(rows);
  b.meaning.reserve(rows);
  if (b.with_keys) {
    b.key.reserve(rows);
    b.rank.reserve(rows);
    b.role.reserve(rows);
  }
  for (Bitmap* m : {&b.unit_valid, &b.value_valid, &b.text_valid, &b.raw_valid, &b.meaning_valid}) {
    m->reserve(rows);
  }
  if (b.with_keys) {  // whole 64-bit words: see BitWriter
    b.key_valid.reserve(rows);
    b.rank_valid.reserve(rows);
  }
}

const NameIds& BatchBuilder::ids_of(const DecodedValue& v, const TableSet& tables) {
  std::int32_t at = name_index_.find(v.name);
  if (at == PtrIndex::kAbsent) {
    NameIds n;
    n.name = static_cast<std::int16_t>(names_->id(*v.name));
    const ElementDefinition* def = is_special_name(v.name) ? nullptr : tables.find_element(v.descriptor);
    if (def != nullptr && &def->name == v.name) {
      n.unit = static_cast<std::int16_t>(units_->id(def->unit));
      if (!def->abbreviation.empty()) n.key = static_cast<std::int16_t>(keys_->id(def->abbreviation));
    }
    if (v.name == &signify_character_name()) {
      static const std::string text_key("text");  // as ecCodes names 2-05 text
      n.key = static_cast<std::int16_t>(keys_->id(text_key));
    }
    at = static_cast<std::int32_t>(name_ids_.size());
    name_index_.insert(v.name, at);
    name_ids_.push_back(n);
  }
  return name_ids_[static_cast<std::size_t>(at)];
}

namespace {

// Writes the validity bits of consecutive rows from `row` on, 64 at a time; the word the
// first row falls in may hold earlier rows' bits already, so words are or-ed in.
class BitWriter {
 public:
  BitWriter(Bitmap& map, std::size_t row)
      : words_(reinterpret_cast<std::uint64_t*>(map.bits.data())), word_(row >> 6), shift_(row & 63) {}
  void push(bool present) {
    acc_ |= std::uint64_t{present} << shift_;
    present_ += present;
    if (++shift_ == 64) {
      words_[word_++] |= acc_;
      acc_ = 0;
      shift_ = 0;
    }
  }
  // Writes the last partial word; returns how many rows were present.
  std::size_t flush() {
    if (acc_ != 0) words_[word_] |= acc_;
    return present_;
  }

 private:
  std::uint64_t* words_;
  std::size_t word_;
  unsigned shift_;
  std::uint64_t acc_ = 0;
  std::size_t present_ = 0;
};

}  // namespace

// One pass over the message's values writing every column through local pointers: the
// compiler need not reload them after every octet written (char stores may alias anything).
// `for_each_row(put)` calls put(subset, index, record) for the message's n values in order,
// `index` that of the value among `quality`'s (the record's, or the column's in compressed
// data).
template <class ForEachRow>
void BatchBuilder::append(std::size_t n, std::size_t text_bytes, const std::vector<std::string>& texts,
                          std::span<const QualityKey> quality, const MessageRef& ref,
                          const std::shared_ptr<const TableSet>& tables, bool ranks_per_subset,
                          ForEachRow&& for_each_row) {
  if (!b_) start();
  const auto full = [this](const DictionaryBuilder& d) {
    return d.size() + kNamesPerMessage > kMaxShortDictionary;
  };
  if (text_bytes > kMaxUtf8Bytes - text_ || full(*names_) || full(*units_) || full(*keys_)) {
    finish();
    start();
  }
  if (held_.empty() || held_.back() != tables) held_.push_back(tables);
  ColumnBatch& b = *b_;
  const auto row0 = static_cast<std::size_t>(b.rows);
  reserve(row0 + n, text_ + text_bytes);

  std::fill_n(b.message.data() + row0, n, ref.index);
  if (b.with_source) std::fill_n(b.source.data() + row0, n, static_cast<std::int32_t>(ref.source));
  std::int32_t* subset = b.subset.data() + row0;
  std::uint32_t* descriptor = b.descriptor.data() + row0;
  std::int16_t* name = b.name.data() + row0;
  std::int16_t* unit = b.unit.data() + row0;
  std::int16_t* key = b.with_keys ? b.key.data() + row0 : nullptr;
  std::int32_t* rank = b.with_keys ? b.rank.data() + row0 : nullptr;
  std::int16_t* role = b.with_keys ? b.role.data() + row0 : nullptr;
  std::uint64_t* raw = b.raw.data() + row0;
  double* value = b.value.data() + row0;
  std::int32_t* offsets = b.text.offsets.data() + row0;
  char* text = b.text.data.data();
  std::int32_t* meaning = b.meaning.data() + row0;
  BitWriter unit_bits(b.unit_valid, row0), raw_bits(b.raw_valid, row0), value_bits(b.value_valid, row0),
      text_bits(b.text_valid, row0), meaning_bits(b.meaning_valid, row0);
  std::optional<BitWriter> key_bits, rank_bits;
  if (key != nullptr) {
    key_bits.emplace(b.key_valid, row0);
    rank_bits.emplace(b.rank_valid, row0);
    reset_ranks();
  }
  std::size_t last_subset = 0;
  const std::string* last = nullptr;
  NameIds id;
  std::size_t at = text_;
  std::size_t j = 0;
  std::size_t first_row = 0;  // of the subset, for the index of a value given back by `numbering`
  KeyNumbering numbering(quality);
  // Numbers value i of the subset under its own key (that of `id`, the value just given) or
  // under the key of the element a quality value qualifies.
  const auto number = [&](std::size_t i, const ElementDefinition* qualified) {
    const std::size_t row = first_row + i;
    if (qualified == nullptr) {
      rank[row] = next_rank(id.key);
      return;
    }
    const std::int16_t k =
        ids_of(DecodedValue{.name = &qualified->name, .descriptor = qualified->code}, *tables).key;
    key[row] = std::max<std::int16_t>(k, 0);
    rank[row] = next_rank(k);
  };
  for_each_row([&](std::size_t s, std::size_t i, const DecodedValue& v) {
    subset[j] = static_cast<std::int32_t>(s);
    descriptor[j] = v.descriptor;
    if (v.name != last) {  // a run of one element's values (replications, subsets) looks up once
      last = v.name;
      id = ids_of(v, *tables);
    }
    name[j] = id.name;
    unit[j] = std::max<std::int16_t>(id.unit, 0);
    unit_bits.push(id.unit >= 0);
    if (key != nullptr) {
      if (s != last_subset) {
        numbering.finish(number);
        if (ranks_per_subset) {
          reset_ranks();
          numbering.restart();
        }
        last_subset = s;
      }
      first_row = j - i;
      key[j] = std::max<std::int16_t>(id.key, 0);
      rank[j] = 0;
      const bool held = numbering.next(i, v, number);  // a quality value numbered later
      key_bits->push(id.key >= 0 || held);
      rank_bits->push(rank[j] != 0 || held);
      role[j] = static_cast<std::int16_t>(v.role);
    }
    const bool has_raw = v.has_raw();
    const bool has_value = has_raw && v.has_value();  // a text value has no number
    raw[j] = has_raw ? v.raw : 0;
    value[j] = has_value ? v.raw_value : 0.0;
    raw_bits.push(has_raw);
    value_bits.push(has_value);
    offsets[j] = static_cast<std::int32_t>(at);
    if (v.has_text()) {
      const std::string_view t = without_padding(texts[v.text_index]);
      std::memcpy(text + at, t.data(), t.size());
      at += t.size();
    }
    text_bits.push(v.has_text());
    // A missing value has no meaning, whatever its raw bits (in compressed data, those of R0).
    const std::string* said = has_value ? v.meaning : nullptr;
    std::int32_t m = 0;
    if (said != nullptr) {
      m = meaning_index_.find(said);
      if (m == PtrIndex::kAbsent) {
        m = meanings_->id(*said);
        meaning_index_.insert(said, m);
      }
    }
    meaning[j] = m;
    meaning_bits.push(said != nullptr);
    ++j;
  });
  text_ = at;
  present_[0] += unit_bits.flush();
  present_[1] += value_bits.flush();
  present_[2] += text_bits.flush();
  present_[3] += raw_bits.flush();
  present_[4] += meaning_bits.flush();
  if (key != nullptr) numbering.finish(number);
  if (key_bits) present_[5] += key_bits->flush();
  if (rank_bits) present_[6] += rank_bits->flush();
  b.rows = static_cast<std::int64_t>(row0 + n);
}

void BatchBuilder::append(const MessageValues& m, std::size_t text_bytes, const MessageRef& ref,
                          const std::shared_ptr<const TableSet>& tables) {
  if (m.compressed) {
    const CompressedValues& c = m.columns;
    // Every subset of compressed data has the template's keys: each is numbered alike.
    append(c.subsets * c.columns.size(),
           text_bytes,
           c.texts,
           c.quality_keys,
           ref,
           tables,
           true,
           [&c](auto&& put) {
             for (std::size_t s = 0; s < c.subsets; ++s) {
               for (std::size_t i = 0; i < c.columns.size(); ++i) put(s, i, c.value_at(c.columns[i], s));
             }
           });
    return;
  }
  const DecodeResult& r = m.records;
  // The subsets of uncompressed data are numbered as one sequence of keys.
  append(r.values.size(), text_bytes, r.texts, r.quality_keys, ref, tables, false, [&r](auto&& put) {
    const std::size_t n = r.values.size();
    const std::vector<std::size_t>& starts = r.subset_starts;
    for (std::size_t s = 0; s < starts.size(); ++s) {
      const std::size_t hi = s + 1 < starts.size() ? std::min(starts[s + 1], n) : n;
      for (std::size_t j = std::min(starts[s], n); j < hi; ++j) put(s, j, r.values[j]);
    }
  });
}

// Null counts, the text's last offset and the dictionaries' values.
void BatchBuilder::finish() {
  ColumnBatch& b = *b_;
  const auto rows = static_cast<std::size_t>(b.rows);
  Bitmap* maps[] = {&b.unit_valid,
                    &b.value_valid,
                    &b.text_valid,
                    &b.raw_valid,
                    &b.meaning_valid,
                    &b.key_valid,
                    &b.rank_valid};
  for (std::size_t k = 0; k < 7; ++k) maps[k]->null_count = static_cast<std::int64_t>(rows - present_[k]);
  if (!b.with_keys) b.key_valid.null_count = b.rank_valid.null_count = 0;
  b.text.offsets[rows] = static_cast<std::int32_t>(text_);
  b.names.finish();
  b.units.finish();
  b.meanings.finish();
  b.keys.finish();
  b.roles.finish();
  done_.push_back(std::move(b_));
  held_.clear();
}

std::vector<std::shared_ptr<ColumnBatch>> BatchBuilder::take(bool at_least_one) {
  if (!b_ && done_.empty() && at_least_one) start();
  if (b_) finish();
  return std::move(done_);
}

}  // namespace quorvex
