// The nesting of a message's values as the walk met it: Table D sequences, replications
// with their repetitions, and which element each attribute qualifies. Recorded by the data
// decoders only when asked (a dump, a tree view); reading values for tables does not pay
// for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvex {

// One step of the nesting. `at` is the number of values the walk had produced before it:
// in uncompressed data an index into the message's records (all subsets), in compressed
// data a column index (every subset has the same nesting).
struct StructureEvent {
  enum class Kind : std::uint8_t {
    Sequence,     // a Table D sequence opens: `code`
    Replication,  // a replication opens: `code` (1-X-Y), `count` repetitions; for a
                  // delayed one its factor is the value just before
    Repetition,   // repetition number `count` (from 1) of the innermost replication starts
    Close,        // the innermost sequence or replication ends
  };
  std::size_t at;
  std::uint64_t count;
  std::uint32_t code;
  Kind kind;
};

// A value that qualifies another one: quality information, substituted or replaced values
// and first-order statistics (through a bitmap) and associated fields (the element they
// precede).
struct AttributeLink {
  enum class Kind : std::uint8_t {
    Quality,              // an element of class 33 after 2-22-000
    Substituted,          // 2-23-255
    Replaced,             // 2-32-255: the original of a substituted value
    Associated,           // the associated field before an element (2-04)
    FirstOrderStatistic,  // 2-24-255: also a value of its own, numbered with the element's key
  };
  std::size_t value;   // the attribute
  std::size_t target;  // the element it qualifies
  Kind kind;
};

// The name an attribute goes by under its element, as ecCodes names it (key->name); null
// when it is the attribute's own key (quality information, an associated field's name).
constexpr const char* attribute_name(AttributeLink::Kind kind) {
  switch (kind) {
    case AttributeLink::Kind::Substituted:
      return "substitutedValue";
    case AttributeLink::Kind::Replaced:
      return "replacedRetainedValue";
    case AttributeLink::Kind::FirstOrderStatistic:
      return "firstOrderStatisticalValue";
    case AttributeLink::Kind::Quality:
    case AttributeLink::Kind::Associated:
      return nullptr;
  }
  return nullptr;
}

struct MessageStructure {
  std::vector<StructureEvent> events;
  // Index in `events` of the first event of each subset (uncompressed data); one entry,
  // 0, in compressed data.
  std::vector<std::size_t> subset_starts;
  std::vector<AttributeLink> attributes;  // in the order of their values

  void clear() {
    events.clear();
    subset_starts.clear();
    attributes.clear();
  }
  void add(StructureEvent::Kind kind, std::uint32_t code, std::uint64_t count, std::size_t at) {
    events.push_back(StructureEvent{.at = at, .count = count, .code = code, .kind = kind});
  }
};

}  // namespace quorvex
