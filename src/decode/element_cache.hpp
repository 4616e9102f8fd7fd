// A small per-walk cache of Table B lookups: each element code met is resolved once to its
// definition, its code table and the classification of its unit.
#pragma once

#include <array>
#include <cstdint>

#include "tables/table_set.hpp"

namespace quorvex {

struct ElementInfo {
  const ElementDefinition* def = nullptr;
  const CodeTable* code_table = nullptr;  // null when the code has no code/flag table
  bool text = false;                      // unit exactly "CCITT IA5"
  bool code_or_flag = false;              // unit "Code table" / "Flag table", any case
};

// The classification of `def` and its code table in `tables`.
ElementInfo describe_element(const ElementDefinition& def, const TableSet& tables);

// Direct-mapped: a code that collides with another simply replaces it.
class ElementCache {
 public:
  explicit ElementCache(const TableSet& tables) : tables_(tables) {}

  // The element `code`, or null when Table B has no such element.
  const ElementInfo* find(std::uint32_t code) {
    Slot& slot = slots_[(code * 2654435761u) >> (32 - kBits)];
    if (slot.tag != std::uint64_t{code} + 1) {
      const ElementDefinition* def = tables_.find_element(code);
      if (def == nullptr) return nullptr;
      slot.tag = std::uint64_t{code} + 1;
      slot.info = describe_element(*def, tables_);
    }
    return &slot.info;
  }

 private:
  static constexpr unsigned kBits = 8;
  struct Slot {
    std::uint64_t tag = 0;  // code + 1; 0 for an empty slot (all zeros: cheap to clear)
    ElementInfo info;
  };
  const TableSet& tables_;
  std::array<Slot, std::size_t{1} << kBits> slots_{};
};

}  // namespace quorvex
