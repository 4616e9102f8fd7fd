// The columnar decode: messages decoded in parallel into native records, their distinct
// strings gathered into the dictionaries in message order, then the columns filled in
// parallel, each thread a run of whole messages.
#include "columnar/columns.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <sys/mman.h>
#include <unordered_map>

#include "columnar/parallel.hpp"
#include "columnar/ptr_index.hpp"
#include "decode/decode.hpp"

namespace quorvex {

void* allocate_column_memory(std::size_t bytes) {
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  const bool huge = bytes >= kHuge;
  const std::size_t align = huge ? kHuge : 64;
  const std::size_t rounded = std::max<std::size_t>((bytes + align - 1) / align * align, align);
  void* p = std::aligned_alloc(align, rounded);
  if (p == nullptr) throw std::bad_alloc();
  if (huge) madvise(p, rounded, MADV_HUGEPAGE);  // advice only: failure changes nothing
  return p;
}

void ColumnMemoryFree::operator()(void* p) const { std::free(p); }

void Bitmap::reset(std::size_t rows) {
  bits = Buffer<std::uint8_t>((rows + 7) / 8);
  std::memset(bits.data(), 0, (rows + 7) / 8);
  null_count = 0;
}

void Dictionary::finish() {
  std::size_t total = 0;
  for (const std::string& s : values) total += s.size();
  utf8.offsets = Buffer<std::int32_t>(values.size() + 1);
  utf8.data = Buffer<char>(total);
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

// What one message gives between the decode and the fill.
struct MessageWork {
  DecodeResult result;
  std::shared_ptr<const TableSet> tables;
  std::vector<const std::string*> names;     // distinct, in first-use order
  std::vector<std::uint32_t> name_codes;     // the descriptor that first used each name
  std::vector<const std::string*> meanings;  // distinct, in first-use order
  std::size_t text_bytes = 0;
  std::size_t first_row = 0;
  std::size_t first_text = 0;
  bool ok = false;
  std::string error;
};

// Per thread: the sets that find each message's distinct strings.
struct DistinctSets {
  PtrIndex names;
  PtrIndex meanings;
};

void decode_one(std::span<const Bytes> sources, const MessageRef& ref, TableChooser& chooser, MessageWork& w,
                DistinctSets& sets) {
  auto failed = [&w](const BufrError& e) { w.error = e.message(); };
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
  Result<DecodeResult> decoded =
      decode_data_section(*parsed, *chosen->tables, section4_data(octets, *parsed));
  if (!decoded) return failed(decoded.error());
  w.result = std::move(*decoded);
  w.tables = chosen->tables;
  w.ok = true;

  sets.names.clear();
  sets.meanings.clear();
  for (const DecodedValue& v : w.result.values) {
    if (sets.names.insert(v.name, 0)) {
      w.names.push_back(v.name);
      w.name_codes.push_back(v.descriptor);
    }
    if (v.meaning != nullptr && sets.meanings.insert(v.meaning, 0)) w.meanings.push_back(v.meaning);
    if (v.has_text()) w.text_bytes += w.result.texts[v.text_index].size();
  }
}

// Dictionary ids of one name: itself, and the unit and key of its element (-1: none).
struct NameIds {
  std::int32_t name = 0;
  std::int32_t unit = -1;
  std::int32_t key = -1;
};

class DictionaryBuilder {
 public:
  explicit DictionaryBuilder(Dictionary& d) : d_(d) {}
  std::int32_t id(const std::string& s) {
    auto [it, added] = ids_.try_emplace(s, static_cast<std::int32_t>(d_.values.size()));
    if (added) d_.values.push_back(s);
    return it->second;
  }

 private:
  Dictionary& d_;
  std::unordered_map<std::string, std::int32_t> ids_;
};

bool is_special_name(const std::string* name) {
  return name == &associated_field_name() || name == &operator_name() || name == &signify_character_name();
}

// The strings of every message, in message order, given their dictionary ids.
struct StringIds {
  PtrIndex name_index;  // name address -> index in `names`
  std::vector<NameIds> names;
  PtrIndex meaning_index;  // meaning address -> dictionary id
};

void gather_strings(std::vector<MessageWork>& work, ColumnBatch& batch, StringIds& ids) {
  DictionaryBuilder names(batch.names), units(batch.units), meanings(batch.meanings), keys(batch.keys);
  for (MessageWork& w : work) {
    if (!w.ok) continue;
    for (std::size_t k = 0; k < w.names.size(); ++k) {
      const std::string* name = w.names[k];
      if (ids.name_index.find(name) != PtrIndex::kAbsent) continue;
      NameIds n;
      n.name = names.id(*name);
      const ElementDefinition* def =
          is_special_name(name) ? nullptr : w.tables->find_element(w.name_codes[k]);
      if (def != nullptr && &def->name == name) {
        n.unit = units.id(def->unit);
        if (!def->abbreviation.empty()) n.key = keys.id(def->abbreviation);
      }
      ids.name_index.insert(name, static_cast<std::int32_t>(ids.names.size()));
      ids.names.push_back(n);
    }
    for (const std::string* meaning : w.meanings) {
      if (ids.meaning_index.find(meaning) == PtrIndex::kAbsent)
        ids.meaning_index.insert(meaning, meanings.id(*meaning));
    }
  }
  batch.names.finish();
  batch.units.finish();
  batch.meanings.finish();
  batch.keys.finish();
}

// Sets bits of a shared bitmap for a run of rows [lo_row, hi_row): the two bytes at the
// run's ends may be shared with a neighbouring run, so their bits are collected apart
// and merged after the threads have joined.
class BitSink {
 public:
  BitSink() = default;
  BitSink(Bitmap& map, std::size_t lo_row, std::size_t hi_row)
      : bits_(map.bits.data()), lo_(lo_row >> 3), hi_((hi_row - 1) >> 3) {}
  void set(std::size_t row) {
    const std::size_t b = row >> 3;
    const auto m = static_cast<std::uint8_t>(1u << (row & 7));
    ++count_;
    if (b == lo_) {
      lo_acc_ |= m;
    } else if (b == hi_) {
      hi_acc_ |= m;
    } else {
      bits_[b] |= m;
    }
  }
  void merge() const {
    if (bits_ == nullptr) return;
    bits_[lo_] |= lo_acc_;
    bits_[hi_] |= hi_acc_;
  }
  std::size_t count() const { return count_; }

 private:
  std::uint8_t* bits_ = nullptr;
  std::size_t lo_ = 0, hi_ = 0;
  std::uint8_t lo_acc_ = 0, hi_acc_ = 0;
  std::size_t count_ = 0;
};

struct RunSinks {
  BitSink unit, value, text, raw, meaning, key;
};

// Column by column, through local pointers and sinks: the compiler need not reload them
// after every octet written (char and uint8_t stores may alias anything).
void fill_message(MessageWork& w, const MessageRef& ref, const StringIds& ids, ColumnBatch& b,
                  RunSinks& sinks) {
  const DecodedValue* values = w.result.values.data();
  const std::size_t n = w.result.values.size();
  const std::size_t row0 = w.first_row;
  std::fill_n(b.message.data() + row0, n, ref.index);
  if (b.with_source) std::fill_n(b.source.data() + row0, n, static_cast<std::int32_t>(ref.source));
  {
    const std::vector<std::size_t>& starts = w.result.subset_starts;
    std::int32_t* subset = b.subset.data() + row0;
    std::fill_n(subset, n, 0);
    for (std::size_t s = 1; s < starts.size(); ++s) {
      const std::size_t hi = s + 1 < starts.size() ? starts[s + 1] : n;
      std::fill(subset + std::min(starts[s], n), subset + std::min(hi, n), static_cast<std::int32_t>(s));
    }
  }
  std::uint32_t* descriptor = b.descriptor.data() + row0;
  for (std::size_t j = 0; j < n; ++j) descriptor[j] = values[j].descriptor;
  {
    std::int32_t* name = b.name.data() + row0;
    std::int32_t* unit = b.unit.data() + row0;
    std::int32_t* key = b.with_keys ? b.key.data() + row0 : nullptr;
    BitSink unit_sink = sinks.unit, key_sink = sinks.key;
    const std::string* last = nullptr;
    NameIds id;
    for (std::size_t j = 0; j < n; ++j) {
      if (values[j].name != last) {
        last = values[j].name;
        id = ids.names[static_cast<std::size_t>(ids.name_index.find(last))];
      }
      name[j] = id.name;
      unit[j] = id.unit < 0 ? 0 : id.unit;
      if (id.unit >= 0) unit_sink.set(row0 + j);
      if (key != nullptr) {
        key[j] = id.key < 0 ? 0 : id.key;
        if (id.key >= 0) key_sink.set(row0 + j);
      }
    }
    sinks.unit = unit_sink;
    sinks.key = key_sink;
  }
  {
    std::uint64_t* raw = b.raw.data() + row0;
    double* value = b.value.data() + row0;
    BitSink raw_sink = sinks.raw, value_sink = sinks.value;
    for (std::size_t j = 0; j < n; ++j) {
      const DecodedValue& v = values[j];
      const bool has_raw = v.has_raw();
      const bool has_value = has_raw && v.has_value();  // a text value has no number
      raw[j] = has_raw ? v.raw : 0;
      value[j] = has_value ? v.raw_value : 0.0;
      if (has_raw) raw_sink.set(row0 + j);
      if (has_value) value_sink.set(row0 + j);
    }
    sinks.raw = raw_sink;
    sinks.value = value_sink;
  }
  {
    std::int32_t* offsets = b.text.offsets.data() + row0;
    char* data = b.text.data.data();
    BitSink text_sink = sinks.text;
    std::size_t at = w.first_text;
    const std::vector<std::string>& texts = w.result.texts;
    for (std::size_t j = 0; j < n; ++j) {
      offsets[j] = static_cast<std::int32_t>(at);
      if (values[j].has_text()) {
        const std::string& t = texts[values[j].text_index];
        std::memcpy(data + at, t.data(), t.size());
        at += t.size();
        text_sink.set(row0 + j);
      }
    }
    sinks.text = text_sink;
  }
  {
    std::int32_t* meaning = b.meaning.data() + row0;
    BitSink meaning_sink = sinks.meaning;
    for (std::size_t j = 0; j < n; ++j) {
      const std::string* m = values[j].meaning;
      meaning[j] = m == nullptr ? 0 : ids.meaning_index.find(m);
      if (m != nullptr) meaning_sink.set(row0 + j);
    }
    sinks.meaning = meaning_sink;
  }
  w.result = DecodeResult{};  // its memory is no longer needed
  w.tables.reset();
}

void allocate(ColumnBatch& b, std::size_t rows, std::size_t text_bytes) {
  b.rows = static_cast<std::int64_t>(rows);
  b.message = Buffer<std::int64_t>(rows);
  if (b.with_source) b.source = Buffer<std::int32_t>(rows);
  b.subset = Buffer<std::int32_t>(rows);
  b.descriptor = Buffer<std::uint32_t>(rows);
  b.name = Buffer<std::int32_t>(rows);
  b.unit = Buffer<std::int32_t>(rows);
  b.value = Buffer<double>(rows);
  b.text.offsets = Buffer<std::int32_t>(rows + 1);
  b.text.data = Buffer<char>(text_bytes);
  b.raw = Buffer<std::uint64_t>(rows);
  b.meaning = Buffer<std::int32_t>(rows);
  if (b.with_keys) b.key = Buffer<std::int32_t>(rows);
  for (Bitmap* m :
       {&b.unit_valid, &b.value_valid, &b.text_valid, &b.raw_valid, &b.meaning_valid, &b.key_valid}) {
    m->reset(m == &b.key_valid && !b.with_keys ? 0 : rows);
  }
  b.text.offsets[rows] = static_cast<std::int32_t>(text_bytes);
}

}  // namespace

ColumnarOutput decode_columns(std::span<const Bytes> sources, std::span<const MessageRef> messages,
                              TableChooser& chooser, const ColumnarOptions& options) {
  const unsigned threads = std::max(1u, options.threads);
  std::vector<MessageWork> work(messages.size());
  std::vector<DistinctSets> sets(threads);
  {
    std::atomic<std::size_t> next{0};
    const auto used =
        static_cast<unsigned>(std::min<std::size_t>(threads, std::max<std::size_t>(messages.size(), 1)));
    run_on_threads(used, [&](unsigned t) {
      for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < messages.size();) {
        decode_one(sources, messages[i], chooser, work[i], sets[t]);
      }
    });
  }

  ColumnarOutput out;
  out.batch = std::make_shared<ColumnBatch>();
  ColumnBatch& b = *out.batch;
  b.with_source = options.with_source;
  b.with_keys = options.keys;

  // Rows and text octets of each message, in order; a message whose text would overflow
  // the batch's 32-bit text offsets is refused.
  std::size_t rows = 0, text_bytes = 0;
  for (std::size_t i = 0; i < work.size(); ++i) {
    MessageWork& w = work[i];
    if (w.ok && w.text_bytes > kMaxUtf8Bytes - text_bytes) {
      w.ok = false;
      w.error = BufrError::batch_text_overflow().message();
      w.result = DecodeResult{};
    }
    if (!w.ok) {
      out.bad.push_back(BadMessage{messages[i].index, messages[i].offset, std::move(w.error)});
      continue;
    }
    w.first_row = rows;
    w.first_text = text_bytes;
    rows += w.result.values.size();
    text_bytes += w.text_bytes;
  }

  StringIds ids;
  gather_strings(work, b, ids);
  allocate(b, rows, text_bytes);

  // Runs of whole messages with about equal rows, one per thread.
  std::vector<std::size_t> cut{0};
  for (unsigned t = 1; t < threads; ++t) {
    const std::size_t target = rows * t / threads;
    std::size_t i = cut.back();
    while (i < work.size() && (!work[i].ok || work[i].first_row < target)) ++i;
    cut.push_back(i);
  }
  cut.push_back(work.size());
  std::vector<RunSinks> sinks(threads);
  run_on_threads(threads, [&](unsigned t) {
    std::size_t lo_row = rows, hi_row = 0;
    for (std::size_t i = cut[t]; i < cut[t + 1]; ++i) {
      if (!work[i].ok) continue;
      lo_row = std::min(lo_row, work[i].first_row);
      hi_row = std::max(hi_row, work[i].first_row + work[i].result.values.size());
    }
    if (lo_row >= hi_row) return;
    RunSinks& s = sinks[t];
    s = RunSinks{BitSink(b.unit_valid, lo_row, hi_row),
                 BitSink(b.value_valid, lo_row, hi_row),
                 BitSink(b.text_valid, lo_row, hi_row),
                 BitSink(b.raw_valid, lo_row, hi_row),
                 BitSink(b.meaning_valid, lo_row, hi_row),
                 BitSink(b.key_valid, lo_row, hi_row)};
    for (std::size_t i = cut[t]; i < cut[t + 1]; ++i) {
      if (work[i].ok) fill_message(work[i], messages[i], ids, b, s);
    }
  });
  std::size_t unit = 0, value = 0, text = 0, raw = 0, meaning = 0, key = 0;
  for (const RunSinks& s : sinks) {
    s.unit.merge();
    s.value.merge();
    s.text.merge();
    s.raw.merge();
    s.meaning.merge();
    if (b.with_keys) s.key.merge();
    unit += s.unit.count();
    value += s.value.count();
    text += s.text.count();
    raw += s.raw.count();
    meaning += s.meaning.count();
    key += s.key.count();
  }
  const auto nulls = [rows](std::size_t present) { return static_cast<std::int64_t>(rows - present); };
  b.unit_valid.null_count = nulls(unit);
  b.value_valid.null_count = nulls(value);
  b.text_valid.null_count = nulls(text);
  b.raw_valid.null_count = nulls(raw);
  b.meaning_valid.null_count = nulls(meaning);
  b.key_valid.null_count = b.with_keys ? nulls(key) : 0;
  return out;
}

}  // namespace quorvex
