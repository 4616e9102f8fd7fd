// Choosing the tables of each message for the columnar decoder, from the source that
// choose_table_source decided: one fixed set, a definitions root, or the table store.
// Loaded sets are cached (bounded, thread-safe) and shared by every thread and call that
// holds the chooser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "decode/template_cache.hpp"
#include "lib/error.hpp"
#include "message/message.hpp"
#include "tables/table_set.hpp"
#include "tables/table_source.hpp"

namespace quorvex {

enum class TableOrigin : std::uint8_t { Fixed, Definitions, Store };

struct ChosenTables {
  std::shared_ptr<const TableSet> tables;
  TableOrigin origin = TableOrigin::Fixed;
  std::uint8_t asked_version = 0;  // Store: the message's master version
  std::uint8_t used_version = 0;   // Store: the version that serves it (the newest when newer)
};

// Where the tables of a message come from: "table_set", "definitions:<root>", "store", or
// "store: master version V decoded with W" when the message is newer than the store.
std::string describe_tables(const ChosenTables& chosen, const std::string& root);

class TableChooser {
 public:
  static constexpr std::size_t kDefaultCapacity = 64;

  explicit TableChooser(TableSource source, std::size_t capacity = kDefaultCapacity);

  // The tables of `message`; an error when its source lacks them (a definitions root that
  // fails to load names the file). Failures are cached like successes,
  // except transient ones (BufrError::transient).
  [[nodiscard]] Result<ChosenTables> choose(const BufrMessage& message);

  // The choice made last by one thread, by the selection it was made for.
  struct Last {
    bool made = false;
    TableKey key;
    ChosenTables chosen;
  };
  // The same through `last`: a message of the same selection as last time takes the same
  // tables without the lock. A failure is not kept in `last`.
  [[nodiscard]] Result<const ChosenTables*> choose(const BufrMessage& message, Last& last);

  const TableSource& source() const { return source_; }
  std::size_t cached() const;

  // Notes not yet taken, each said once per chooser: a master version newer than the
  // store's newest, decoded with the newest.
  std::vector<std::string> take_notes();

  // The compiled programs of the templates decoded with these tables.
  TemplateCache& programs() { return programs_; }

 private:
  struct Entry {
    TableKey key;
    Result<ChosenTables> chosen;
    std::uint64_t used = 0;
  };

  Result<ChosenTables> load(const BufrMessage& message);
  // The selection that decides a message's tables.
  static TableKey selection(const BufrMessage& message);

  const TableSource source_;
  const std::size_t capacity_;

  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  std::uint64_t clock_ = 0;
  std::vector<std::string> notes_;
  std::vector<std::uint8_t> noted_versions_;
  TemplateCache programs_;
};

}  // namespace quorvex
