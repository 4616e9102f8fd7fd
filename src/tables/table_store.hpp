// The table store: every table version the package ships, in one file that the build
// generates from the vendored ecCodes tables (tools/make_table_store.cpp) and that is
// memory-mapped at run time. Each entry (Table B element, Table D sequence, code or flag
// table) is kept once with the range of master versions that hold it; texts are interned.
// A TableSet for one message is assembled from the mapped records without parsing text.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/error.hpp"
#include "message/message.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

// What selects a message's tables in its section 1.
struct TableKey {
  std::uint8_t master_table = 0;
  std::uint8_t master_version = 0;
  std::uint8_t local_version = 0;
  std::uint16_t centre = 0;
  std::uint16_t subcentre = 0;
  bool operator==(const TableKey&) const = default;

  static TableKey of(const BufrMessage& m) {
    return {m.master_table_number,
            m.master_tables_version_number,
            m.local_tables_version_number,
            m.originating_centre,
            m.originating_subcentre};
  }
};

struct StoreTables {
  TableSet tables;
  std::uint8_t master_version = 0;  // the version used: the one asked for, or the newest when newer
};

class StoreCodeTables;

namespace store_format {
struct Header;
struct Content;
struct Layer;
struct Element;
struct Sequence;
struct CodeTableRecord;
struct Meaning;
}  // namespace store_format

class TableStore : public std::enable_shared_from_this<TableStore> {
 public:
  // Maps the file; its records are checked once, so a damaged store is an error here.
  [[nodiscard]] static Result<std::shared_ptr<const TableStore>> open(const std::string& path);
  // The same over bytes held in memory (a store just built).
  [[nodiscard]] static Result<std::shared_ptr<const TableStore>> from_bytes(std::string bytes);

  TableStore(const TableStore&) = delete;
  TableStore& operator=(const TableStore&) = delete;
  ~TableStore();

  // The WMO tables of the key's master table and version with the local tables of its
  // centre, sub-centre and local version over them (when the store has some). A master
  // version newer than the newest held is served by the newest (StoreTables says which).
  [[nodiscard]] Result<StoreTables> table_set(const TableKey& key) const;

  // The master versions held for a master table, ascending.
  std::vector<std::uint8_t> versions(std::uint8_t master_table) const;
  std::size_t size_bytes() const { return bytes_.size(); }

 private:
  TableStore() = default;
  [[nodiscard]] static Result<std::shared_ptr<const TableStore>> adopt(std::unique_ptr<TableStore> store);
  [[nodiscard]] Status check() const;
  std::string_view text(std::uint32_t id) const;
  void add_content(std::uint32_t content, std::uint8_t version, bool versioned, TableSet& out,
                   bool code_tables) const;
  friend class StoreCodeTables;
  const store_format::Layer* find_local(std::uint8_t master_table, std::string_view name,
                                        std::uint16_t centre, std::uint16_t subcentre) const;

  std::span<const char> bytes_;
  void* mapping_ = nullptr;  // the mmap of open(), else null
  std::string owned_;        // the bytes of from_bytes()

  std::span<const char> strings_;
  std::span<const std::uint32_t> string_offsets_;
  std::span<const store_format::Content> contents_;
  std::span<const store_format::Layer> layers_;
  std::span<const store_format::Element> elements_;
  std::span<const store_format::Sequence> sequences_;
  std::span<const std::uint32_t> members_;
  std::span<const store_format::CodeTableRecord> code_tables_;
  std::span<const store_format::Meaning> meanings_;
};

// The store of an ecCodes definitions root: master tables bufr/tables/N/wmo/V (alias files
// followed) and local tables bufr/tables/N/local/L/C/S, element rows read as ecCodes reads
// them. A table that fails to load is an error naming its file.
[[nodiscard]] Result<std::string> build_table_store(const std::string& definitions_root);

}  // namespace quorvex
