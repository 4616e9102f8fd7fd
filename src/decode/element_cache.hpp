// A small per-walk cache of Table B lookups: each element code met is resolved once to its
// definition, its code table and the classification of its unit.
#pragma once

#include <array>
#include <cstdint>

#include "tables/table_set.hpp"

namespace quorvex {

// Plain data (no member initialisers), so that the cache's slots need no construction.
struct ElementInfo {
  const ElementDefinition* def;
  const CodeTable* code_table;  // null when the code has no code/flag table
  bool text;                    // unit exactly "CCITT IA5"
  bool code_or_flag;            // unit "Code table" / "Flag table", any case
  bool class31;                 // 0-31-YYY: never missing
};

// The classification of `def` and its code table in `tables`.
ElementInfo describe_element(const ElementDefinition& def, const TableSet& tables);

// Direct-mapped: a code that collides with another simply replaces it.
class ElementCache {
 public:
  explicit ElementCache(const TableSet& tables) : tables_(tables) {}

  // The element `code`, or null when Table B has no such element.
  const ElementInfo* find(std::uint32_t code) {
    if (!cleared_) {  // at the first look-up: a walk that replays a program may make none
      tags_.fill(0);
      cleared_ = true;
    }
    const std::size_t i = (code * 2654435761u) >> (32 - kBits);
    if (tags_[i] != std::uint64_t{code} + 1) {
      const ElementDefinition* def = tables_.find_element(code);
      if (def == nullptr) return nullptr;
      tags_[i] = std::uint64_t{code} + 1;
      infos_[i] = describe_element(*def, tables_);
    }
    return &infos_[i];
  }

 private:
  static constexpr unsigned kBits = 8;
  const TableSet& tables_;
  bool cleared_ = false;
  // tags_[i]: code + 1 of the entry in infos_[i]; 0 for an empty slot. Only the tags are
  // cleared; an info is written before its tag makes it visible.
  std::array<std::uint64_t, std::size_t{1} << kBits> tags_;
  std::array<ElementInfo, std::size_t{1} << kBits> infos_;
};

}  // namespace quorvex
