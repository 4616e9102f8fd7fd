// Where the tables of a decode come from, decided by one rule for every reader: the tables
// the caller names (a definitions root or a TableSet), else the definitions root named by
// QUORVEX_DEFINITIONS, else ECCODES_DEFINITION_PATH when set, else the package's table
// store (QUORVEX_DEFINITIONS set to "" says: the store). Nothing else on the machine is
// looked at.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "lib/error.hpp"
#include "tables/table_set.hpp"
#include "tables/table_store.hpp"

namespace quorvex {

inline constexpr const char* kDefinitionsVariable = "QUORVEX_DEFINITIONS";
inline constexpr const char* kEccodesVariable = "ECCODES_DEFINITION_PATH";

struct TableSource {
  enum class Kind : std::uint8_t { Fixed, Root, Store };
  Kind kind = Kind::Store;
  std::shared_ptr<const TableSet> fixed;    // Fixed
  std::string root;                         // Root: the definitions root
  std::shared_ptr<const TableStore> store;  // Store

  static TableSource of(std::shared_ptr<const TableSet> tables) {
    TableSource s;
    s.kind = Kind::Fixed;
    s.fixed = std::move(tables);
    return s;
  }
  static TableSource at_root(std::string root) {
    TableSource s;
    s.kind = Kind::Root;
    s.root = std::move(root);
    return s;
  }
  static TableSource in_store(std::shared_ptr<const TableStore> store) {
    TableSource s;
    s.store = std::move(store);
    return s;
  }
};

// What the caller named: nothing, a definitions root, a TableSet, or the store itself.
struct TableRequest {
  std::optional<std::string> root;
  std::shared_ptr<const TableSet> fixed;
  bool store = false;
};

// The rule. A root named by the caller or an environment variable must be an ecCodes
// definitions root (holding bufr/tables): naming one that is not is an error, never a
// fallback. ECCODES_DEFINITION_PATH may list several directories (":"-separated): the
// first that is a definitions root serves. `store_path` is the package's table store,
// opened once per process.
[[nodiscard]] Result<TableSource> choose_table_source(const TableRequest& request,
                                                      const std::string& store_path);

// The store at `path`, mapped once per process and shared.
[[nodiscard]] Result<std::shared_ptr<const TableStore>> shared_table_store(const std::string& path);

}  // namespace quorvex
