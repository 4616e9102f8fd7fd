#include "tables/table_source.hpp"

#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>

#include "lib/file_system.hpp"

namespace quorvex {

namespace {

bool is_definitions_root(const std::string& path) {
  return file_kind(join_path(join_path(path, "bufr"), "tables")) == FileKind::Directory;
}

Result<TableSource> named_root(const std::string& root, std::string_view named_by) {
  if (!is_definitions_root(root)) return fail(BufrError::not_a_definitions_root(named_by, root));
  return TableSource::at_root(root);
}

}  // namespace

Result<std::shared_ptr<const TableStore>> shared_table_store(const std::string& path) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<const TableStore>> opened;
  std::lock_guard lock(mutex);
  if (auto it = opened.find(path); it != opened.end()) return it->second;
  std::shared_ptr<const TableStore> store = QV_TRY(TableStore::open(path));
  opened.emplace(path, store);
  return store;
}

Result<TableSource> choose_table_source(const TableRequest& request, const std::string& store_path) {
  if (request.fixed) return TableSource::of(request.fixed);
  if (request.store) return TableSource::in_store(QV_TRY(shared_table_store(store_path)));
  if (request.root) return named_root(*request.root, "tables=");
  const char* named = std::getenv(kDefinitionsVariable);
  if (named != nullptr && *named != '\0') return named_root(named, kDefinitionsVariable);
  const char* listed = std::getenv(kEccodesVariable);
  // QUORVEX_DEFINITIONS set but empty: the store, whatever ecCodes's variable says.
  if (named == nullptr && listed != nullptr && *listed != '\0') {
    std::string_view rest = listed;
    for (;;) {
      const std::size_t colon = rest.find(':');
      const std::string entry(rest.substr(0, colon));
      if (!entry.empty() && is_definitions_root(entry)) return named_root(entry, kEccodesVariable);
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
    return fail(BufrError::not_a_definitions_root(kEccodesVariable, listed));
  }
  return TableSource::in_store(QV_TRY(shared_table_store(store_path)));
}

}  // namespace quorvex
