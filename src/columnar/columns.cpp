// The columnar decode: the messages are cut into runs of about equal size, and each thread
// takes the next run, decodes its messages one by one into a reused native record and
// appends their rows to the run's own batches. No value is held twice beyond one message.
#include "columnar/columns.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <sys/mman.h>
#include <unordered_map>

#include "columnar/parallel.hpp"
#include "columnar/ptr_index.hpp"
#include "decode/decode.hpp"

namespace quorvex {

namespace {

constexpr std::size_t kPage = 4096;

}  // namespace

namespace {

// Below this a column lives on the heap: a mapping per small column would spend the
// process's mappings (vm.max_map_count) on batches that hold little.
constexpr std::size_t kMappedFrom = std::size_t{1} << 20;

void release(void* p, std::size_t bytes) {
  if (bytes >= kMappedFrom) {
    munmap(p, bytes);
  } else {
    std::free(p);
  }
}

}  // namespace

ColumnMemory& ColumnMemory::operator=(ColumnMemory&& o) noexcept {
  if (this != &o) {
    if (data_ != nullptr) release(data_, bytes_);
    data_ = o.data_;
    bytes_ = o.bytes_;
    o.data_ = nullptr;
    o.bytes_ = 0;
  }
  return *this;
}

ColumnMemory::~ColumnMemory() {
  if (data_ != nullptr) release(data_, bytes_);
}

// Heap memory is zeroed as it is added; a fresh mapping's pages are zero already.
void ColumnMemory::reserve(std::size_t bytes) {
  if (bytes <= bytes_ && data_ != nullptr) return;
  if (bytes > std::numeric_limits<std::size_t>::max() - kPage) throw std::bad_alloc();
  const std::size_t rounded = std::max((bytes + kPage - 1) / kPage * kPage, kPage);
  void* p = nullptr;
  if (rounded < kMappedFrom) {
    p = std::aligned_alloc(64, rounded);  // 64: the alignment Arrow recommends for buffers
    if (p == nullptr) throw std::bad_alloc();
    if (data_ != nullptr) std::memcpy(p, data_, bytes_);
    std::memset(static_cast<char*>(p) + bytes_, 0, rounded - bytes_);
    std::free(data_);
  } else if (data_ != nullptr && bytes_ >= kMappedFrom) {
    p = mremap(data_, bytes_, rounded, MREMAP_MAYMOVE);
  } else {
    p = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED && data_ != nullptr) {  // from the heap to a mapping
      std::memcpy(p, data_, bytes_);
      std::free(data_);
    }
  }
  if (p == MAP_FAILED) throw std::bad_alloc();
  data_ = p;
  bytes_ = rounded;
}

std::int64_t ColumnarOutput::rows() const {
  std::int64_t n = 0;
  for (const auto& b : batches) n += b->rows;
  return n;
}

void Dictionary::finish() {
  std::size_t total = 0;
  for (const std::string& s : values) total += s.size();
  utf8.offsets.reserve(values.size() + 1);
  utf8.data.reserve(total);
  std::size_t at = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    utf8.offsets[i] = static_cast<std::int32_t>(at);
    std::memcpy(utf8.data.data() + at, values[i].data(), values[i].size());
    at += values[i].size();
  }
  utf8.offsets[values.size()] = static_cast<std::int32_t>(at);
}

namespace {

constexpr std::size_t kMaxUtf8Bytes = std::numeric_limits<std::int32_t>::max();
// Rows a batch is first given room for; it grows by doubling.
constexpr std::size_t kFirstRows = 4096;
// A run of messages is at least this many octets, so that a batch is not tiny.
constexpr std::size_t kMinRunOctets = std::size_t{256} << 10;

// Dictionary ids of one name: itself, and the unit and key of its element (-1: none).
struct NameIds {
  std::int16_t name = 0;
  std::int16_t unit = -1;
  std::int16_t key = -1;
};

// Distinct names, units or keys one message can add to a batch: the element codes of its
// tables (F = 0, six bits of X, eight of Y), and the three names of values that are not
// elements. A batch takes no further message once a dictionary could pass int16.
constexpr std::size_t kNamesPerMessage = 64 * 256 + 3;
constexpr std::size_t kMaxShortDictionary = std::numeric_limits<std::int16_t>::max() + std::size_t{1};

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

bool is_special_name(const std::string* name) {
  return name == &associated_field_name() || name == &operator_name() || name == &signify_character_name();
}

}  // namespace

std::uint64_t MessageBudget::rows(std::size_t octets) const {
  const std::uint64_t by_size = kRowsPerOctet * octets + kRowAllowance;
  return std::min(by_size, max_rows);
}

std::uint64_t MessageBudget::text_octets(std::size_t octets) const {
  const std::uint64_t by_size = kTextPerOctet * octets + kTextAllowance;
  const std::uint64_t cap = max_rows > UINT64_MAX / kTextPerRow ? UINT64_MAX : max_rows * kTextPerRow;
  return std::min(by_size, cap);
}

std::uint64_t rows_of(const MessageValues& m) {
  if (m.compressed) return static_cast<std::uint64_t>(m.columns.columns.size()) * m.columns.subsets;
  return m.records.values.size();
}

std::optional<BufrError> over_budget(const MessageValues& m, std::size_t octets,
                                     const MessageBudget& budget) {
  const std::string rule = std::to_string(MessageBudget::kRowsPerOctet) + " rows and " +
                           std::to_string(MessageBudget::kTextPerOctet) +
                           " octets of text per octet of the message, plus an allowance; at most " +
                           std::to_string(budget.max_rows) + " rows, which max_message_rows raises";
  const std::uint64_t rows = rows_of(m);
  if (rows > budget.rows(octets)) return BufrError::over_budget("rows", rows, budget.rows(octets), rule);
  const std::uint64_t text = text_bytes_of(m);
  if (text > budget.text_octets(octets)) {
    return BufrError::over_budget("octets of text", text, budget.text_octets(octets), rule);
  }
  return std::nullopt;
}

// Octets of the text column for the message's values (in compressed data the subsets of a
// text that does not vary share one text).
std::size_t text_bytes_of(const MessageValues& m) {
  std::size_t n = 0;
  if (m.compressed) {
    const CompressedValues& c = m.columns;
    for (const CompressedColumn& col : c.columns) {
      if (col.kind != CompressedColumn::Kind::Text) continue;
      if (!col.varying) {
        if (col.fixed.has_text()) n += c.subsets * c.texts[col.fixed.text_index].size();
        continue;
      }
      for (std::size_t s = 0; s < c.subsets; ++s) {
        const std::uint64_t index = c.cells[col.first + s];
        if (index != kNoCompressedText) n += c.texts[index].size();
      }
    }
    return n;
  }
  for (const DecodedValue& v : m.records.values) {
    if (v.has_text()) n += m.records.texts[v.text_index].size();
  }
  return n;
}

namespace {

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
              const MessageRef& ref, const std::shared_ptr<const TableSet>& tables, bool ranks_per_subset,
              ForEachRow&& for_each_row);
  // The occurrence number of the next value of key `id` (-1: none) and `role`, 0 when the
  // value is not numbered.
  std::int32_t next_rank(std::int16_t id, ValueRole role);
  void reset_ranks();
  void start();
  void finish();
  void reserve(std::size_t rows, std::size_t text_bytes);
  const NameIds& ids_of(const DecodedValue& v, const TableSet& tables);

  const ColumnarOptions& options_;
  std::vector<std::shared_ptr<ColumnBatch>> done_;
  std::shared_ptr<ColumnBatch> b_;
  std::vector<std::shared_ptr<const TableSet>> held_;
  PtrIndex name_index_;  // name address -> index in name_ids_
  std::vector<NameIds> name_ids_;
  PtrIndex meaning_index_;  // meaning address -> dictionary id
  std::optional<DictionaryBuilder> names_, units_, meanings_, keys_;
  std::size_t text_ = 0;
  std::size_t present_[7] = {};       // rows present: unit, value, text, raw, meaning, key, rank
  std::vector<std::int32_t> ranks_;   // by key id: occurrences so far
  std::vector<std::int16_t> ranked_;  // the key ids counted since the last reset
};

// ecCodes numbers elements, replication factors and bitmap entries; operators, associated
// fields and attributes are not keys of their own.
inline std::int32_t BatchBuilder::next_rank(std::int16_t id, ValueRole role) {
  if (id < 0 || role == ValueRole::Operator || role == ValueRole::AssociatedField ||
      role == ValueRole::Attribute) {
    return 0;
  }
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

// One pass over the message's values writing every column through local pointers: the
// compiler need not reload them after every octet written (char stores may alias anything).
// `for_each_row(put)` calls put(subset, record) for the message's n values in order.
template <class ForEachRow>
void BatchBuilder::append(std::size_t n, std::size_t text_bytes, const std::vector<std::string>& texts,
                          const MessageRef& ref, const std::shared_ptr<const TableSet>& tables,
                          bool ranks_per_subset, ForEachRow&& for_each_row) {
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
  for_each_row([&](std::size_t s, const DecodedValue& v) {
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
      key[j] = std::max<std::int16_t>(id.key, 0);
      key_bits->push(id.key >= 0);
      if (ranks_per_subset && s != last_subset) {
        reset_ranks();
        last_subset = s;
      }
      rank[j] = next_rank(id.key, v.role);
      rank_bits->push(rank[j] != 0);
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
  if (key_bits) present_[5] += key_bits->flush();
  if (rank_bits) present_[6] += rank_bits->flush();
  b.rows = static_cast<std::int64_t>(row0 + n);
}

void BatchBuilder::append(const MessageValues& m, std::size_t text_bytes, const MessageRef& ref,
                          const std::shared_ptr<const TableSet>& tables) {
  if (m.compressed) {
    const CompressedValues& c = m.columns;
    // Every subset of compressed data has the template's keys: each is numbered alike.
    append(c.subsets * c.columns.size(), text_bytes, c.texts, ref, tables, true, [&c](auto&& put) {
      for (std::size_t s = 0; s < c.subsets; ++s) {
        for (const CompressedColumn& col : c.columns) put(s, c.value_at(col, s));
      }
    });
    return;
  }
  const DecodeResult& r = m.records;
  // The subsets of uncompressed data are numbered as one sequence of keys.
  append(r.values.size(), text_bytes, r.texts, ref, tables, false, [&r](auto&& put) {
    const std::size_t n = r.values.size();
    const std::vector<std::size_t>& starts = r.subset_starts;
    for (std::size_t s = 0; s < starts.size(); ++s) {
      const std::size_t hi = s + 1 < starts.size() ? std::min(starts[s + 1], n) : n;
      for (std::size_t j = std::min(starts[s], n); j < hi; ++j) put(s, r.values[j]);
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

}  // namespace

// The message's parse, tables and decode into `out`; false with `error` set on failure.
bool decode_one(std::span<const Bytes> sources, const MessageRef& ref, TableChooser& chooser, bool programs,
                MessageValues& out, std::shared_ptr<const TableSet>& tables, std::optional<BufrError>& error,
                WantedOf wanted_of, void* context) {
  auto failed = [&error](BufrError e) {
    error = std::move(e);
    return false;
  };
  if (ref.source >= sources.size()) return failed(BufrError::too_short());
  const Bytes source = sources[ref.source];
  if (ref.offset > source.size() || ref.length > source.size() - ref.offset) {
    return failed(BufrError::message_overrun(ref.offset, ref.length));
  }
  const Bytes octets = source.subspan(ref.offset, ref.length);
  Result<BufrMessage> parsed = parse_message(octets, ParseOptions{.older_editions = true});
  if (!parsed) return failed(parsed.error());
  Result<ChosenTables> chosen = chooser.choose(*parsed);
  if (!chosen) return failed(chosen.error());
  tables = chosen->tables;
  const std::shared_ptr<const TemplateProgram> program =
      programs ? chooser.programs().get(tables, parsed->unexpanded_descriptors) : nullptr;
  const WantedElements* wanted = wanted_of != nullptr ? wanted_of(context, tables) : nullptr;
  Status decoded =
      decode_message_values(*parsed, *tables, section4_data(octets, *parsed), out, program.get(), wanted);
  if (!decoded) return failed(decoded.error());
  return true;
}

namespace {

struct RunOutput {
  std::vector<std::shared_ptr<ColumnBatch>> batches;
  std::vector<BadMessage> bad;
};

}  // namespace

// Cuts `messages` into runs of consecutive messages: one run per thread would leave a
// thread idle whenever its run is quick, so there are a few per thread.
std::vector<std::size_t> run_bounds(std::span<const MessageRef> messages, unsigned threads) {
  std::size_t total = 0;
  for (const MessageRef& m : messages) total += m.length;
  const std::size_t target =
      threads == 1 ? std::numeric_limits<std::size_t>::max() : std::max(kMinRunOctets, total / (4 * threads));
  std::vector<std::size_t> bounds{0};
  std::size_t octets = 0;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    octets += messages[i].length;
    if (octets >= target && i + 1 < messages.size()) {
      bounds.push_back(i + 1);
      octets = 0;
    }
  }
  bounds.push_back(messages.size());
  return bounds;
}

ColumnarOutput decode_columns(std::span<const Bytes> sources, std::span<const MessageRef> messages,
                              TableChooser& chooser, const ColumnarOptions& options) {
  const unsigned threads = std::max(1u, options.threads);
  const std::vector<std::size_t> bounds = run_bounds(messages, threads);
  const std::size_t runs = bounds.size() - 1;
  std::vector<RunOutput> outputs(runs);
  std::atomic<std::size_t> next{0};
  run_on_threads(static_cast<unsigned>(std::min<std::size_t>(threads, runs)), [&](unsigned) {
    MessageValues scratch;
    std::optional<BufrError> error;
    for (std::size_t run; (run = next.fetch_add(1, std::memory_order_relaxed)) < runs;) {
      BatchBuilder builder(options);
      RunOutput& out = outputs[run];
      for (std::size_t i = bounds[run]; i < bounds[run + 1]; ++i) {
        const MessageRef& ref = messages[i];
        std::shared_ptr<const TableSet> tables;
        if (!decode_one(sources, ref, chooser, options.programs, scratch, tables, error)) {
          out.bad.push_back(BadMessage{ref.index, ref.offset, std::move(*error), ref.source});
          continue;
        }
        if (std::optional<BufrError> over = over_budget(scratch, ref.length, options.budget)) {
          out.bad.push_back(BadMessage{ref.index, ref.offset, std::move(*over), ref.source});
          continue;
        }
        const std::size_t text_bytes = text_bytes_of(scratch);
        if (text_bytes > kMaxUtf8Bytes) {
          out.bad.push_back(BadMessage{ref.index, ref.offset, BufrError::batch_text_overflow(), ref.source});
          continue;
        }
        builder.append(scratch, text_bytes, ref, tables);
      }
      out.batches = builder.take();
    }
  });

  ColumnarOutput result;
  for (RunOutput& out : outputs) {
    for (auto& b : out.batches) {
      if (b->rows > 0) result.batches.push_back(std::move(b));
    }
    for (BadMessage& m : out.bad) result.bad.push_back(std::move(m));
  }
  if (result.batches.empty()) result.batches = BatchBuilder(options).take(true);
  return result;
}

}  // namespace quorvex
