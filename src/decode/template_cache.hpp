// Programs of the templates met, shared between threads: archives repeat a few descriptor
// lists against a few table sets thousands of times, and each is compiled once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <unordered_map>
#include <vector>

#include "decode/template_program.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

class TemplateCache {
 public:
  static constexpr std::size_t kDefaultCapacity = 256;

  explicit TemplateCache(std::size_t capacity = kDefaultCapacity) : capacity_(capacity == 0 ? 1 : capacity) {}
  TemplateCache(const TemplateCache&) = delete;
  TemplateCache& operator=(const TemplateCache&) = delete;

  // The program of `codes` against `tables`, compiled on first use; null when the list
  // does not compile (decode it without a program) or `tables` is null. A failure is kept
  // as any program is. The entry holds `tables`, so a key's table set outlives the entry.
  // The least recently used entry goes when the cache is full. Thread-safe.
  [[nodiscard]] std::shared_ptr<const TemplateProgram> get(const std::shared_ptr<const TableSet>& tables,
                                                           std::span<const std::uint32_t> codes);

  // The template compiled last by one thread: its tables (held, so that their address is not
  // reused), its descriptors and its program.
  struct Last {
    std::shared_ptr<const TableSet> tables;
    std::vector<std::uint32_t> codes;
    std::shared_ptr<const TemplateProgram> program;
  };
  // The same through `last`: the same tables and descriptors (compared in full) as last time
  // give the same program without the lock; `last` then holds the one returned.
  [[nodiscard]] const std::shared_ptr<const TemplateProgram>& get(
      const std::shared_ptr<const TableSet>& tables, std::span<const std::uint32_t> codes, Last& last);

  std::size_t size() const;

 private:
  // A table set by identity and a descriptor list by contents; the list is viewed in the
  // entry that owns it (list nodes do not move).
  struct Key {
    const TableSet* tables;
    std::span<const std::uint32_t> codes;
    bool operator==(const Key& other) const;
  };
  struct KeyHash {
    std::size_t operator()(const Key& key) const;
  };
  struct Entry {
    std::shared_ptr<const TableSet> tables;
    std::vector<std::uint32_t> codes;
    std::shared_ptr<const TemplateProgram> program;
  };
  using Entries = std::list<Entry>;  // most recently used first

  // With the lock held: the entry of `key`, made the most recently used, or null.
  const Entry* touch(const Key& key);

  std::size_t capacity_;
  mutable std::mutex mutex_;
  Entries entries_;
  std::unordered_map<Key, Entries::iterator, KeyHash> index_;
};

}  // namespace quorvex
