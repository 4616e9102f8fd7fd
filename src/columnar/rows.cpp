#include "columnar/rows.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

#include "columnar/key_numbering.hpp"
#include "columnar/parallel.hpp"
#include "decode/decode_state.hpp"
#include "decode/skip_plan.hpp"
#include "decode/structure.hpp"
#include "message/descriptor.hpp"

namespace quorvex {

RowKey RowKey::parse(const std::string& column) {
  RowKey k{column, column, {}, 0};
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
  if (const std::size_t arrow = k.key.find("->"); arrow != std::string::npos) {
    k.attribute = k.key.substr(arrow + 2);
    k.key.resize(arrow);
  }
  return k;
}

std::string_view link_name(AttributeLink::Kind kind, const DecodedValue& v, const TableSet& tables) {
  const char* name = attribute_name(kind);
  return name != nullptr ? std::string_view(name) : value_key(v, tables);
}

namespace {

// The key whose table entry types an attribute column: the attribute's own for quality
// information, the element's for the values read through a bitmap.
const std::string& typing_key(const RowKey& k) {
  bool element_typed = k.attribute.empty();
  for (AttributeLink::Kind kind : {AttributeLink::Kind::Substituted,
                                   AttributeLink::Kind::Replaced,
                                   AttributeLink::Kind::FirstOrderStatistic}) {
    element_typed = element_typed || k.attribute == attribute_name(kind);
  }
  return element_typed ? k.key : k.attribute;
}

}  // namespace

ColumnSpec RowColumn::arrow_column() const {
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
  if (with_shape) c.push_back({"shape", "i", nullptr, {shape.data()}, nullptr, 0});
  for (const RowColumn& k : keys) c.push_back(k.arrow_column());
  return c;
}

bool RowFilter::matches(double number) const {
  if (range) return number >= low && number <= high;
  return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
}

bool RowFilter::matches(std::string_view text) const {
  return !range && std::find(texts.begin(), texts.end(), text) != texts.end();
}

std::string_view value_key(const DecodedValue& v, const TableSet& tables) {
  static const std::string text_key("text");
  if (v.name == &signify_character_name()) return text_key;
  if (v.role == ValueRole::Operator || v.role == ValueRole::AssociatedField) return {};
  const ElementDefinition* def = tables.find_element(v.descriptor);
  if (def == nullptr || &def->name != v.name) return {};
  return def->abbreviation;
}

namespace {

// Appends a text without the spaces and NULs that pad it to its width, as ecCodes gives it.
void append_text(RowColumn& c, std::string_view text) {
  const std::string_view t = without_padding(text);
  c.text.data.reserve(c.text_bytes + t.size());
  std::memcpy(c.text.data.data() + c.text_bytes, t.data(), t.size());
  c.text_bytes += t.size();
}

// A value of one of the requested keys, where the hierarchy puts it.
struct Entry {
  std::size_t order;   // where it stands in the sequence: an attribute right after its element
  std::size_t value;   // uncompressed: index of the record; compressed: of the column
  std::size_t subset;  // uncompressed: its subset
  std::uint32_t rank;  // its occurrence number
  std::int32_t name;   // index of its key among the requested keys' distinct keys
  std::int32_t level;
};

// A gathered value of the row being built; its value is made only for the rows kept.
struct Held {
  std::int32_t name;
  std::uint32_t rank;
  std::size_t value;  // as Entry::value
};

// Elements of classes 00 to 09.
constexpr std::uint32_t kCoordinatesBelow = 10000;

bool is_coordinate(const DecodedValue& v) {
  return v.role == ValueRole::Element && v.descriptor < kCoordinatesBelow;
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
      const std::string name = k.attribute.empty() ? k.key : k.key + "->" + k.attribute;
      auto [it, added] = names_.try_emplace(name, static_cast<std::int32_t>(distinct_.size()));
      if (added) distinct_.push_back(name);
      key_index_.emplace_back(wanted_key(k.key), wanted_key(typing_key(k)));
      attributes_ = attributes_ || !k.attribute.empty();
      request_name_.push_back(it->second);
      if (added) requests_of_name_.emplace_back();
      requests_of_name_[static_cast<std::size_t>(it->second)].push_back(request_name_.size() - 1);
      RowColumn& c = batch_->keys.emplace_back();
      c.name = k.column;
    }
    for (const std::vector<std::size_t>& requests : requests_of_name_) {
      const bool single = requests.size() == 1 && options.keys[requests.front()].rank == 0;
      only_request_.push_back(single ? static_cast<std::int32_t>(requests.front()) : -1);
    }
    typed_.assign(options.keys.size(), false);
    integral_.assign(options.keys.size(), true);
    known_.assign(options.keys.size(), false);
    held_at_.assign(distinct_.size(), -1);
    any_rank_.assign(distinct_.size(), false);
    for (std::size_t r = 0; r < options.keys.size(); ++r) {
      if (options.keys[r].rank == 0) any_rank_[static_cast<std::size_t>(request_name_[r])] = true;
    }
  }

  // `nesting`: the message's attribute links, recorded when attributes_wanted().
  void add(const MessageValues& m, const MessageRef& ref, const std::shared_ptr<const TableSet>& tables,
           const MessageStructure* nesting);
  bool attributes_wanted() const { return attributes_; }
  // The number of messages its run holds (they size the batch; see grow).
  void expect(std::size_t messages) { run_messages_ = messages; }
  // The elements of `tables` whose values the rows need (those of the requested keys), and
  // the runs of the others in `program`.
  static WantedRead wanted(void* self, const std::shared_ptr<const TableSet>& tables,
                           const std::shared_ptr<const TemplateProgram>& program) {
    auto* c = static_cast<Collector*>(self);
    c->learn_types(tables);
    return {&c->learnt_at_->wanted, c->learnt_at_->plans.get(program, c->learnt_at_->wanted)};
  }
  // The type each key's tables give it, if any met define it.
  std::optional<RowColumn::Type> type(std::size_t r) const {
    return typed_[r] ? std::optional(batch_->keys[r].type) : std::nullopt;
  }
  bool knows(std::size_t r) const { return known_[r]; }
  // The batch, its columns of the given types; false when a column holds text where numbers
  // are asked or the reverse.
  bool integral(std::size_t r) const { return integral_[r]; }
  bool finish(std::span<const RowColumn::Type> types, const std::vector<bool>& integral);
  std::shared_ptr<RowBatch> take() { return std::move(batch_); }

 private:
  void learn_types(const std::shared_ptr<const TableSet>& tables);
  struct KeyIds {
    std::int32_t key = -1;   // among all the keys met; -1: not a key
    std::int32_t name = -1;  // among the requested keys' distinct keys; -1: not requested
  };
  KeyIds ids_of(const DecodedValue& v, const TableSet& tables);
  KeyIds key_ids(const DecodedValue& v, const TableSet& tables);
  struct RecentIds {
    const std::string* name = nullptr;
    KeyIds ids;
  };
  static constexpr unsigned kRecentIdsBits = 8;
  std::array<RecentIds, std::size_t{1} << kRecentIdsBits> recent_ids_{};
  // The entries of one sequence of values (`at(i)` gives value i of n), the attributes among
  // them attached as `links` say.
  template <class At>
  void structure(std::size_t n, const TableSet& tables, bool subsets_restart,
                 std::span<const AttributeLink> links, std::span<const QualityKey> quality, At at);
  std::int32_t attribute_id(const DecodedValue& target, const TableSet& tables, std::string_view attribute);
  template <class ValueOf>
  void gather(const MessageRef& ref, std::size_t fixed_subset, ValueOf value_of);
  template <class ValueOf>
  void emit(const MessageRef& ref, std::size_t subset, const ValueOf& value_of);
  void grow(std::size_t rows);
  // Whether occurrence `rank` of the key of name id `name` is requested.
  bool wanted_rank(std::int32_t name, std::uint32_t rank) const {
    if (any_rank_[static_cast<std::size_t>(name)]) return true;
    for (std::size_t r : requests_of_name_[static_cast<std::size_t>(name)]) {
      if (options_.keys[r].rank == rank) return true;
    }
    return false;
  }
  // The held value of request `r`, if any (held names are distinct).
  const Held* held_for(std::size_t r) const {
    const std::uint32_t rank = options_.keys[r].rank;
    for (const Held& h : held_) {
      if (h.name == request_name_[r] && (rank == 0 || rank == h.rank)) return &h;
    }
    return nullptr;
  }
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
  // The keys of the elements the requests read, distinct, and by request the indices in it of
  // its key and of the key that types it.
  std::vector<std::string> wanted_keys_;
  std::vector<std::pair<std::size_t, std::size_t>> key_index_;
  std::size_t wanted_key(const std::string& key) {
    const auto at = std::find(wanted_keys_.begin(), wanted_keys_.end(), key);
    if (at != wanted_keys_.end()) return static_cast<std::size_t>(at - wanted_keys_.begin());
    wanted_keys_.push_back(key);
    return wanted_keys_.size() - 1;
  }
  bool attributes_ = false;                                     // some request is an attribute
  std::vector<const std::string*> key_names_;                   // by key id
  std::vector<std::pair<std::uint32_t, std::int32_t>> placed_;  // by value: its rank and level
  std::unordered_set<std::uint64_t> attached_;                  // element position, attribute name id
  std::vector<std::int32_t> request_name_;
  std::vector<std::vector<std::size_t>> requests_of_name_;  // by name id: the requests of that name
  std::vector<bool> any_rank_;                              // by name id: some request takes every rank
  std::vector<std::int32_t> only_request_;  // by name id: its one request, of every rank, or -1
  std::vector<bool> typed_, integral_, known_;
  // What the keys are in each table set met: their definitions, the elements to read.
  struct Learnt {
    std::shared_ptr<const TableSet> tables;  // held, so that its address is not reused
    std::vector<const ElementDefinition*> defs;
    WantedElements wanted;
    SkipPlans plans;
  };
  std::unordered_map<const TableSet*, Learnt> learnt_by_tables_;
  std::shared_ptr<const TableSet> learnt_;
  Learnt* learnt_at_ = nullptr;
  // Key ids by name address (the names of every table set met are held by learnt_by_tables_),
  // the keys met, and each key's occurrences in the sequence being structured.
  std::unordered_map<const std::string*, KeyIds> key_ids_;
  std::unordered_map<std::string, std::int32_t> all_keys_;
  // By key id, in the sequence being structured: its occurrences so far, whether it is a
  // coordinate, as its first value is (pdbufr decides by the key: a local element named like a
  // coordinate, such as 0-26-196 "hour" beside 0-04-004, is one too), and where it was last
  // opened among the open coordinates. Stale unless `sequence` is the current one.
  struct KeyCount {
    std::uint32_t sequence = 0;
    std::uint32_t rank = 0;
    std::uint32_t open = 0;
    bool coordinate = false;
  };
  std::vector<KeyCount> counts_;
  std::uint32_t sequence_ = 0;
  // The entries of the sequence being structured: the first entry_count_. The vector only
  // grows, before a sequence, to its bound (one per value, and one per attribute link), so
  // that the loop over the values writes them without a check.
  std::vector<Entry> entries_;
  std::size_t entry_count_ = 0;
  std::span<const Entry> entries() const { return {entries_.data(), entry_count_}; }
  std::vector<Held> held_;
  std::vector<std::int32_t> held_at_;  // by name id: its index in held_, or -1
  std::vector<std::int32_t> levels_;
  std::vector<std::pair<std::int32_t, std::int32_t>> coordinates_;  // open: key id, level
  const std::vector<std::string>* texts_ = nullptr;
  std::size_t capacity_ = 0;  // rows every column of the batch has room for
  // The messages of this collector's run, and those added so far; growth is bounded by this
  // many times the rows held.
  std::size_t run_messages_ = 0;
  std::size_t messages_ = 0;
  static constexpr std::size_t kMostRowsAhead = 64;
};

void Collector::learn_types(const std::shared_ptr<const TableSet>& tables) {
  if (tables.get() == learnt_.get()) return;
  learnt_ = tables;
  auto [it, added] = learnt_by_tables_.try_emplace(tables.get());
  Learnt& l = it->second;
  if (added) {  // once per table set of the call: messages often alternate between a few
    l.tables = tables;
    l.defs.assign(options_.keys.size(), nullptr);
    l.wanted.recorded_below = kCoordinatesBelow;  // the others place no row
    // By wanted key: the first element met of that key (the table's order decides between
    // elements that share one).
    std::vector<const ElementDefinition*> first(wanted_keys_.size(), nullptr);
    for (const auto& [code, def] : tables->elements()) {
      for (std::size_t k = 0; k < wanted_keys_.size(); ++k) {
        if (wanted_keys_[k] != def.abbreviation) continue;
        l.wanted.add(code);
        if (first[k] == nullptr) first[k] = &def;
        break;
      }
    }
    for (std::size_t r = 0; r < options_.keys.size(); ++r) {  // an attribute: of a key defined
      const auto [key, typing] = key_index_[r];
      if (first[key] != nullptr) l.defs[r] = first[typing];
    }
  }
  for (std::size_t r = 0; r < options_.keys.size(); ++r) {
    if (l.defs[r] == nullptr) continue;
    known_[r] = true;
    if (!typed_[r]) {
      RowColumn& c = batch_->keys[r];
      c.type = type_of(*l.defs[r]);
      typed_[r] = true;
      if (c.type == RowColumn::Type::Text) {
        c.text.offsets.reserve(capacity_ + 1);
      } else {
        c.doubles.reserve(capacity_);
      }
    }
  }
  learnt_at_ = &l;
}

// The levels of the hierarchy over every key of the sequence, and the entries of the
// requested ones.
template <class At>
void Collector::structure(std::size_t n, const TableSet& tables, bool subsets_restart,
                          std::span<const AttributeLink> links, std::span<const QualityKey> quality, At at) {
  if (attributes_)
    placed_.assign(n, {0, -1});
  else
    links = {};
  if (!attached_.empty()) attached_.clear();
  if (entries_.size() < n + links.size()) entries_.resize(n + links.size());
  entry_count_ = 0;
  std::size_t next_target = 0;
  bool attached = false;
  if (++sequence_ == 0) {  // the counter went round: no count may pass for current
    for (KeyCount& c : counts_) c = KeyCount{};
    sequence_ = 1;
  }
  std::vector<std::pair<std::int32_t, std::int32_t>>& coordinates = coordinates_;
  coordinates.clear();
  std::int32_t level = 1;  // below the subset number, the first coordinate of every subset
  std::size_t subset = 0;
  const std::string* last = nullptr;
  KeyIds ids;
  const auto count = [this](std::int32_t key) -> KeyCount& {
    KeyCount& c = counts_[static_cast<std::size_t>(key)];
    if (c.sequence != sequence_) c = KeyCount{.sequence = sequence_};
    ++c.rank;
    return c;
  };
  // A quality value named by the key of the element it qualifies is counted among that key's
  // occurrences; like every attribute, it never enters the rows.
  const auto count_quality = [&](const ElementDefinition& qualified) {
    const KeyIds q = ids_of(DecodedValue{.name = &qualified.name, .descriptor = qualified.code}, tables);
    if (q.key < 0) return;
    KeyCount& c = count(q.key);
    if (c.rank == 1) c.coordinate = false;
  };
  KeyNumbering numbering(quality);
  for (std::size_t i = 0; i < n; ++i) {
    const auto [v, s] = at(i);
    if (subsets_restart && s != subset) {
      numbering.finish([&](std::size_t, const ElementDefinition* q) { count_quality(*q); });
      subset = s;
      coordinates.clear();
      level = 1;
    }
    while (next_target < links.size() && links[next_target].value < i) ++next_target;
    if (next_target < links.size() && links[next_target].value == i &&
        links[next_target].kind != AttributeLink::Kind::Associated && links[next_target].target < i) {
      const AttributeLink& t = links[next_target++];
      const auto [rank, at_level] = placed_[t.target];
      const std::int32_t name =
          at_level < 0 ? -1 : attribute_id(at(t.target).first, tables, link_name(t.kind, v, tables));
      // An element has one attribute of each name: ecCodes gives the values of later quality
      // blocks that reuse the bitmap other keys.
      const bool first =
          name >= 0 && attached_.insert((std::uint64_t{t.target} << 20) | std::uint32_t(name)).second;
      for (std::size_t r = 0; first && r < options_.keys.size(); ++r) {
        if (request_name_[r] == name && (options_.keys[r].rank == 0 || options_.keys[r].rank == rank)) {
          entries_[entry_count_++] = Entry{t.target, i, s, rank, name, at_level};
          attached = true;
          break;
        }
      }
    }
    // Elements (a statistic is also a value of its own), factors and bitmap entries.
    // Inlined into the numbering: it runs once per value.
    const auto number = [&](std::size_t, const ElementDefinition* qualified) __attribute__((always_inline)) {
      if (qualified != nullptr) {
        count_quality(*qualified);
        return;
      }
      if (v.name != last) {  // runs of one element (replications, subsets) look up once
        last = v.name;
        ids = ids_of(v, tables);
      }
      if (ids.key < 0) return;
      KeyCount& c = count(ids.key);
      const std::uint32_t rank = c.rank;
      if (rank == 1) c.coordinate = is_coordinate(v);
      // A key is open at most once: its entry is where it was last opened, if still there.
      if (c.coordinate && c.open < coordinates.size() && coordinates[c.open].first == ids.key) {
        level = coordinates[c.open].second;
        coordinates.resize(c.open);
      }
      if (attributes_) placed_[i] = {rank, level};
      if (ids.name >= 0 && wanted_rank(ids.name, rank))
        entries_[entry_count_++] = Entry{i, i, s, rank, ids.name, level};
      if (c.coordinate) {
        c.open = static_cast<std::uint32_t>(coordinates.size());
        coordinates.emplace_back(ids.key, level++);
      }
    };
    numbering.next(i, v, number);
  }
  if (attached) {  // each attribute right after its element (which came first)
    std::stable_sort(entries_.begin(),
                     entries_.begin() + static_cast<std::ptrdiff_t>(entry_count_),
                     [](const Entry& a, const Entry& b) { return a.order < b.order; });
  }
}

// The name id of the request for the attribute `attribute` of the element value `target`.
std::int32_t Collector::attribute_id(const DecodedValue& target, const TableSet& tables,
                                     std::string_view attribute) {
  const std::string_view key = value_key(target, tables);
  if (key.empty() || attribute.empty()) return -1;
  std::string name;
  name.reserve(key.size() + attribute.size() + 2);
  name.append(key).append("->").append(attribute);
  auto found = names_.find(name);
  return found != names_.end() ? found->second : -1;
}

// The ids of a value's key: for counting (every key of the messages) and among the requested.
[[gnu::always_inline]] inline Collector::KeyIds Collector::ids_of(const DecodedValue& v,
                                                                  const TableSet& tables) {
  // A name's ids never change once known: the last ones met are kept by address in front of
  // the map, in sets of two (the one met last first), so that two names of one set do not
  // push each other out on every message.
  const auto address = reinterpret_cast<std::uintptr_t>(v.name);
  const std::size_t at = ((address * 0x9E3779B97F4A7C15u) >> (64 - kRecentIdsBits)) & ~std::size_t{1};
  RecentIds& first = recent_ids_[at];
  if (first.name == v.name && v.name != nullptr) return first.ids;
  RecentIds& second = recent_ids_[at + 1];
  if (second.name == v.name && v.name != nullptr) return second.ids;
  second = first;
  first = {v.name, key_ids(v, tables)};
  return first.ids;
}

[[gnu::noinline]] Collector::KeyIds Collector::key_ids(const DecodedValue& v, const TableSet& tables) {
  auto [it, added] = key_ids_.try_emplace(v.name);
  if (added) {
    const std::string_view key = value_key(v, tables);
    if (!key.empty()) {
      auto [k, new_key] =
          all_keys_.try_emplace(std::string(key), static_cast<std::int32_t>(all_keys_.size()));
      if (new_key) counts_.emplace_back();
      auto named = names_.find(k->first);
      it->second = KeyIds{k->second, named != names_.end() ? named->second : -1};
    }
  }
  return it->second;
}

// The rows of the entries, with value_of(entry.value) giving each entry's value.
template <class ValueOf>
void Collector::gather(const MessageRef& ref, std::size_t fixed_subset, ValueOf value_of) {
  for (const Held& h : held_) held_at_[static_cast<std::size_t>(h.name)] = -1;
  held_.clear();
  levels_.assign(1, 0);
  std::size_t subset = fixed_subset;
  const auto holds = [this](std::int32_t name) { return held_at_[static_cast<std::size_t>(name)] >= 0; };
  for (const Entry& e : entries()) {
    const bool replaces = e.level < levels_.back() || (e.level == levels_.back() && holds(e.name));
    if (replaces) emit(ref, subset, value_of);
    while (!held_.empty() && (e.level < levels_.back() || (e.level == levels_.back() && holds(e.name)))) {
      held_at_[static_cast<std::size_t>(held_.back().name)] = -1;
      held_.pop_back();
      levels_.pop_back();
    }
    if (const std::int32_t at = held_at_[static_cast<std::size_t>(e.name)]; at >= 0) {
      Held& h = held_[static_cast<std::size_t>(at)];  // held at an outer level: replaced where it stands
      h.rank = e.rank;
      h.value = e.value;
    } else {
      held_at_[static_cast<std::size_t>(e.name)] = static_cast<std::int32_t>(held_.size());
      held_.push_back(Held{e.name, e.rank, e.value});
    }
    levels_.push_back(e.level);
    if (fixed_subset == SIZE_MAX) subset = e.subset;
  }
  emit(ref, subset, value_of);
}

template <class ValueOf>
void Collector::emit(const MessageRef& ref, std::size_t subset, const ValueOf& value_of) {
  // The filters first: where they are selective, most rows end here.
  for (const RowFilter& f : options_.filters) {
    const Held* h = held_for(f.key);
    if (h == nullptr || !passes(f, batch_->keys[f.key].type, value_of(h->value))) return;
  }
  const std::size_t n = options_.keys.size();
  const Held* found[64];
  std::vector<const Held*> many;
  const Held** slot = found;
  if (n > 64) {
    many.resize(n);
    slot = many.data();
  }
  bool any = false;
  std::fill(slot, slot + n, nullptr);
  for (const Held& h : held_) {  // of distinct names
    if (const std::int32_t only = only_request_[static_cast<std::size_t>(h.name)]; only >= 0) {
      slot[only] = &h;
      any = true;
      continue;
    }
    for (std::size_t r : requests_of_name_[static_cast<std::size_t>(h.name)]) {
      if (options_.keys[r].rank == 0 || options_.keys[r].rank == h.rank) {
        slot[r] = &h;
        any = true;
      }
    }
  }
  if (!any) return;
  for (std::size_t r : options_.required)
    if (slot[r] == nullptr) return;
  RowBatch& b = *batch_;
  const auto row = static_cast<std::size_t>(b.rows);
  if (row >= capacity_) grow(row + 1);
  b.message[row] = ref.index;
  b.subset[row] = static_cast<std::int32_t>(subset + 1);
  for (std::size_t r = 0; r < n; ++r) {
    RowColumn& c = b.keys[r];
    const Held* h = slot[r];
    if (c.type == RowColumn::Type::Text) {
      // Rows before the column was typed need no offset: no text was written before them.
      c.text.offsets[row] = static_cast<std::int32_t>(c.text_bytes);
      if (h == nullptr) continue;
      const DecodedValue& v = value_of(h->value);
      if (!v.has_text()) continue;
      append_text(c, (*texts_)[v.text_index]);
    } else {
      if (h == nullptr) continue;
      const DecodedValue& v = value_of(h->value);
      if (!v.has_value() || v.has_text()) continue;
      const double x = v.raw_value;
      c.doubles[row] = x;
      // Whole and within what a double holds exactly (false for NaN and infinities too).
      if (!(std::fabs(x) <= 9.0e15 && static_cast<double>(static_cast<std::int64_t>(x)) == x))
        integral_[r] = false;
    }
    c.valid.bits[row >> 3] |= static_cast<std::uint8_t>(1u << (row & 7));
    ++c.present;
  }
  b.rows = static_cast<std::int64_t>(row + 1);
}

// Room for at least `rows` rows in every column of the batch: grown geometrically, or at once
// to the rows that the run's messages would give at the rate of those gathered so far (most
// files give as many rows per message all along), within a bound of the rows held.
void Collector::grow(std::size_t rows) {
  std::size_t expected = 0;
  if (messages_ > 0 && run_messages_ > messages_) {
    expected = std::min(rows / messages_ * run_messages_ + (rows % messages_) * run_messages_ / messages_,
                        kMostRowsAhead * rows);
    expected += expected / 16;
  }
  capacity_ = std::max({rows, 2 * capacity_, std::size_t{256}, expected});
  RowBatch& b = *batch_;
  b.message.reserve(capacity_);
  b.subset.reserve(capacity_);
  for (RowColumn& c : b.keys) {
    c.valid.reserve(capacity_);
    if (c.type == RowColumn::Type::Text) {
      c.text.offsets.reserve(capacity_ + 1);
    } else {
      c.doubles.reserve(capacity_);
    }
  }
}

void Collector::add(const MessageValues& m, const MessageRef& ref,
                    const std::shared_ptr<const TableSet>& tables, const MessageStructure* nesting) {
  const std::span<const AttributeLink> links = nesting != nullptr
                                                   ? std::span<const AttributeLink>(nesting->attributes)
                                                   : std::span<const AttributeLink>();
  learn_types(tables);
  ++messages_;
  if (m.compressed) {
    const CompressedValues& c = m.columns;
    texts_ = &c.texts;
    structure(c.columns.size(), *tables, false, links, c.quality_keys, [&c](std::size_t i) {
      return std::pair<DecodedValue, std::size_t>(c.columns[i].fixed, 0);
    });
    for (std::size_t s = 0; s < c.subsets; ++s) {
      gather(ref, s, [&c, s](std::size_t i) { return c.value_at(c.columns[i], s); });
    }
    return;
  }
  const DecodeResult& r = m.records;
  texts_ = &r.texts;
  std::size_t s = 0;
  // Where the next subset starts (values are asked for in order, but for an attribute's
  // element, which comes before it in the same subset).
  std::size_t next = r.subset_starts.size() > 1 ? r.subset_starts[1] : SIZE_MAX;
  structure(r.values.size(), *tables, true, links, r.quality_keys, [&r, &s, &next](std::size_t i) {
    while (i >= next) next = ++s + 1 < r.subset_starts.size() ? r.subset_starts[s + 1] : SIZE_MAX;
    return std::pair<const DecodedValue&, std::size_t>(r.values[i], s);
  });
  gather(ref, SIZE_MAX, [&r](std::size_t i) -> const DecodedValue& { return r.values[i]; });
}

// A column of `rows` rows as exported: validity and buffers reserved to the end, typed as
// `type` (integers only when every value was whole). False when the column holds text and
// `type` is a number, or the reverse.
bool finish_column(RowColumn& c, std::size_t rows, RowColumn::Type type, bool integral) {
  c.valid.reserve(rows);
  c.valid.null_count = static_cast<std::int64_t>(rows) - c.present;
  c.doubles.reserve(rows);
  c.text.data.reserve(c.text_bytes);
  const bool same = c.type == type ||
                    !(c.present > 0 && (c.type == RowColumn::Type::Text || type == RowColumn::Type::Text));
  if (same) c.type = type;
  // Offsets unwritten are zero: a column gets text only once typed so.
  if (c.type == RowColumn::Type::Text || !same) {
    c.text.offsets.reserve(rows + 1);
    c.text.offsets[rows] = static_cast<std::int32_t>(c.text_bytes);
  }
  if (!same) return false;
  if (c.type == RowColumn::Type::Int) {
    if (!integral) {
      c.type = RowColumn::Type::Double;  // an operator gave the key decimals
      return true;
    }
    c.ints.reserve(rows);
    for (std::size_t i = 0; i < rows; ++i) c.ints[i] = static_cast<std::int64_t>(c.doubles[i]);
    c.doubles = Buffer<double>();  // the numbers live on as ints only
  }
  return true;
}

void finish_rows(RowBatch& b) {
  const auto rows = static_cast<std::size_t>(b.rows);
  b.message.reserve(rows);
  b.subset.reserve(rows);
}

bool Collector::finish(std::span<const RowColumn::Type> types, const std::vector<bool>& integral) {
  finish_rows(*batch_);
  bool same = true;
  for (std::size_t r = 0; r < batch_->keys.size(); ++r)
    same =
        finish_column(batch_->keys[r], static_cast<std::size_t>(batch_->rows), types[r], integral[r]) && same;
  return same;
}

// The type of a column of the key of `v`: of its element's table entry, text for 2-05 text.
RowColumn::Type column_type(const DecodedValue& v, const TableSet& tables) {
  if (v.name == &signify_character_name()) return RowColumn::Type::Text;
  const ElementDefinition* def = tables.find_element(v.descriptor);
  return def != nullptr ? type_of(*def) : RowColumn::Type::Double;
}

// One row per subset, every element a column "#n#key" (see RowOptions::flat). Values are
// written into their columns as they are met; a column is padded with nulls up to the row
// it is written at, and to the end when the run is finished.
class FlatCollector {
 public:
  explicit FlatCollector(const RowOptions& options)
      : options_(options), batch_(std::make_shared<RowBatch>()), known_(options.keys.size(), false) {}

  void add(const MessageValues& m, const MessageRef& ref, const std::shared_ptr<const TableSet>& tables);
  bool knows(std::size_t r) const { return known_[r]; }
  // A key whose values are text in some table sets met and numbers in others, if any.
  const std::string& mixed() const { return mixed_; }

  struct Column {
    std::string name;
    RowColumn::Type type = RowColumn::Type::Double;
    bool integral = true;
  };
  // The columns of this run, in the order they were met.
  std::vector<Column> columns() const {
    std::vector<Column> out;
    out.reserve(columns_.size());
    for (const Slot& s : columns_) out.push_back(Column{s.out.name, s.out.type, s.integral});
    return out;
  }
  // The batch with the columns of `all` in that order (those this run never met are null);
  // `index` maps a column's name to its place in `all`. False as Collector::finish.
  std::size_t rows() const { return static_cast<std::size_t>(batch_->rows); }
  // Copies the rows into `out` from row `row0` on: its columns those of the output
  // (`index` maps a name to its place), reserved and typed; `shapes` numbers the shapes of the
  // rows across the runs, `filled` the rows of each text column whose offsets are written.
  void merge_into(RowBatch& out, std::size_t row0, const std::unordered_map<std::string, std::size_t>& index,
                  std::map<std::vector<std::int32_t>, std::int32_t>& shapes,
                  std::vector<std::size_t>& filled);
  std::shared_ptr<RowBatch> take() { return std::move(batch_); }

 private:
  struct Slot {
    RowColumn out;
    std::size_t filled = 0;  // rows written or padded
    bool integral = true;
  };
  std::int32_t key_id(const DecodedValue& v, const TableSet& tables);
  // The key of an attribute of `key`'s elements ("key->associatedField", ...), made when first met.
  std::int32_t attribute_key(std::int32_t key, std::size_t attribute);
  std::int32_t column_of(std::int32_t key, std::uint32_t rank);
  // visit(subset, value index, key id, rank) for every value that is a column: each value
  // of uncompressed data (its subset given), each column of compressed data (subset 0).
  template <class Visit>
  void each_key(const MessageValues& m, const TableSet& tables, Visit visit);
  bool holds_required(const MessageValues& m, const TableSet& tables);
  void learn(const std::shared_ptr<const TableSet>& tables);
  void put(Slot& c, std::size_t row, const DecodedValue& v, const std::vector<std::string>& texts);

  const RowOptions& options_;
  std::shared_ptr<RowBatch> batch_;
  std::vector<bool> known_;
  std::string mixed_;
  // The table sets met (held, so that the addresses of their names are not reused).
  std::unordered_map<const TableSet*, std::shared_ptr<const TableSet>> held_;
  std::unordered_map<const std::string*, std::int32_t> key_ids_;  // by name address
  std::unordered_map<std::string, std::int32_t> by_key_;
  std::vector<std::string_view> keys_;                       // by key id
  std::vector<RowColumn::Type> key_types_;                   // by key id
  std::vector<std::vector<std::int32_t>> by_rank_;           // by key id: the column of rank r + 1
  std::vector<std::uint32_t> ranks_;                         // by key id: occurrences so far
  std::vector<std::int32_t> counted_;                        // the key ids counted since the last reset
  std::vector<std::array<std::int32_t, 2>> attribute_keys_;  // by key id: its attribute keys' ids
  std::vector<Slot> columns_;
  std::vector<std::pair<std::size_t, std::int32_t>> plan_;  // compressed: column, its slot
  std::vector<std::int32_t> row_slots_;                     // the slots of the row being written
  std::map<std::vector<std::int32_t>, std::int32_t> shape_ids_;
  std::vector<const std::vector<std::int32_t>*> shapes_;  // by shape id: its slots

  std::int32_t shape_id(const std::vector<std::int32_t>& slots) {
    auto [it, added] = shape_ids_.try_emplace(slots, static_cast<std::int32_t>(shapes_.size()));
    if (added) shapes_.push_back(&it->first);
    return it->second;
  }
  void set_shape(std::size_t row, std::int32_t id) {
    batch_->shape.reserve(row + 1);
    batch_->shape[row] = id;
  }
};

std::int32_t FlatCollector::key_id(const DecodedValue& v, const TableSet& tables) {
  auto [it, added] = key_ids_.try_emplace(v.name, -1);
  if (added) {
    const std::string_view key = value_key(v, tables);
    if (!key.empty()) {
      auto [k, new_key] = by_key_.try_emplace(std::string(key), static_cast<std::int32_t>(keys_.size()));
      if (new_key) {
        keys_.push_back(k->first);
        key_types_.push_back(column_type(v, tables));
        by_rank_.emplace_back();
        ranks_.push_back(0);
      }
      it->second = k->second;
      const bool text = column_type(v, tables) == RowColumn::Type::Text;
      if (text != (key_types_[static_cast<std::size_t>(k->second)] == RowColumn::Type::Text))
        mixed_ = k->first;
    }
  }
  return it->second;
}

// The attributes an element carries in a flat row, named as ecCodes names them: the associated
// field before it (2-04) and that field's significance (the 0-31-021 in force).
constexpr std::array<std::string_view, 2> kElementAttributes = {
    "->associatedField", "->associatedField->associatedFieldSignificance"};

std::int32_t FlatCollector::attribute_key(std::int32_t key, std::size_t attribute) {
  const auto k = static_cast<std::size_t>(key);
  if (attribute_keys_.size() <= k) attribute_keys_.resize(keys_.size(), {-1, -1});
  std::int32_t& id = attribute_keys_[k][attribute];
  if (id < 0) {
    std::string name = std::string(keys_[k]).append(kElementAttributes[attribute]);
    auto [it, added] = by_key_.try_emplace(std::move(name), static_cast<std::int32_t>(keys_.size()));
    if (added) {
      keys_.push_back(it->first);
      key_types_.push_back(RowColumn::Type::Double);
      by_rank_.emplace_back();
      ranks_.push_back(0);
    }
    id = it->second;
  }
  return id;
}

std::int32_t FlatCollector::column_of(std::int32_t key, std::uint32_t rank) {
  std::vector<std::int32_t>& ranks = by_rank_[static_cast<std::size_t>(key)];
  if (rank > ranks.size()) ranks.resize(rank, -1);
  std::int32_t& slot = ranks[rank - 1];
  if (slot < 0) {
    slot = static_cast<std::int32_t>(columns_.size());
    Slot& c = columns_.emplace_back();
    const std::string_view name = keys_[static_cast<std::size_t>(key)];
    c.out.name.reserve(name.size() + 12);
    c.out.name.append(1, '#').append(std::to_string(rank)).append(1, '#').append(name);
    c.out.type = key_types_[static_cast<std::size_t>(key)];
  }
  return slot;
}

template <class Visit>
void FlatCollector::each_key(const MessageValues& m, const TableSet& tables, Visit visit) {
  const auto count = [this](std::int32_t key) {
    const auto k = static_cast<std::size_t>(key);
    if (ranks_[k] == 0) counted_.push_back(key);
    return ++ranks_[k];
  };
  const auto reset = [this] {
    for (std::int32_t id : counted_) ranks_[static_cast<std::size_t>(id)] = 0;
    counted_.clear();
  };
  reset();
  const std::string* last = nullptr;
  std::int32_t key = -1;
  std::size_t subset = 0;
  // The associated field met last and the significance in force (values' indices): the field
  // is an attribute of the element right after it, numbered as that element.
  constexpr std::size_t kNone = ~std::size_t{0};
  std::size_t associated = kNone;
  std::size_t significance = kNone;
  const auto attributes = [&](std::size_t i, const DecodedValue& v) {
    if (v.role == ValueRole::AssociatedField) {
      associated = i;
    } else if (v.descriptor == kAssociatedFieldSignificance && v.role == ValueRole::Attribute) {
      significance = i;
    }
  };
  const auto element = [&](std::size_t i, std::int32_t k) {
    const std::uint32_t rank = count(k);
    visit(subset, i, k, rank);
    if (associated == kNone || associated + 1 != i) return;
    visit(subset, associated, attribute_key(k, 0), rank);
    if (significance != kNone) visit(subset, significance, attribute_key(k, 1), rank);
  };
  // Value i, given now, numbered under its own key or, for a quality value, under that of
  // the element it qualifies. Only elements are columns: replication factors and bitmap
  // entries are left out, and so is a quality value that qualifies one (of class 31).
  const auto number = [&](std::size_t i, const DecodedValue& v, const ElementDefinition* qualified) {
    if (qualified != nullptr) {
      if (split_code(qualified->code).x == 31) return;
      const std::int32_t k =
          key_id(DecodedValue{.name = &qualified->name, .descriptor = qualified->code}, tables);
      if (k >= 0) visit(subset, i, k, count(k));
      return;
    }
    if (v.role != ValueRole::Element) return;
    if (v.name != last) {  // runs of one element (replications) look up once
      last = v.name;
      key = key_id(v, tables);
    }
    if (key >= 0) element(i, key);
  };
  const auto held = [&](std::size_t i, const ElementDefinition* qualified) {
    number(i, DecodedValue{}, qualified);
  };
  if (m.compressed) {
    const CompressedValues& c = m.columns;
    KeyNumbering numbering(c.quality_keys);
    for (std::size_t i = 0; i < c.columns.size(); ++i) {
      const DecodedValue& v = c.columns[i].fixed;
      attributes(i, v);
      numbering.next(i, v, [&](std::size_t j, const ElementDefinition* q) { number(j, v, q); });
    }
    numbering.finish(held);
    return;
  }
  const DecodeResult& r = m.records;
  KeyNumbering numbering(r.quality_keys);
  for (std::size_t i = 0; i < r.values.size(); ++i) {
    if (subset + 1 < r.subset_starts.size() && r.subset_starts[subset + 1] <= i) {
      numbering.finish(held);
      while (subset + 1 < r.subset_starts.size() && r.subset_starts[subset + 1] <= i) ++subset;
      reset();
      associated = significance = kNone;
    }
    const DecodedValue& v = r.values[i];
    attributes(i, v);
    numbering.next(i, v, [&](std::size_t j, const ElementDefinition* q) { number(j, v, q); });
  }
  numbering.finish(held);
}

// Whether the message holds every key of options_.keys (a plain one: any occurrence).
bool FlatCollector::holds_required(const MessageValues& m, const TableSet& tables) {
  if (options_.keys.empty()) return true;
  std::vector<std::uint32_t> most(keys_.size(), 0);  // by key id: the highest rank met
  each_key(m, tables, [&most](std::size_t, std::size_t, std::int32_t key, std::uint32_t rank) {
    const auto k = static_cast<std::size_t>(key);
    if (k >= most.size()) most.resize(k + 1, 0);
    most[k] = std::max(most[k], rank);
  });
  for (const RowKey& k : options_.keys) {
    auto found = by_key_.find(k.key);
    if (found == by_key_.end()) return false;
    const auto id = static_cast<std::size_t>(found->second);
    if (id >= most.size() || most[id] < std::max<std::uint32_t>(k.rank, 1)) return false;
  }
  return true;
}

// Notes which required keys the tables define, once per table set.
void FlatCollector::learn(const std::shared_ptr<const TableSet>& tables) {
  if (!held_.try_emplace(tables.get(), tables).second || options_.keys.empty()) return;
  for (const auto& [code, def] : tables->elements()) {
    for (std::size_t r = 0; r < options_.keys.size(); ++r)
      known_[r] = known_[r] || options_.keys[r].key == def.abbreviation;
  }
}

void FlatCollector::put(Slot& c, std::size_t row, const DecodedValue& v,
                        const std::vector<std::string>& texts) {
  RowColumn& o = c.out;
  o.valid.reserve(row + 1);
  bool present = false;
  if (o.type == RowColumn::Type::Text) {
    o.text.offsets.reserve(row + 2);
    for (std::size_t r = c.filled; r <= row; ++r) o.text.offsets[r] = static_cast<std::int32_t>(o.text_bytes);
    if (v.has_text()) {
      append_text(o, texts[v.text_index]);
      present = true;
    }
  } else if (v.has_value() && !v.has_text()) {
    o.doubles.reserve(row + 1);
    o.doubles[row] = v.raw_value;
    if (v.raw_value != std::floor(v.raw_value) || std::fabs(v.raw_value) > 9.0e15) c.integral = false;
    present = true;
  }
  c.filled = row + 1;
  if (present) {
    o.valid.bits[row >> 3] |= static_cast<std::uint8_t>(1u << (row & 7));
    ++o.present;
  }
}

void FlatCollector::add(const MessageValues& m, const MessageRef& ref,
                        const std::shared_ptr<const TableSet>& tables) {
  learn(tables);
  if (!holds_required(m, *tables)) return;
  RowBatch& b = *batch_;
  const auto row0 = static_cast<std::size_t>(b.rows);
  const std::size_t subsets = m.compressed ? m.columns.subsets : m.records.subset_starts.size();
  b.message.reserve(row0 + subsets);
  b.subset.reserve(row0 + subsets);
  for (std::size_t s = 0; s < subsets; ++s) {
    b.message[row0 + s] = ref.index;
    b.subset[row0 + s] = static_cast<std::int32_t>(s + 1);
  }
  b.rows = static_cast<std::int64_t>(row0 + subsets);
  if (!m.compressed) {
    const DecodeResult& r = m.records;
    std::size_t subset = 0;
    row_slots_.clear();
    each_key(m, *tables, [&](std::size_t s, std::size_t i, std::int32_t key, std::uint32_t rank) {
      for (; subset < s; ++subset, row_slots_.clear()) set_shape(row0 + subset, shape_id(row_slots_));
      const std::int32_t slot = column_of(key, rank);
      row_slots_.push_back(slot);
      put(columns_[static_cast<std::size_t>(slot)], row0 + s, r.values[i], r.texts);
    });
    for (; subset < subsets; ++subset, row_slots_.clear()) set_shape(row0 + subset, shape_id(row_slots_));
    return;
  }
  const CompressedValues& c = m.columns;
  plan_.clear();
  row_slots_.clear();
  each_key(m, *tables, [&](std::size_t, std::size_t i, std::int32_t key, std::uint32_t rank) {
    plan_.emplace_back(i, column_of(key, rank));
    row_slots_.push_back(plan_.back().second);
  });
  const std::int32_t shape = shape_id(row_slots_);
  for (std::size_t s = 0; s < subsets; ++s) {
    set_shape(row0 + s, shape);
    for (const auto& [i, slot] : plan_)
      put(columns_[static_cast<std::size_t>(slot)], row0 + s, c.value_at(c.columns[i], s), c.texts);
  }
}

void FlatCollector::merge_into(RowBatch& out, std::size_t row0,
                               const std::unordered_map<std::string, std::size_t>& index,
                               std::map<std::vector<std::int32_t>, std::int32_t>& shapes,
                               std::vector<std::size_t>& filled) {
  const RowBatch& b = *batch_;
  const auto rows = static_cast<std::size_t>(b.rows);
  // The rows' shapes as sets of the columns of the output, numbered across the runs.
  std::vector<std::int32_t> global(shapes_.size());
  for (std::size_t id = 0; id < shapes_.size(); ++id) {
    std::vector<std::int32_t> columns;
    for (std::int32_t slot : *shapes_[id])
      columns.push_back(
          static_cast<std::int32_t>(index.at(columns_[static_cast<std::size_t>(slot)].out.name)));
    global[id] =
        shapes.try_emplace(std::move(columns), static_cast<std::int32_t>(shapes.size())).first->second;
  }
  for (std::size_t r = 0; r < rows; ++r) {
    out.message[row0 + r] = b.message[r];
    out.subset[row0 + r] = b.subset[r];
    out.shape[row0 + r] = global[static_cast<std::size_t>(b.shape[r])];
  }
  const auto present = [](const RowColumn& c, std::size_t i) {
    return ((c.valid.bits[i >> 3] >> (i & 7)) & 1) != 0;
  };
  for (const Slot& s : columns_) {
    const std::size_t at = index.at(s.out.name);
    const RowColumn& from = s.out;
    RowColumn& to = out.keys[at];
    if (to.type == RowColumn::Type::Text) {
      for (std::size_t r = filled[at]; r < row0; ++r)
        to.text.offsets[r] = static_cast<std::int32_t>(to.text_bytes);
    }
    for (std::size_t i = 0; i < s.filled; ++i) {
      const std::size_t row = row0 + i;
      if (to.type == RowColumn::Type::Text) to.text.offsets[row] = static_cast<std::int32_t>(to.text_bytes);
      if (!present(from, i)) continue;
      if (to.type == RowColumn::Type::Text) {
        const auto begin = static_cast<std::size_t>(from.text.offsets[i]);
        const std::size_t end =
            i + 1 < s.filled ? static_cast<std::size_t>(from.text.offsets[i + 1]) : from.text_bytes;
        to.text.data.reserve(to.text_bytes + (end - begin));
        std::memcpy(to.text.data.data() + to.text_bytes, from.text.data.data() + begin, end - begin);
        to.text_bytes += end - begin;
      } else if (from.type != RowColumn::Type::Text) {
        to.doubles[row] = from.doubles[i];
      } else {
        continue;  // text where numbers are asked: found as mixed
      }
      to.valid.bits[row >> 3] |= static_cast<std::uint8_t>(1u << (row & 7));
      ++to.present;
    }
    filled[at] = row0 + s.filled;
  }
  columns_.clear();
}

// Decodes the messages on the threads, each run of messages into a collector of its own
// (returned, by run); the messages that do not decode or are over the budget into `bad`,
// by run.
template <class C>
std::vector<std::unique_ptr<C>> collect_runs(std::span<const Bytes> sources,
                                             std::span<const MessageRef> messages, TableChooser& chooser,
                                             const RowOptions& options,
                                             const std::vector<std::size_t>& bounds, unsigned threads,
                                             std::vector<std::vector<BadMessage>>& bad) {
  const std::size_t runs = bounds.size() - 1;
  std::vector<std::unique_ptr<C>> collectors;
  for (std::size_t run = 0; run < runs; ++run) collectors.push_back(std::make_unique<C>(options));
  bad.assign(runs, {});
  std::atomic<std::size_t> next{0};
  run_on_threads(static_cast<unsigned>(std::min<std::size_t>(threads, runs)), [&](unsigned) {
    MessageValues scratch;
    MessageStructure structure;  // recorded only for attributes: reading values does not pay for it
    DecodeMemo memo;
    memo.parse.typical_date = true;
    std::shared_ptr<const TableSet> tables;
    std::optional<BufrError> error;
    for (std::size_t run; (run = next.fetch_add(1, std::memory_order_relaxed)) < runs;) {
      C& collector = *collectors[run];
      if constexpr (std::is_same_v<C, Collector>) collector.expect(bounds[run + 1] - bounds[run]);
      for (std::size_t i = bounds[run]; i < bounds[run + 1]; ++i) {
        const MessageRef& ref = messages[i];
        bool decoded = false;
        if constexpr (std::is_same_v<C, Collector>) {
          decoded = decode_one(sources,
                               ref,
                               chooser,
                               options.programs,
                               scratch,
                               memo,
                               tables,
                               error,
                               &Collector::wanted,
                               &collector,
                               collector.attributes_wanted() ? &structure : nullptr);
        } else {
          decoded = decode_one(sources, ref, chooser, options.programs, scratch, memo, tables, error);
        }
        if (!decoded) {
          bad[run].push_back(BadMessage{ref.index, ref.offset, std::move(*error), ref.source});
          continue;
        }
        if (std::optional<BufrError> over = over_budget(scratch, ref.length, options.budget)) {
          bad[run].push_back(BadMessage{ref.index, ref.offset, std::move(*over), ref.source});
          continue;
        }
        if constexpr (std::is_same_v<C, Collector>) {
          collector.add(scratch, ref, tables, collector.attributes_wanted() ? &structure : nullptr);
        } else {
          collector.add(scratch, ref, tables);
        }
      }
    }
  });
  return collectors;
}

// The batches of the runs (empty ones dropped, at least one kept) and their bad messages,
// in message order.
template <class C>
void take_runs(std::vector<std::unique_ptr<C>>& collectors, std::vector<std::vector<BadMessage>>& bad,
               RowOutput& out) {
  for (std::size_t run = 0; run < collectors.size(); ++run) {
    std::shared_ptr<RowBatch> batch = collectors[run]->take();
    if (batch->rows > 0 || (run + 1 == collectors.size() && out.batches.empty()))
      out.batches.push_back(std::move(batch));
    for (BadMessage& m : bad[run]) out.bad.push_back(std::move(m));
  }
}

template <class C>
void note_unknown(const std::vector<std::unique_ptr<C>>& collectors, const RowOptions& options,
                  RowOutput& out) {
  for (std::size_t r = 0; r < options.keys.size(); ++r) {
    bool known = false;
    for (const auto& c : collectors) known = known || c->knows(r);
    if (!known) out.unknown.push_back(options.keys[r].column);
  }
}

RowOutput collect_flat(std::span<const Bytes> sources, std::span<const MessageRef> messages,
                       TableChooser& chooser, const RowOptions& options,
                       const std::vector<std::size_t>& bounds, unsigned threads) {
  std::vector<std::vector<BadMessage>> bad;
  std::vector<std::unique_ptr<FlatCollector>> collectors =
      collect_runs<FlatCollector>(sources, messages, chooser, options, bounds, threads, bad);
  RowOutput out;
  note_unknown(collectors, options, out);
  // The columns in the order they are first met, in message order; a column takes the type
  // of its first run, and is integer only when it is in every run.
  std::vector<FlatCollector::Column> all;
  std::unordered_map<std::string, std::size_t> index;
  for (const auto& c : collectors) {
    for (FlatCollector::Column& column : c->columns()) {
      auto [it, added] = index.try_emplace(column.name, all.size());
      if (added) {
        all.push_back(std::move(column));
      } else {
        FlatCollector::Column& first = all[it->second];
        if ((first.type == RowColumn::Type::Text) != (column.type == RowColumn::Type::Text))
          out.mixed = first.name;
        if (column.type == RowColumn::Type::Double) first.type = RowColumn::Type::Double;
        first.integral = first.integral && column.integral;
      }
    }
  }
  // One batch: the runs' rows copied into columns of the whole height (a batch per run would
  // hold every column of the output, however few of them its rows have).
  auto merged = std::make_shared<RowBatch>();
  std::size_t total = 0;
  for (const auto& c : collectors) total += c->rows();
  merged->rows = static_cast<std::int64_t>(total);
  merged->with_shape = true;
  merged->message.reserve(total);
  merged->subset.reserve(total);
  merged->shape.reserve(total);
  merged->keys.resize(all.size());
  for (std::size_t at = 0; at < all.size(); ++at) {
    RowColumn& c = merged->keys[at];
    c.name = all[at].name;
    c.type = all[at].type;
    c.valid.reserve(total);
    if (c.type == RowColumn::Type::Text) {
      c.text.offsets.reserve(total + 1);
    } else {
      c.doubles.reserve(total);
    }
  }
  std::map<std::vector<std::int32_t>, std::int32_t> shapes;
  std::vector<std::size_t> filled(all.size(), 0);
  std::size_t row0 = 0;
  for (const auto& c : collectors) {
    if (!c->mixed().empty()) out.mixed = c->mixed();
    const std::size_t rows = c->rows();
    c->merge_into(*merged, row0, index, shapes, filled);
    row0 += rows;
  }
  for (std::size_t at = 0; at < all.size(); ++at) {
    RowColumn& c = merged->keys[at];
    if (c.type == RowColumn::Type::Text) {
      for (std::size_t r = filled[at]; r < total; ++r)
        c.text.offsets[r] = static_cast<std::int32_t>(c.text_bytes);
    }
    (void)finish_column(c, total, all[at].type, all[at].integral);  // text against numbers is found above
  }
  out.shapes.resize(shapes.size());
  for (auto& [columns, id] : shapes) out.shapes[static_cast<std::size_t>(id)] = columns;
  out.batches.push_back(std::move(merged));
  for (auto& run : bad)
    for (BadMessage& m : run) out.bad.push_back(std::move(m));
  return out;
}

// The threads worth taking for `messages` (see RowOptions::octets_per_thread).
unsigned threads_for(std::span<const MessageRef> messages, const RowOptions& options) {
  const unsigned asked = std::max(1u, options.threads);
  if (options.octets_per_thread == 0) return asked;
  std::size_t octets = 0;
  for (const MessageRef& m : messages) octets += m.length;
  return static_cast<unsigned>(std::clamp<std::size_t>(octets / options.octets_per_thread, 1, asked));
}

}  // namespace

RowOutput collect_rows(std::span<const Bytes> sources, std::span<const MessageRef> messages,
                       TableChooser& chooser, const RowOptions& options) {
  const unsigned threads = threads_for(messages, options);
  const std::vector<std::size_t> bounds = run_bounds(messages, threads);
  if (options.flat) return collect_flat(sources, messages, chooser, options, bounds, threads);
  std::vector<std::vector<BadMessage>> bad;
  std::vector<std::unique_ptr<Collector>> collectors =
      collect_runs<Collector>(sources, messages, chooser, options, bounds, threads, bad);
  // A key takes the type of the first message, in message order, whose tables define it, and
  // is integer only when every value of every run is whole.
  RowOutput out;
  note_unknown(collectors, options, out);
  std::vector<RowColumn::Type> types(options.keys.size(), RowColumn::Type::Double);
  std::vector<bool> integral(options.keys.size(), true);
  for (std::size_t r = 0; r < options.keys.size(); ++r) {
    for (const auto& c : collectors) {
      if (auto t = c->type(r)) {
        types[r] = *t;
        break;
      }
    }
    for (const auto& c : collectors) integral[r] = integral[r] && c->integral(r);
  }
  for (const auto& c : collectors) {
    if (!c->finish(types, integral)) {
      for (std::size_t r = 0; r < options.keys.size(); ++r) {
        if (c->type(r) && *c->type(r) != types[r]) out.mixed = options.keys[r].column;
      }
    }
  }
  take_runs(collectors, bad, out);
  return out;
}

}  // namespace quorvex
