// In-memory BUFR tables: Table B elements, Table D sequences, code/flag table meanings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace quorvex {

struct ElementDefinition {
  std::uint32_t code = 0;
  std::string abbreviation;
  std::string element_type;
  std::string name;
  std::string unit;
  std::int32_t scale = 0;
  std::int64_t reference = 0;
  std::uint16_t width = 0;
  bool operator==(const ElementDefinition&) const = default;
};

struct SequenceDefinition {
  std::uint32_t code = 0;
  std::vector<std::uint32_t> members;
  bool operator==(const SequenceDefinition&) const = default;
};

using CodeTable = std::unordered_map<std::uint64_t, std::string>;

// Built once by a loader, read-only afterwards. Later inserts under a present code
// replace the stored entry whole. Returned pointers stay valid for the life of the set
// (node-based maps), as long as that code is not replaced.
class TableSet {
 public:
  void insert_element(ElementDefinition def) {
    const auto code = def.code;
    elements_.insert_or_assign(code, std::move(def));
  }
  void insert_sequence(SequenceDefinition def) {
    const auto code = def.code;
    sequences_.insert_or_assign(code, std::move(def));
  }
  void insert_code_table(std::uint32_t code, CodeTable table) {
    code_tables_.insert_or_assign(code, std::move(table));
  }

  void reserve(std::size_t elements, std::size_t sequences, std::size_t code_tables) {
    elements_.reserve(elements);
    sequences_.reserve(sequences);
    code_tables_.reserve(code_tables);
  }

  const ElementDefinition* find_element(std::uint32_t code) const {
    auto it = elements_.find(code);
    return it == elements_.end() ? nullptr : &it->second;
  }
  const SequenceDefinition* find_sequence(std::uint32_t code) const {
    auto it = sequences_.find(code);
    return it == sequences_.end() ? nullptr : &it->second;
  }
  const CodeTable* find_code_table(std::uint32_t code) const {
    auto it = code_tables_.find(code);
    return it == code_tables_.end() ? nullptr : &it->second;
  }
  const std::string* find_meaning(std::uint32_t code, std::uint64_t raw) const {
    const CodeTable* table = find_code_table(code);
    if (table == nullptr) return nullptr;
    auto it = table->find(raw);
    return it == table->end() ? nullptr : &it->second;
  }

  std::size_t element_count() const { return elements_.size(); }
  std::size_t sequence_count() const { return sequences_.size(); }
  std::size_t code_table_count() const { return code_tables_.size(); }

  // Same entries: elements, sequences and code tables (meanings included).
  bool operator==(const TableSet&) const = default;

  const std::unordered_map<std::uint32_t, ElementDefinition>& elements() const { return elements_; }
  const std::unordered_map<std::uint32_t, SequenceDefinition>& sequences() const { return sequences_; }
  const std::unordered_map<std::uint32_t, CodeTable>& code_tables() const { return code_tables_; }

 private:
  std::unordered_map<std::uint32_t, ElementDefinition> elements_;
  std::unordered_map<std::uint32_t, SequenceDefinition> sequences_;
  std::unordered_map<std::uint32_t, CodeTable> code_tables_;
};

}  // namespace quorvex
