#include "tables/table_store.hpp"

#include <filesystem>

#include <gtest/gtest.h>

#include "tables/table_selection.hpp"
#include "tables/table_source.hpp"
#include "temp_tree.hpp"

namespace quorvex {
namespace {

namespace fs = std::filesystem;
using testing::TempTree;

const std::string kSources = std::string(QUORVEX_TABLE_SOURCES) + "/definitions";

BufrMessage header(std::uint8_t master_table, std::uint8_t version, std::uint8_t local, std::uint16_t centre,
                   std::uint16_t subcentre) {
  BufrMessage m;
  m.edition = 4;
  m.master_table_number = master_table;
  m.master_tables_version_number = version;
  m.local_tables_version_number = local;
  m.originating_centre = centre;
  m.originating_subcentre = subcentre;
  return m;
}

std::shared_ptr<const TableStore> built_store() {
  static const std::shared_ptr<const TableStore> store = [] {
    auto s = TableStore::open(QUORVEX_TABLE_STORE);
    EXPECT_TRUE(s.has_value()) << s.error().message();
    return s ? *s : nullptr;
  }();
  return store;
}

// Every table selection the vendored tree offers: each WMO version of each master table
// alone, and each local directory over the version that names it.
std::vector<BufrMessage> every_selection() {
  std::vector<BufrMessage> out;
  for (const auto& master : fs::directory_iterator(kSources + "/bufr/tables")) {
    if (!master.is_directory()) continue;
    const auto mt = static_cast<std::uint8_t>(std::stoi(master.path().filename().string()));
    std::uint8_t newest = 0;
    for (const auto& v : fs::directory_iterator(master.path() / "wmo")) {
      const auto version = static_cast<std::uint8_t>(std::stoi(v.path().filename().string()));
      newest = std::max(newest, version);
      out.push_back(header(mt, version, 0, 0, 0));
    }
    if (!fs::exists(master.path() / "local")) continue;
    for (const auto& l : fs::directory_iterator(master.path() / "local")) {
      std::string name = l.path().filename().string();
      std::uint8_t version = newest;
      if (name.starts_with("19-")) {
        version = 19;
        name = name.substr(3);
      }
      for (const auto& c : fs::directory_iterator(l.path())) {
        for (const auto& s : fs::directory_iterator(c.path())) {
          out.push_back(header(mt,
                               version,
                               static_cast<std::uint8_t>(std::stoi(name)),
                               static_cast<std::uint16_t>(std::stoi(c.path().filename().string())),
                               static_cast<std::uint16_t>(std::stoi(s.path().filename().string()))));
        }
      }
    }
  }
  return out;
}

// The store holds exactly what loading the vendored text tables gives, for every selection
// (every master version, every local directory): entries, key names, code and flag meanings.
TEST(TableStoreTest, EverySelectionEqualsTheTextTables) {
  const auto store = built_store();
  ASSERT_TRUE(store);
  const auto selections = every_selection();
  ASSERT_GT(selections.size(), 80u);
  for (const BufrMessage& m : selections) {
    SCOPED_TRACE(::testing::Message()
                 << "master table " << int(m.master_table_number) << " version "
                 << int(m.master_tables_version_number) << " local " << int(m.local_tables_version_number)
                 << " centre " << m.originating_centre << "/" << m.originating_subcentre);
    auto text = select_definitions_tables(kSources, m, TableRows::AsEccodes);
    ASSERT_TRUE(text.has_value()) << text.error().message();
    auto stored = store->table_set(TableKey::of(m));
    ASSERT_TRUE(stored.has_value()) << stored.error().message();
    EXPECT_EQ(stored->master_version, m.master_tables_version_number);
    EXPECT_TRUE(stored->tables == *text);
  }
}

TEST(TableStoreTest, NewerVersionsUseTheNewestAndMissingOnesFail) {
  const auto store = built_store();
  ASSERT_TRUE(store);
  const std::vector<std::uint8_t> versions = store->versions(0);
  ASSERT_FALSE(versions.empty());
  const std::uint8_t newest = versions.back();
  auto newer = store->table_set(TableKey{0, static_cast<std::uint8_t>(newest + 7), 0, 0, 0});
  ASSERT_TRUE(newer.has_value());
  EXPECT_EQ(newer->master_version, newest);
  EXPECT_TRUE(newer->tables == store->table_set(TableKey{0, newest, 0, 0, 0})->tables);
  EXPECT_EQ(store->table_set(TableKey{0, 3, 0, 0, 0}).error().message(),
            "no tables for this message: the table store has no version 3 of master table 0");
  EXPECT_EQ(store->table_set(TableKey{9, 30, 0, 0, 0}).error().message(),
            "no tables for this message: the table store has no master table 9");
}

// A store cut short or with a record pointing outside its arrays is refused when opened.
TEST(TableStoreTest, DamagedStoresAreRefused) {
  TempTree tree;
  tree.write("bufr/tables/0/wmo/30/element.table", "001001|blockNumber|long|WMO BLOCK|Numeric|0|0|7\n");
  tree.write("bufr/tables/0/wmo/30/sequence.def", "\"301001\" = [ 001001 ]\n");
  tree.write("bufr/tables/0/wmo/30/codetables/1003.table", "0 0 ZERO\n");
  auto bytes = build_table_store(tree.path());
  ASSERT_TRUE(bytes.has_value()) << bytes.error().message();
  ASSERT_TRUE(TableStore::from_bytes(*bytes).has_value());
  for (std::size_t cut : {std::size_t{0}, std::size_t{8}, bytes->size() / 2, bytes->size() - 1}) {
    auto r = TableStore::from_bytes(bytes->substr(0, cut));
    ASSERT_FALSE(r.has_value()) << cut;
    EXPECT_TRUE(r.error().message().starts_with("no tables for this message: table store unusable: ")) << cut;
  }
  std::string bad = *bytes;
  bad[0] = 'X';
  EXPECT_FALSE(TableStore::from_bytes(bad).has_value());
}

// ecCodes reads rows of uneven length and blanks around numbers; Debian's ECMWF local table
// has a row without the CREX columns.
TEST(TableStoreTest, IrregularRowsReadAsEccodesDoes) {
  TempTree tree;
  tree.write("bufr/tables/0/wmo/30/element.table", "001001|blockNumber|long|WMO BLOCK|Numeric|0|0|7|x|0|2\n");
  tree.write("bufr/tables/0/wmo/30/sequence.def", "");
  tree.write("bufr/tables/0/local/4/98/0/element.table",
             "025201|mode|table|MODE|Code table|0|0|8|CODE TABLE|0|3\n"
             "025202|short|long|SHORT ROW|Numeric| 1|-2 |3 \n"
             "025203|tooShort|long\n");
  const BufrMessage m = header(0, 30, 4, 98, 0);
  auto strict = select_definitions_tables(tree.path(), m);
  ASSERT_FALSE(strict.has_value());
  auto t = select_definitions_tables(tree.path(), m, TableRows::AsEccodes);
  ASSERT_TRUE(t.has_value()) << t.error().message();
  const ElementDefinition* e = t->find_element(25202);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(std::tie(e->scale, e->reference, e->width),
            std::make_tuple(1, std::int64_t{-2}, std::uint16_t{3}));
  EXPECT_EQ(t->find_element(25203), nullptr);
  const std::string debian = "/usr/share/eccodes/definitions";
  if (fs::exists(debian + "/bufr/tables/0/local/4/98/0/element.table")) {
    auto real = select_definitions_tables(debian, header(0, 13, 4, 98, 0), TableRows::AsEccodes);
    ASSERT_TRUE(real.has_value()) << real.error().message();
    EXPECT_NE(real->find_element(25201), nullptr);
  }
  // A named root whose table is damaged: the error names the file and the line.
  tree.write("bufr/tables/0/local/4/98/0/element.table",
             "#code|abbreviation\n025200|mode|table|MODE|Code table|0|0|8\n025201|mode|table|MODE|Code "
             "table|0|x|8\n");
  auto broken = select_definitions_tables(tree.path(), m, TableRows::AsEccodes);
  ASSERT_FALSE(broken.has_value());
  EXPECT_NE(
      broken.error().message().find(tree.path("bufr/tables/0/local/4/98/0/element.table") + ": line 3: "),
      std::string::npos)
      << broken.error().message();
  tree.write("bufr/tables/0/local/4/98/0/element.table", "025201|mode|table|MODE|Code table|0|0|8\n");
  tree.write("bufr/tables/0/local/4/98/0/sequence.def",
             "\"340001\" = [ 025201 ]\n\n\"34x002\" = [\n 025201 ]\n");
  broken = select_definitions_tables(tree.path(), m, TableRows::AsEccodes);
  ASSERT_FALSE(broken.has_value());
  EXPECT_NE(
      broken.error().message().find(tree.path("bufr/tables/0/local/4/98/0/sequence.def") + ": line 3: "),
      std::string::npos)
      << broken.error().message();
}

}  // namespace
}  // namespace quorvex
