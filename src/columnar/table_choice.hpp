// Choosing the tables of each message for the columnar decoder: one fixed set, or an
// ecCodes-style definitions root with a bundled table directory behind it. Loaded sets
// are cached (bounded, thread-safe) and shared by every thread and call that holds the
// chooser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "decode/template_cache.hpp"
#include "lib/error.hpp"
#include "message/message.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

enum class TableOrigin : std::uint8_t { Fixed, Definitions, Bundled };

struct ChosenTables {
  std::shared_ptr<const TableSet> tables;
  TableOrigin origin = TableOrigin::Fixed;
};

class TableChooser {
 public:
  static constexpr std::size_t kDefaultCapacity = 64;

  // `fixed`, when set, serves every message. Otherwise `root` (a definitions root) is
  // tried first, as TableSet.from_definitions selects from it, then the table directory
  // `bundled_dir`; either may be absent.
  TableChooser(std::optional<std::string> root, std::optional<std::string> bundled_dir,
               std::shared_ptr<const TableSet> fixed, std::size_t capacity = kDefaultCapacity);

  // The tables of `message`; an error (TablesUnavailable, with what each source lacked)
  // when no source holds them. Failures are cached like successes.
  [[nodiscard]] Result<ChosenTables> choose(const BufrMessage& message);

  const std::optional<std::string>& root() const { return root_; }
  std::size_t cached() const;

  // The compiled programs of the templates decoded with these tables.
  TemplateCache& programs() { return programs_; }

 private:
  struct Key {
    std::uint8_t master_table = 0;
    std::uint8_t master_version = 0;
    std::uint8_t local_version = 0;
    std::uint16_t centre = 0;
    std::uint16_t subcentre = 0;
    bool operator==(const Key&) const = default;
  };
  struct Entry {
    Key key;
    Result<ChosenTables> chosen;
    std::uint64_t used = 0;
  };

  Result<ChosenTables> load(const BufrMessage& message);
  Result<std::shared_ptr<const TableSet>> bundled();

  const std::optional<std::string> root_;
  const std::optional<std::string> bundled_dir_;
  const std::shared_ptr<const TableSet> fixed_;
  const std::size_t capacity_;

  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  std::uint64_t clock_ = 0;
  std::optional<Result<std::shared_ptr<const TableSet>>> bundled_;
  TemplateCache programs_;
};

}  // namespace quorvex
