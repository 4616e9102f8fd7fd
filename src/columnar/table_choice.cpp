#include "columnar/table_choice.hpp"

#include <algorithm>
#include <string>

#include "tables/table_selection.hpp"

namespace quorvex {

std::string describe_tables(const ChosenTables& chosen, const std::string& root) {
  switch (chosen.origin) {
    case TableOrigin::Fixed:
      return "table_set";
    case TableOrigin::Definitions:
      return "definitions:" + root;
    case TableOrigin::Store:
      break;
  }
  if (chosen.asked_version == chosen.used_version) return "store";
  return "store: master version " + std::to_string(chosen.asked_version) + " decoded with " +
         std::to_string(chosen.used_version);
}

TableChooser::TableChooser(TableSource source, std::size_t capacity)
    : source_(std::move(source)), capacity_(std::max<std::size_t>(capacity, 1)) {}

std::size_t TableChooser::cached() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

std::vector<std::string> TableChooser::take_notes() {
  std::lock_guard lock(mutex_);
  return std::exchange(notes_, {});
}

TableKey TableChooser::selection(const BufrMessage& message) {
  TableKey key = TableKey::of(message);
  // Without local tables the centre does not take part in the choice.
  if (key.local_version == 0) key.centre = key.subcentre = 0;
  return key;
}

Result<const ChosenTables*> TableChooser::choose(const BufrMessage& message, Last& last) {
  const TableKey key = selection(message);
  if (!last.made || !(last.key == key)) {
    last.made = false;
    last.chosen = QV_TRY(choose(message));
    last.key = key;
    last.made = true;
  }
  return &last.chosen;
}

Result<ChosenTables> TableChooser::choose(const BufrMessage& message) {
  if (source_.kind == TableSource::Kind::Fixed) return ChosenTables{source_.fixed, TableOrigin::Fixed};
  const TableKey key = selection(message);

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
  if (chosen && chosen->asked_version != chosen->used_version &&
      std::ranges::find(noted_versions_, chosen->asked_version) == noted_versions_.end()) {
    noted_versions_.push_back(chosen->asked_version);
    notes_.push_back("master table version " + std::to_string(chosen->asked_version) +
                     " is newer than the table store's newest; decoded with version " +
                     std::to_string(chosen->used_version));
  }
  // A failure of the system (no descriptor or memory free) says nothing of the tables: the
  // next message tries again.
  if (!chosen && chosen.error().transient()) return chosen;
  if (entries_.size() >= capacity_) {
    auto oldest = std::ranges::min_element(entries_, {}, &Entry::used);
    entries_.erase(oldest);
  }
  entries_.push_back(Entry{key, chosen, clock_});
  return chosen;
}

Result<ChosenTables> TableChooser::load(const BufrMessage& message) {
  if (source_.kind == TableSource::Kind::Root) {
    TableSet selected = QV_TRY(select_definitions_tables(source_.root, message, TableRows::AsEccodes));
    return ChosenTables{std::make_shared<const TableSet>(std::move(selected)), TableOrigin::Definitions};
  }
  StoreTables stored = QV_TRY(source_.store->table_set(TableKey::of(message)));
  return ChosenTables{std::make_shared<const TableSet>(std::move(stored.tables)),
                      TableOrigin::Store,
                      message.master_tables_version_number,
                      stored.master_version};
}

}  // namespace quorvex
