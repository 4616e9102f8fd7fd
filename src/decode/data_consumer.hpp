// What the two data decoders share as consumers of the descriptor walk: the rules of element
// descriptors (2-03 reference definitions, associated fields, the element cache, the
// recording of elements for bitmaps), of data description operators (through
// apply_operator) and of delayed replication factors. A decoder derives from
// DataConsumer<Decoder> and supplies only how its data are laid out:
//   static constexpr DataRules kDataRules;
//   bool define_reference(std::uint32_t code);   an element while 2-03-YYY is in force
//                                                (only when kDataRules.new_reference_definitions)
//   bool associated_field();                      the associated field before an element
//   bool read_element(const ElementInfo& info);   an element: read it and record_element() it
//   bool read_factor(const ElementParams& params, std::uint64_t& count);
//   bool read_selected(const ElementParams& params);  the value a bitmap entry selects
//     or, where it matters which kind of value that is,
//   bool read_selected(const ElementParams& params, bool attribute);  `attribute`: a
//                                                 substituted (2-23) or replaced (2-32) value
//   bool marker(std::uint32_t code);              an operator that leaves a marker
//   bool characters(std::uint32_t code);          2-05-YYY text
//   void set_role(ValueRole role);                the role of the value read last, when it
//                                                 is not an element
//   std::size_t values_made() const;              how many values (records or columns) so far
// and, when it lists the quality values named by the key of the element they qualify,
//   std::vector<QualityKey>& quality_keys();      where they are listed
//
// A consumer made with Records = true also writes down, into the MessageStructure given to
// record_structure(), the nesting the walk states and which element each attribute
// qualifies. The ordinary decode (Records = false) has none of this: the walk sees no nesting
// hooks and an element costs nothing more than its reading.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "decode/decode_state.hpp"
#include "decode/element_cache.hpp"
#include "decode/field.hpp"
#include "decode/structure.hpp"
#include "decode/walk.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

// Where the uncompressed and compressed layouts are read by different rules.
struct DataRules {
  // 2-03-YYY reference definitions are read (uncompressed); otherwise a definition is
  // refused, since how new reference values are laid out across subsets is not established.
  bool new_reference_definitions = true;
  // A delayed replication factor that is not of class 31 is preceded by the associated
  // field in force, as any element of another class is. Legal factors are of class 31 and
  // carry none either way.
  bool associated_field_before_factor = true;
};

// The vectors a walk grows as it reads a message, lent to the walk of each message in turn
// (a thread decodes the messages of a file one after the other; each would otherwise
// allocate its own).
struct WalkScratch {
  std::vector<const ElementDefinition*> history;
  std::vector<std::uint8_t> bitmap;
  std::vector<std::size_t> quality_selected;
  std::vector<std::pair<std::uint32_t, std::size_t>> quality_taken;
};

template <class Decoder, bool Records = false>
class DataConsumer : public WalkErrors {
 public:
  bool element(std::uint32_t code) {
    return element_as(code, [this, code] { return elements_.find(code); });
  }
  bool operator_descriptor(std::uint32_t code);
  bool delayed_factor(std::uint32_t code, std::uint64_t& count) {
    return factor_as(
        code, [this, code] { return elements_.find(code); }, count);
  }
  // The same, with the element already resolved in Table B (null when Table B lacks it).
  bool element(std::uint32_t code, const ElementInfo* info) {
    return element_as(code, [info] { return info; });
  }
  bool delayed_factor(std::uint32_t code, const ElementInfo* info, std::uint64_t& count) {
    return factor_as(
        code, [info] { return info; }, count);
  }

  // The nesting, into `structure` (a consumer that records it provides values_made()).
  void record_structure(MessageStructure& structure) requires Records {
    static_assert(
        requires(const Decoder& d) { d.values_made(); }, "recording the nesting needs values_made()");
    record_.structure = &structure;
  }
  void open_sequence(std::uint32_t code) requires Records { note(StructureEvent::Kind::Sequence, code, 0); }
  void open_replication(std::uint32_t code, std::uint64_t count) requires Records {
    note(StructureEvent::Kind::Replication, code, count);
  }
  void repetition(std::uint64_t number) requires Records {
    note(StructureEvent::Kind::Repetition, 0, number);
  }
  void close_group() requires Records { note(StructureEvent::Kind::Close, 0, 0); }
  // The state back to the start of a subset (uncompressed data).
  void start_subset() {
    state_.reset_for_subset();
    quality_selected_.clear();
    quality_taken_.clear();
    quality_scanned_ = kNotScanned;
    if constexpr (Records) {
      record_.structure->subset_starts.push_back(record_.structure->events.size());
      record_.element_at.clear();
    }
  }

 protected:
  explicit DataConsumer(const TableSet& tables) : tables_(tables), elements_(tables) {}

  const TableSet& tables_;
  DecodeState state_;
  ElementCache elements_;

  // The history entries the bitmap selects for the quality values of the block, once per
  // block (the first quality value finds them).
  // A bitmap that selects none is not looked through again while it stands as it was (it
  // changes only by growing, or after an operator).
  void select_quality() {
    if (!quality_selected_.empty() || quality_scanned_ == state_.bitmap.size()) return;
    const std::size_t first = bitmap_history_index(state_, 0);  // entry e refers to first + e
    const std::vector<std::uint8_t>& bitmap = state_.bitmap;
    for (std::size_t e = 0; e < bitmap.size(); ++e) {
      if (bitmap[e] == 0) quality_selected_.push_back(first + e);
    }
    quality_scanned_ = state_.bitmap.size();
  }

  // Exchanges the walk's growing vectors with `scratch`'s: lent before a message (the
  // walk's then emptied) and taken back after it.
  void swap_scratch(WalkScratch& scratch) {
    state_.history.swap(scratch.history);
    state_.bitmap.swap(scratch.bitmap);
    quality_selected_.swap(scratch.quality_selected);
    quality_taken_.swap(scratch.quality_taken);
  }

 private:
  static constexpr DataRules kData = Decoder::kDataRules;
  Decoder& self() { return static_cast<Decoder&>(*this); }
  // Values made so far; only called while recording the nesting or listing quality keys.
  std::size_t made() { return self().values_made(); }
  // The rules of an element and of a factor; `find` gives the element's Table B entry and
  // is called only once the element is to be read.
  template <class Find>
  bool element_as(std::uint32_t code, Find find);
  template <class Find>
  bool factor_as(std::uint32_t code, Find find, std::uint64_t& count);
  bool selected_by_bitmap(std::uint32_t code);

  void note(StructureEvent::Kind kind, std::uint32_t code, std::uint64_t count) {
    record_.structure->add(kind, code, count, made());
  }
  // After an element or factor was read (with `history` entries before it): where its value
  // stands, and what it qualifies.
  void place_value(std::size_t history, bool associated);
  // A value of class 33 in a quality block, just read.
  void quality_value(std::uint32_t code);
  void link_to_history(std::size_t value, std::size_t index, AttributeLink::Kind kind) {
    if (index < record_.element_at.size())
      record_.structure->attributes.push_back(AttributeLink{value, record_.element_at[index], kind});
  }

  // In a quality block: the history entries the bitmap selects, and how many values of each
  // code took one so far.
  std::vector<std::size_t> quality_selected_;
  std::vector<std::pair<std::uint32_t, std::size_t>> quality_taken_;
  static constexpr std::size_t kNotScanned = ~std::size_t{0};
  std::size_t quality_scanned_ = kNotScanned;  // the size of the bitmap select_quality looked through
  // What recording the nesting keeps: the structure written to and the value of each history
  // entry.
  struct Record {
    MessageStructure* structure = nullptr;
    std::vector<std::size_t> element_at;
  };
  struct NoRecord {};
  [[no_unique_address]] std::conditional_t<Records, Record, NoRecord> record_;
};

template <class Decoder, bool Records>
void DataConsumer<Decoder, Records>::place_value(std::size_t history, bool associated) {
  const std::size_t value = made() - 1;
  if (state_.history.size() > history) record_.element_at.push_back(value);
  if (associated)
    record_.structure->attributes.push_back(AttributeLink{value - 1, value, AttributeLink::Kind::Associated});
}

// The n-th value of a code qualifies the n-th element the bitmap selects. ecCodes also names
// each such value by the key of that element, numbered among its occurrences, all but a
// percentage of confidence (0-33-007), which stays an attribute only; a value beyond the
// elements the bitmap selects qualifies none, and ecCodes names it as the bitmap's own entries
// (dataPresentIndicator).
template <class Decoder, bool Records>
void DataConsumer<Decoder, Records>::quality_value(std::uint32_t code) {
  constexpr bool kLists = requires(Decoder & d) { d.quality_keys(); };
  if constexpr (Records || kLists) {
    select_quality();
    // Without the nesting, a percentage of confidence links to nothing and names no key:
    // its count serves only the values of its own code.
    if (!Records && code == kPercentConfidence) return;
    auto taken = std::find_if(
        quality_taken_.begin(), quality_taken_.end(), [code](const auto& t) { return t.first == code; });
    if (taken == quality_taken_.end()) taken = quality_taken_.insert(taken, {code, 0});
    const std::size_t n = taken->second++;
    const std::size_t value = made() - 1;
    const bool selected = n < quality_selected_.size();
    if constexpr (Records) {
      if (selected) link_to_history(value, quality_selected_[n], AttributeLink::Kind::Quality);
    }
    if constexpr (kLists) {
      if (code == kPercentConfidence || state_.bitmap.empty()) return;
      std::uint32_t element = kDataPresentIndicator;
      if (selected) {
        if (quality_selected_[n] >= state_.history.size()) return;
        element = state_.history[quality_selected_[n]]->code;
      }
      const ElementDefinition* qualified = tables_.find_element(element);
      if (qualified != nullptr && !qualified->abbreviation.empty())
        self().quality_keys().push_back(QualityKey{value, qualified});
    }
  }
}

template <class Decoder, bool Records>
template <class Find>
inline bool DataConsumer<Decoder, Records>::element_as(std::uint32_t code, Find find) {
  if constexpr (kData.new_reference_definitions) {
    if (state_.new_reference_bits != 0) return self().define_reference(code);
  }
  const bool associated = carries_associated_field(code, state_);
  if (associated && !self().associated_field()) return false;
  const ElementInfo* info = find();
  if (info == nullptr) return fail_with(BufrError::element_not_found(code));
  if constexpr (Records) {
    const std::size_t history = state_.history.size();
    if (!self().read_element(*info)) return false;
    place_value(history, associated);
  } else {
    if (!self().read_element(*info)) return false;
  }
  state_.local_width_active = false;
  if (code == kDataPresentIndicator) {
    self().set_role(ValueRole::Bitmap);
  } else if (code == kAssociatedFieldSignificance) {
    self().set_role(ValueRole::Attribute);  // of the associated fields that follow
  } else if (state_.quality_block && split_code(code).x == kQualityClass) {
    self().set_role(ValueRole::Attribute);
    quality_value(code);
  }
  return true;
}

template <class Decoder, bool Records>
template <class Find>
bool DataConsumer<Decoder, Records>::factor_as(std::uint32_t code, Find find, std::uint64_t& count) {
  if constexpr (kData.associated_field_before_factor) {
    if (carries_associated_field(code, state_) && !self().associated_field()) return false;
  }
  const ElementInfo* factor = find();
  if (factor == nullptr) return fail_with(BufrError::element_not_found(code));
  if (!self().read_factor(element_params(*factor, state_), count)) return false;
  self().set_role(ValueRole::ReplicationFactor);
  record_factor(state_, *factor->def);
  if constexpr (Records) record_.element_at.push_back(made() - 1);
  return true;
}

template <class Decoder, bool Records>
bool DataConsumer<Decoder, Records>::operator_descriptor(std::uint32_t code) {
  quality_scanned_ = kNotScanned;
  if (const DescriptorParts p = split_code(code); p.y == 0) {
    if (p.x == 22) {
      state_.quality_block = true;
      quality_selected_.clear();
      quality_taken_.clear();
    } else if (p.x == 23 || p.x == 24 || p.x == 25 || p.x == 32 || p.x == 35) {
      state_.quality_block = false;
    }
  }
  switch (apply_operator(state_, code)) {
    case OperatorAction::Marker:
      return self().marker(code);
    case OperatorAction::BitmapRead:
      return selected_by_bitmap(code);
    case OperatorAction::Characters:
      return self().characters(code);
    case OperatorAction::NewReferences:
      if constexpr (!kData.new_reference_definitions) {
        if (state_.new_reference_bits != 0) return fail_with(BufrError::compressed_new_references(code));
      }
      return true;
    case OperatorAction::None:
      return true;
  }
  return true;
}

// 2-23/24/25/32-255: the value the next bitmap entry selects, read under the operators in
// force with the referenced element's code and name. 2-25 reads a difference: one bit
// wider, with a negative reference. Substituted (2-23) and replaced (2-32) values are
// attributes of the element they select; statistics (2-24, 2-25) are values of their own,
// numbered with the selected element's key.
template <class Decoder, bool Records>
bool DataConsumer<Decoder, Records>::selected_by_bitmap(std::uint32_t code) {
  auto next = next_bitmap_element(state_);
  if (!next) return fail_with(std::move(next).error());
  if (*next == nullptr) return true;
  const ElementDefinition& def = **next;
  const ElementInfo* info = elements_.find(def.code);
  const ElementInfo described = info != nullptr && info->def == &def ? *info : describe_element(def, tables_);
  ElementParams params = element_params(described, state_);
  const std::uint32_t x = split_code(code).x;
  if (x == 25) widen_for_difference(params);
  const bool attribute = x == 23 || x == 32;
  if constexpr (requires(Decoder & d) { d.read_selected(params, attribute); }) {
    if (!self().read_selected(params, attribute)) return false;
  } else {
    if (!self().read_selected(params)) return false;
  }
  if (attribute) self().set_role(ValueRole::Attribute);
  if constexpr (Records) {
    if (x == 23 || x == 24 || x == 32) {
      const AttributeLink::Kind kind = x == 23   ? AttributeLink::Kind::Substituted
                                       : x == 32 ? AttributeLink::Kind::Replaced
                                                 : AttributeLink::Kind::FirstOrderStatistic;
      link_to_history(made() - 1, bitmap_history_index(state_, state_.bitmap_cursor - 1), kind);
    }
  }
  return true;
}

}  // namespace quorvex
