#include "columnar/table_choice.hpp"

#include <algorithm>
#include <string>

#include "tables/eccodes_loader.hpp"
#include "tables/table_selection.hpp"

namespace quorvex {

TableChooser::TableChooser(std::optional<std::string> root, std::optional<std::string> bundled_dir,
                           std::shared_ptr<const TableSet> fixed, std::size_t capacity)
    : root_(std::move(root)),
      bundled_dir_(std::move(bundled_dir)),
      fixed_(std::move(fixed)),
      capacity_(std::max<std::size_t>(capacity, 1)) {}

std::size_t TableChooser::cached() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

Result<ChosenTables> TableChooser::choose(const BufrMessage& message) {
  if (fixed_) return ChosenTables{fixed_, TableOrigin::Fixed};
  Key key{message.master_table_number,
          message.master_tables_version_number,
          message.local_tables_version_number,
          message.originating_centre,
          message.originating_subcentre};
  // Without local tables the centre does not take part in the choice.
  if (key.local_version == 0) key.centre = key.subcentre = 0;

  // Loading happens under the lock: concurrent first uses of one selection load it once.
  std::lock_guard lock(mutex_);
  ++clock_;
  for (Entry& e : entries_) {
    if (e.key == key) {
      e.used = clock_;
      return e.chosen;
    }
  }
  Result<ChosenTables> chosen = load(message);
  if (entries_.size() >= capacity_) {
    auto oldest = std::ranges::min_element(entries_, {}, &Entry::used);
    entries_.erase(oldest);
  }
  entries_.push_back(Entry{key, chosen, clock_});
  return chosen;
}

Result<std::shared_ptr<const TableSet>> TableChooser::bundled() {
  if (!bundled_) {
    if (!bundled_dir_) {
      bundled_ = fail(BufrError::tables_unavailable("no bundled tables"));
    } else {
      Result<TableSet> loaded = load_table_directory(*bundled_dir_);
      if (loaded) {
        bundled_ = std::make_shared<const TableSet>(std::move(*loaded));
      } else {
        bundled_ = fail(BufrError::tables_unavailable("bundled tables: " + loaded.error().message()));
      }
    }
  }
  return *bundled_;
}

Result<ChosenTables> TableChooser::load(const BufrMessage& message) {
  std::string lacked;
  if (root_) {
    Result<TableSet> selected = select_definitions_tables(*root_, message);
    if (selected) {
      return ChosenTables{std::make_shared<const TableSet>(std::move(*selected)), TableOrigin::Definitions};
    }
    lacked = "definitions root: " + selected.error().message();
  }
  // The bundled tables are the WMO master table (number 0): no fallback for other masters.
  if (message.master_table_number != 0) {
    if (!lacked.empty()) lacked += "; ";
    lacked += "no bundled tables for master table " + std::to_string(message.master_table_number);
    return fail(BufrError::tables_unavailable(std::move(lacked)));
  }
  Result<std::shared_ptr<const TableSet>> fallback = bundled();
  if (fallback) return ChosenTables{*fallback, TableOrigin::Bundled};
  if (!lacked.empty()) lacked += "; ";
  lacked += fallback.error().text();
  return fail(BufrError::tables_unavailable(std::move(lacked)));
}

}  // namespace quorvex
