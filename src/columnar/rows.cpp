#include "columnar/rows.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "columnar/parallel.hpp"

namespace quorvex {

RowKey RowKey::parse(const std::string& column) {
  RowKey k{column, column, 0};
  if (column.size() > 2 && column[0] == '#') {
    const std::size_t end = column.find('#', 1);
    if (end != std::string::npos && end > 1 && end + 1 < column.size()) {
      std::uint32_t n = 0;
      bool digits = true;
      for (std::size_t i = 1; i < end && digits; ++i) {
        digits = column[i] >= '0' && column[i] <= '9' && n < 100000000;
        n = n * 10 + static_cast<std::uint32_t>(column[i] - '0');
      }
      if (digits && n > 0) {
        k.key = column.substr(end + 1);
        k.rank = n;
      }
    }
  }
  return k;
}

ColumnSpec RowColumn::spec() const {
  switch (type) {
    case Type::Int:
      return {name.c_str(), "l", &valid, {ints.data()}, nullptr, 0};
    case Type::Double:
      return {name.c_str(), "g", &valid, {doubles.data()}, nullptr, 0};
    case Type::Text:
      break;
  }
  return {name.c_str(), "u", &valid, {text.offsets.data(), text.data.data()}, nullptr, 0};
}

std::vector<ColumnSpec> RowBatch::columns() const {
  std::vector<ColumnSpec> c;
  c.push_back({"message", "l", nullptr, {message.data()}, nullptr, 0});
  c.push_back({"subset", "i", nullptr, {subset.data()}, nullptr, 0});
  for (const RowColumn& k : keys) c.push_back(k.spec());
  return c;
}

bool RowFilter::matches(double number) const {
  if (range) return number >= low && number <= high;
  return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
}

bool RowFilter::matches(std::string_view text) const {
  return !range && std::find(texts.begin(), texts.end(), text) != texts.end();
}

namespace {

// A value of one of the requested keys, where the hierarchy puts it.
struct Entry {
  std::size_t value;   // uncompressed: index of the record; compressed: of the column
  std::size_t subset;  // uncompressed: its subset
  std::uint32_t rank;  // its occurrence number
  std::int32_t name;   // index of its key among the requested keys' distinct keys
  std::int32_t level;
};

// A gathered value of the row being built.
struct Held {
  std::int32_t name;
  std::uint32_t rank;
  DecodedValue value;
};

bool is_coordinate(const DecodedValue& v) { return v.role == ValueRole::Element && v.descriptor <= 9999; }

bool is_numbered(ValueRole r) {
  return r == ValueRole::Element || r == ValueRole::ReplicationFactor || r == ValueRole::Bitmap;
}

RowColumn::Type type_of(const ElementDefinition& def) {
  if (def.element_type == "string" || def.unit == "CCITT IA5") return RowColumn::Type::Text;
  if (def.element_type == "double") return RowColumn::Type::Double;
  if (def.element_type.empty() && def.scale > 0) return RowColumn::Type::Double;
  return RowColumn::Type::Int;
}

class Collector {
 public:
  explicit Collector(const RowOptions& options) : options_(options), batch_(std::make_shared<RowBatch>()) {
    for (const RowKey& k : options.keys) {
      auto [it, added] = names_.try_emplace(k.key, static_cast<std::int32_t>(distinct_.size()));
      if (added) distinct_.push_back(k.key);
      request_name_.push_back(it->second);
      RowColumn& c = batch_->keys.emplace_back();
      c.name = k.column;
    }
    typed_.assign(options.keys.size(), false);
    integral_.assign(options.keys.size(), true);
    known_.assign(options.keys.size(), false);
  }

  void add(const MessageValues& m, const MessageRef& ref, const std::shared_ptr<const TableSet>& tables);
  // The elements of `tables` whose values the rows need: those of the requested keys.
  static const WantedElements* wanted(void* self, const std::shared_ptr<const TableSet>& tables) {
    auto* c = static_cast<Collector*>(self);
    c->learn_types(tables);
    return c->wanted_;
  }
  // The type each key's tables give it, if any met define it.
  std::optional<RowColumn::Type> type(std::size_t r) const {
    return typed_[r] ? std::optional(batch_->keys[r].type) : std::nullopt;
  }
  bool knows(std::size_t r) const { return known_[r]; }
  // The batch, its columns of the given types; false when a column holds text where numbers
  // are asked or the reverse.
  bool finish(std::span<const RowColumn::Type> types);
  std::shared_ptr<RowBatch> take() { return std::move(batch_); }

 private:
  std::string_view key_of(const DecodedValue& v, const TableSet& tables) const {
    if (v.role == ValueRole::Operator || v.role == ValueRole::AssociatedField) return {};
    const ElementDefinition* def = tables.find_element(v.descriptor);
    if (def == nullptr || &def->name != v.name) return {};
    return def->abbreviation;
  }
  void learn_types(const std::shared_ptr<const TableSet>& tables);
  struct KeyIds {
    std::int32_t key = -1;   // among all the keys met; -1: not a key
    std::int32_t name = -1;  // among the requested keys' distinct keys; -1: not requested
  };
  KeyIds ids_of(const DecodedValue& v, const TableSet& tables);
  // The entries of one sequence of values (`at(i)` gives value i of n).
  template <class At>
  void structure(std::size_t n, const TableSet& tables, bool subsets_restart, At at);
  template <class ValueOf>
  void gather(const MessageRef& ref, std::size_t fixed_subset, ValueOf value_of);
  void emit(const MessageRef& ref, std::size_t subset);
  // Whether `v`, as a column of type `type` holds it, meets `f`.
  bool passes(const RowFilter& f, RowColumn::Type type, const DecodedValue& v) const {
    if (type == RowColumn::Type::Text)
      return v.has_text() && f.matches(without_padding((*texts_)[v.text_index]));
    return v.has_value() && !v.has_text() && f.matches(v.raw_value);
  }

  const RowOptions& options_;
  std::shared_ptr<RowBatch> batch_;
  std::unordered_map<std::string, std::int32_t> names_;
  std::vector<std::string> distinct_;
  std::vector<std::int32_t> request_name_;
  std::vector<bool> typed_, integral_, known_;
  // What the keys are in each table set met: their definitions, the elements to read.
  struct Learnt {
    std::shared_ptr<const TableSet> tables;  // held, so that its address is not reused
    std::vector<const ElementDefinition*> defs;
    WantedElements wanted;
  };
  std::unordered_map<const TableSet*, Learnt> learnt_by_tables_;
  std::shared_ptr<const TableSet> learnt_;
  const WantedElements* wanted_ = nullptr;
  // Key ids by name address (the names of every table set met are held by learnt_by_tables_),
  // the keys met, and each key's occurrences in the sequence being structured.
  std::unordered_map<const std::string*, KeyIds> key_ids_;
  std::unordered_map<std::string, std::int32_t> all_keys_;
  std::vector<std::uint32_t> ranks_;
  std::vector<std::int32_t> counted_;
  std::vector<Entry> entries_;
  std::vector<Held> held_;
  std::vector<std::int32_t> levels_;
  const std::vector<std::string>* texts_ = nullptr;
};

void Collector::learn_types(const std::shared_ptr<const TableSet>& tables) {
  if (tables.get() == learnt_.get()) return;
  learnt_ = tables;
  auto [it, added] = learnt_by_tables_.try_emplace(tables.get());
  Learnt& l = it->second;
  if (added) {  // once per table set of the call: messages often alternate between a few
    l.tables = tables;
    l.defs.assign(options_.keys.size(), nullptr);
    std::unordered_map<std::string_view, const ElementDefinition*> by_key;
    for (const auto& [code, def] : tables->elements()) {
      by_key.try_emplace(def.abbreviation, &def);
      if (names_.contains(def.abbreviation)) l.wanted.add(code);
    }
    for (std::size_t r = 0; r < options_.keys.size(); ++r) {
      auto found = by_key.find(options_.keys[r].key);
      if (found != by_key.end()) l.defs[r] = found->second;
    }
  }
  for (std::size_t r = 0; r < options_.keys.size(); ++r) {
    if (l.defs[r] == nullptr) continue;
    known_[r] = true;
    if (!typed_[r]) {
      batch_->keys[r].type = type_of(*l.defs[r]);
      typed_[r] = true;
    }
  }
  wanted_ = &l.wanted;
}

// The levels of the hierarchy over every key of the sequence, and the entries of the
// requested ones.
template <class At>
void Collector::structure(std::size_t n, const TableSet& tables, bool subsets_restart, At at) {
  entries_.clear();
  for (std::int32_t id : counted_) ranks_[static_cast<std::size_t>(id)] = 0;
  counted_.clear();
  std::vector<std::pair<std::int32_t, std::int32_t>> coordinates;  // key id, level
  std::int32_t level = 1;  // below the subset number, the first coordinate of every subset
  std::size_t subset = 0;
  const std::string* last = nullptr;
  KeyIds ids;
  for (std::size_t i = 0; i < n; ++i) {
    const auto [v, s] = at(i);
    if (subsets_restart && s != subset) {
      subset = s;
      coordinates.clear();
      level = 1;
    }
    if (!is_numbered(v.role)) continue;
    if (v.name != last) {  // runs of one element (replications, subsets) look up once
      last = v.name;
      ids = ids_of(v, tables);
    }
    if (ids.key < 0) continue;
    const auto k = static_cast<std::size_t>(ids.key);
    if (ranks_[k] == 0) counted_.push_back(ids.key);
    const std::uint32_t rank = ++ranks_[k];
    const bool coordinate = is_coordinate(v);
    if (coordinate) {
      for (std::size_t c = coordinates.size(); c-- > 0;) {
        if (coordinates[c].first != ids.key) continue;
        level = coordinates[c].second;
        coordinates.resize(c);
        break;
      }
    }
    if (ids.name >= 0) {
      bool wanted = false;
      for (std::size_t r = 0; r < options_.keys.size() && !wanted; ++r) {
        wanted =
            request_name_[r] == ids.name && (options_.keys[r].rank == 0 || options_.keys[r].rank == rank);
      }
      if (wanted) entries_.push_back(Entry{i, s, rank, ids.name, level});
    }
    if (coordinate) coordinates.emplace_back(ids.key, level++);
  }
}

// The ids of a value's key: for counting (every key of the messages) and among the requested.
Collector::KeyIds Collector::ids_of(const DecodedValue& v, const TableSet& tables) {
  auto [it, added] = key_ids_.try_emplace(v.name);
  if (added) {
    const std::string_view key = key_of(v, tables);
    if (!key.empty()) {
      auto [k, new_key] =
          all_keys_.try_emplace(std::string(key), static_cast<std::int32_t>(all_keys_.size()));
      if (new_key) ranks_.push_back(0);
      auto named = names_.find(k->first);
      it->second = KeyIds{k->second, named != names_.end() ? named->second : -1};
    }
  }
  return it->second;
}

// The rows of the entries, with value_of(entry) giving each entry's value.
template <class ValueOf>
void Collector::gather(const MessageRef& ref, std::size_t fixed_subset, ValueOf value_of) {
  held_.clear();
  levels_.assign(1, 0);
  std::size_t subset = fixed_subset;
  const auto holds = [this](std::int32_t name) {
    for (const Held& h : held_)
      if (h.name == name) return true;
    return false;
  };
  for (const Entry& e : entries_) {
    const bool replaces = e.level < levels_.back() || (e.level == levels_.back() && holds(e.name));
    if (replaces) emit(ref, subset);
    while (!held_.empty() && (e.level < levels_.back() || (e.level == levels_.back() && holds(e.name)))) {
      held_.pop_back();
      levels_.pop_back();
    }
    const DecodedValue v = value_of(e);
    bool updated = false;
    for (Held& h : held_) {
      if (h.name == e.name) {  // held at an outer level: replaced where it stands
        h.rank = e.rank;
        h.value = v;
        updated = true;
      }
    }
    if (!updated) held_.push_back(Held{e.name, e.rank, v});
    levels_.push_back(e.level);
    if (fixed_subset == SIZE_MAX) subset = e.subset;
  }
  emit(ref, subset);
}

void Collector::emit(const MessageRef& ref, std::size_t subset) {
  const std::size_t n = options_.keys.size();
  const Held* found[64];
  std::vector<const Held*> many;
  const Held** slot = found;
  if (n > 64) {
    many.resize(n);
    slot = many.data();
  }
  bool any = false;
  for (std::size_t r = 0; r < n; ++r) {
    slot[r] = nullptr;
    for (const Held& h : held_) {
      if (h.name == request_name_[r] && (options_.keys[r].rank == 0 || options_.keys[r].rank == h.rank)) {
        slot[r] = &h;
        any = true;
      }
    }
  }
  if (!any) return;
  for (std::size_t r : options_.required)
    if (slot[r] == nullptr) return;
  for (const RowFilter& f : options_.filters) {
    const Held* h = slot[f.key];
    if (h == nullptr || !passes(f, batch_->keys[f.key].type, h->value)) return;
  }
  RowBatch& b = *batch_;
  const auto row = static_cast<std::size_t>(b.rows);
  b.message.reserve(row + 1);
  b.subset.reserve(row + 1);
  b.message[row] = ref.index;
  b.subset[row] = static_cast<std::int32_t>(subset + 1);
  for (std::size_t r = 0; r < n; ++r) {
    RowColumn& c = b.keys[r];
    c.valid.reserve(row + 1);
    c.doubles.reserve(row + 1);
    c.text.offsets.reserve(row + 2);
    c.text.offsets[row] = static_cast<std::int32_t>(c.text_bytes);
    const Held* h = slot[r];
    if (h == nullptr) continue;
    const DecodedValue& v = h->value;
    bool present = false;
    if (c.type == RowColumn::Type::Text) {
      if (v.has_text()) {
        const std::string_view t = without_padding((*texts_)[v.text_index]);
        c.text.data.reserve(c.text_bytes + t.size());
        std::memcpy(c.text.data.data() + c.text_bytes, t.data(), t.size());
        c.text_bytes += t.size();
        present = true;
      }
    } else if (v.has_value() && !v.has_text()) {
      c.doubles[row] = v.raw_value;
      if (v.raw_value != std::floor(v.raw_value) || std::fabs(v.raw_value) > 9.0e15) integral_[r] = false;
      present = true;
    }
    if (present) {
      c.valid.bits[row >> 3] |= static_cast<std::uint8_t>(1u << (row & 7));
      ++c.present;
    }
  }
  b.rows = static_cast<std::int64_t>(row + 1);
}

void Collector::add(const MessageValues& m, const MessageRef& ref,
                    const std::shared_ptr<const TableSet>& tables) {
  learn_types(tables);
  if (m.compressed) {
    const CompressedValues& c = m.columns;
    texts_ = &c.texts;
    structure(c.columns.size(), *tables, false, [&c](std::size_t i) {
      return std::pair<DecodedValue, std::size_t>(c.columns[i].fixed, 0);
    });
    for (std::size_t s = 0; s < c.subsets; ++s) {
      gather(ref, s, [&c, s](const Entry& e) { return c.value_at(c.columns[e.value], s); });
    }
    return;
  }
  const DecodeResult& r = m.records;
  texts_ = &r.texts;
  std::size_t s = 0;
  structure(r.values.size(), *tables, true, [&r, &s](std::size_t i) {
    while (s + 1 < r.subset_starts.size() && r.subset_starts[s + 1] <= i) ++s;
    return std::pair<const DecodedValue&, std::size_t>(r.values[i], s);
  });
  gather(ref, SIZE_MAX, [&r](const Entry& e) { return r.values[e.value]; });
}

bool Collector::finish(std::span<const RowColumn::Type> types) {
  RowBatch& b = *batch_;
  const auto rows = static_cast<std::size_t>(b.rows);
  b.message.reserve(rows);
  b.subset.reserve(rows);
  for (std::size_t r = 0; r < b.keys.size(); ++r) {
    RowColumn& c = b.keys[r];
    c.valid.reserve(rows);
    c.valid.null_count = static_cast<std::int64_t>(rows) - c.present;
    c.doubles.reserve(rows);
    c.text.offsets.reserve(rows + 1);
    c.text.offsets[rows] = static_cast<std::int32_t>(c.text_bytes);
    c.text.data.reserve(c.text_bytes);
    if (c.type != types[r]) {
      if (c.present > 0 && (c.type == RowColumn::Type::Text || types[r] == RowColumn::Type::Text))
        return false;
      c.type = types[r];
    }
    if (c.type == RowColumn::Type::Int) {
      if (!integral_[r]) {
        c.type = RowColumn::Type::Double;  // an operator gave the key decimals
        continue;
      }
      c.ints.reserve(rows);
      for (std::size_t i = 0; i < rows; ++i) c.ints[i] = static_cast<std::int64_t>(c.doubles[i]);
      c.doubles = Buffer<double>();  // the numbers live on as ints only
    }
  }
  return true;
}

}  // namespace

RowOutput collect_rows(std::span<const Bytes> sources, std::span<const MessageRef> messages,
                       TableChooser& chooser, const RowOptions& options) {
  const std::vector<std::size_t> bounds = run_bounds(messages, std::max(1u, options.threads));
  const std::size_t runs = bounds.size() - 1;
  std::vector<std::unique_ptr<Collector>> collectors;
  std::vector<std::vector<BadMessage>> bad(runs);
  for (std::size_t run = 0; run < runs; ++run) collectors.push_back(std::make_unique<Collector>(options));
  std::atomic<std::size_t> next{0};
  run_on_threads(static_cast<unsigned>(std::min<std::size_t>(options.threads, runs)), [&](unsigned) {
    MessageValues scratch;
    std::optional<BufrError> error;
    for (std::size_t run; (run = next.fetch_add(1, std::memory_order_relaxed)) < runs;) {
      Collector& collector = *collectors[run];
      for (std::size_t i = bounds[run]; i < bounds[run + 1]; ++i) {
        const MessageRef& ref = messages[i];
        std::shared_ptr<const TableSet> tables;
        if (!decode_one(sources,
                        ref,
                        chooser,
                        options.programs,
                        scratch,
                        tables,
                        error,
                        &Collector::wanted,
                        &collector)) {
          bad[run].push_back(BadMessage{ref.index, ref.offset, std::move(*error), ref.source});
          continue;
        }
        if (std::optional<BufrError> over = over_budget(scratch, ref.length, options.budget)) {
          bad[run].push_back(BadMessage{ref.index, ref.offset, std::move(*over), ref.source});
          continue;
        }
        collector.add(scratch, ref, tables);
      }
    }
  });
  // A key takes the type of the first message, in message order, whose tables define it.
  RowOutput out;
  std::vector<RowColumn::Type> types(options.keys.size(), RowColumn::Type::Double);
  for (std::size_t r = 0; r < options.keys.size(); ++r) {
    bool known = false;
    for (const auto& c : collectors) known = known || c->knows(r);
    if (!known) out.unknown.push_back(options.keys[r].column);
    for (const auto& c : collectors) {
      if (auto t = c->type(r)) {
        types[r] = *t;
        break;
      }
    }
  }
  for (std::size_t run = 0; run < runs; ++run) {
    Collector& c = *collectors[run];
    if (!c.finish(types)) {
      for (std::size_t r = 0; r < options.keys.size(); ++r) {
        if (c.type(r) && *c.type(r) != types[r]) out.mixed = options.keys[r].column;
      }
    }
    std::shared_ptr<RowBatch> batch = c.take();
    if (batch->rows > 0 || (run + 1 == runs && out.batches.empty())) out.batches.push_back(std::move(batch));
    for (BadMessage& m : bad[run]) out.bad.push_back(std::move(m));
  }
  return out;
}

}  // namespace quorvex
