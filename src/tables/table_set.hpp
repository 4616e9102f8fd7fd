// In-memory BUFR tables: Table B elements, Table D sequences, code/flag table meanings.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
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

// Code tables made on first use rather than with the set (the table store supplies its
// several hundred tables this way: a message needs a few of them).
class CodeTableSupplier {
 public:
  virtual ~CodeTableSupplier() = default;
  // Fills `out` with the table of `code`; false when there is none.
  virtual bool supply(std::uint32_t code, CodeTable& out) const = 0;
  // The codes that have a table, ascending.
  virtual std::vector<std::uint32_t> codes() const = 0;
};

namespace detail {
// The tables a supplier made, kept for the life of the set (and of its copies).
class SuppliedCodeTables {
 public:
  explicit SuppliedCodeTables(std::shared_ptr<const CodeTableSupplier> supplier)
      : supplier_(std::move(supplier)) {}
  const CodeTable* find(std::uint32_t code) {
    std::lock_guard lock(mutex_);
    auto [it, added] = made_.try_emplace(code);
    if (added && !supplier_->supply(code, it->second.table)) it->second.absent = true;
    return it->second.absent ? nullptr : &it->second.table;
  }
  const CodeTableSupplier& supplier() const { return *supplier_; }

 private:
  struct Made {
    CodeTable table;
    bool absent = false;
  };
  std::shared_ptr<const CodeTableSupplier> supplier_;
  std::mutex mutex_;
  std::unordered_map<std::uint32_t, Made> made_;  // node-based: pointers stay valid
};
}  // namespace detail

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
  // Code tables not inserted are asked of `supplier` when first looked up. Thread-safe.
  void supply_code_tables(std::shared_ptr<const CodeTableSupplier> supplier) {
    supplied_ = std::make_shared<detail::SuppliedCodeTables>(std::move(supplier));
  }

  const CodeTable* find_code_table(std::uint32_t code) const {
    auto it = code_tables_.find(code);
    if (it != code_tables_.end()) return &it->second;
    return supplied_ ? supplied_->find(code) : nullptr;
  }
  const std::string* find_meaning(std::uint32_t code, std::uint64_t raw) const {
    const CodeTable* table = find_code_table(code);
    if (table == nullptr) return nullptr;
    auto it = table->find(raw);
    return it == table->end() ? nullptr : &it->second;
  }

  std::size_t element_count() const { return elements_.size(); }
  std::size_t sequence_count() const { return sequences_.size(); }
  std::size_t code_table_count() const { return code_table_codes().size(); }
  // The codes that have a code table (inserted or supplied), ascending.
  std::vector<std::uint32_t> code_table_codes() const {
    std::vector<std::uint32_t> codes;
    for (const auto& [code, _] : code_tables_) codes.push_back(code);
    if (supplied_) {
      const auto more = supplied_->supplier().codes();
      codes.insert(codes.end(), more.begin(), more.end());
    }
    std::sort(codes.begin(), codes.end());
    codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    return codes;
  }

  // Same entries: elements, sequences and code tables (meanings included), however the
  // code tables are held.
  bool operator==(const TableSet& other) const {
    if (elements_ != other.elements_ || sequences_ != other.sequences_) return false;
    const std::vector<std::uint32_t> codes = code_table_codes();
    if (codes != other.code_table_codes()) return false;
    for (std::uint32_t code : codes) {
      const CodeTable* a = find_code_table(code);
      const CodeTable* b = other.find_code_table(code);
      if ((a == nullptr) != (b == nullptr) || (a != nullptr && *a != *b)) return false;
    }
    return true;
  }

  const std::unordered_map<std::uint32_t, ElementDefinition>& elements() const { return elements_; }
  const std::unordered_map<std::uint32_t, SequenceDefinition>& sequences() const { return sequences_; }
  // The code tables inserted (not those a supplier gives).
  const std::unordered_map<std::uint32_t, CodeTable>& code_tables() const { return code_tables_; }

 private:
  std::unordered_map<std::uint32_t, ElementDefinition> elements_;
  std::unordered_map<std::uint32_t, SequenceDefinition> sequences_;
  std::unordered_map<std::uint32_t, CodeTable> code_tables_;
  std::shared_ptr<detail::SuppliedCodeTables> supplied_;
};

}  // namespace quorvex
