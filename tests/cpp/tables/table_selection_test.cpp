#include "tables/table_selection.hpp"

#include <filesystem>

#include <gtest/gtest.h>

#include "../corpus_location.hpp"
#include "temp_tree.hpp"

namespace quorvex {
namespace {

using testing::TempTree;

BufrMessage header(std::uint8_t version, std::uint8_t local, std::uint16_t centre, std::uint16_t subcentre) {
  BufrMessage m;
  m.edition = 4;
  m.master_tables_version_number = version;
  m.local_tables_version_number = local;
  m.originating_centre = centre;
  m.originating_subcentre = subcentre;
  return m;
}

// A definitions root with WMO version 30 (element 1001, sequence 301001, code table 1003).
void write_wmo(const TempTree& tree, std::string_view version = "30") {
  const std::string dir = "bufr/tables/0/wmo/" + std::string(version) + "/";
  tree.write(dir + "element.table",
             "001001|block|long|WMO BLOCK|Numeric|0|0|7\n"
             "001002|station|long|WMO STATION|Numeric|0|0|10\n");
  tree.write(dir + "sequence.def", "\"301001\" = [ 001001, 001002 ]\n");
  tree.write(dir + "codetables/1003.table", "0 0 WMO ZERO\n1 1 WMO ONE\n");
}

std::string select_error(const std::string& root, const BufrMessage& m) {
  auto r = select_definitions_tables(root, m);
  return r ? "no error" : r.error().message();
}

TEST(DefinitionsTest, PathsFromTheHeader) {
  BufrMessage m = header(19, 1, 98, 0);
  EXPECT_EQ(wmo_table_path("/r", m), "/r/bufr/tables/0/wmo/19");
  EXPECT_EQ(local_table_path("/r", m), "/r/bufr/tables/0/local/19-1/98/0");
  m = header(20, 1, 7, 65535);
  m.master_table_number = 10;
  EXPECT_EQ(local_table_path("/r/", m), "/r/bufr/tables/10/local/1/7/65535");
}

TEST(DefinitionsTest, LocalTablesReplaceWmoEntries) {
  TempTree tree;
  write_wmo(tree);
  tree.write("bufr/tables/0/local/2/98/0/element.table",
             "001001|lb|long|LOCAL BLOCK|Numeric|0|0|8\n001192|x|long|LOCAL ONLY|Numeric|0|0|4\n");
  tree.write("bufr/tables/0/local/2/98/0/codetables/1003.table", "7 7 LOCAL SEVEN\n");
  auto t = select_definitions_tables(tree.path(), header(30, 2, 98, 0));
  ASSERT_TRUE(t.has_value()) << t.error().message();
  EXPECT_EQ(t->element_count(), 3u);
  EXPECT_EQ(t->find_element(1001)->name, "LOCAL BLOCK");
  EXPECT_EQ(t->find_element(1002)->name, "WMO STATION");
  EXPECT_EQ(t->sequence_count(), 1u);
  EXPECT_EQ(t->find_meaning(1003, 0), nullptr);  // the local code table replaced the whole table
  EXPECT_EQ(*t->find_meaning(1003, 7), "LOCAL SEVEN");

  // Local version 0: WMO only although local tables exist.
  t = select_definitions_tables(tree.path(), header(30, 0, 98, 0));
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->find_element(1001)->name, "WMO BLOCK");
  EXPECT_EQ(t->element_count(), 2u);
}

TEST(DefinitionsTest, MissingLocalPiecesAreSkipped) {
  TempTree tree;
  write_wmo(tree);
  EXPECT_EQ(select_error(tree.path(), header(30, 5, 98, 0)), "no error");  // no local directory
  tree.mkdir("bufr/tables/0/local/5/98/0");
  EXPECT_EQ(select_error(tree.path(), header(30, 5, 98, 0)), "no error");  // empty one
  tree.write("bufr/tables/0/local/5/98/0/sequence.def", "\"340001\" = [ 001001 ]\n");
  auto t = select_definitions_tables(tree.path(), header(30, 5, 98, 0));
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->sequence_count(), 2u);
  // A local file that is broken ends the selection with its error.
  tree.write("bufr/tables/0/local/5/98/0/element.table", "a|b\nc\n");
  EXPECT_EQ(select_error(tree.path(), header(30, 5, 98, 0)).substr(0, 33),
            "csv/table parse error: CSV error:");
}

TEST(DefinitionsTest, MissingWmoDirectory) {
  TempTree tree;
  const std::string root = tree.path("none");
  EXPECT_EQ(
      select_error(root, header(30, 0, 98, 0)),
      "csv/table parse error: ecCodes table directory does not exist: " + root + "/bufr/tables/0/wmo/30");
}

TEST(DefinitionsTest, AliasesAreFollowed) {
  TempTree tree;
  write_wmo(tree);
  tree.write("bufr/tables/0/wmo/31", "30\n");
  tree.write("bufr/tables/0/wmo/32", "  31 \r\n");
  auto t = select_definitions_tables(tree.path(), header(32, 0, 0, 0));
  ASSERT_TRUE(t.has_value()) << t.error().message();
  EXPECT_EQ(t->element_count(), 2u);
  EXPECT_EQ(resolve_table_directory(tree.path("bufr/tables/0/wmo/32")).value(),
            tree.path("bufr/tables/0/wmo/30"));
}

TEST(DefinitionsTest, BadAliases) {
  TempTree tree;
  write_wmo(tree);
  const std::string wmo = tree.path("bufr/tables/0/wmo/");
  const std::pair<const char*, std::string> cases[] = {
      {"", "csv/table parse error: invalid ecCodes table alias " + wmo + "40 -> \"\""},
      {" \n\t", "csv/table parse error: invalid ecCodes table alias " + wmo + "40 -> \"\""},
      {"../wmo/30", "csv/table parse error: invalid ecCodes table alias " + wmo + "40 -> \"../wmo/30\""},
      {"a\\b", "csv/table parse error: invalid ecCodes table alias " + wmo + "40 -> \"a\\\\b\""},
      {"\xFF\xFE", "io error: stream did not contain valid UTF-8"},
      {"99", "csv/table parse error: ecCodes table directory does not exist: " + wmo + "99"},
      {"30\n31", "csv/table parse error: ecCodes table directory does not exist: " + wmo + "30\n31"},
  };
  for (const auto& [content, want] : cases) {
    tree.write("bufr/tables/0/wmo/40", content);
    EXPECT_EQ(select_error(tree.path(), header(40, 0, 0, 0)), want) << content;
  }
}

TEST(DefinitionsTest, AliasLoopsEnd) {
  TempTree tree;
  tree.write("bufr/tables/0/wmo/40", "40");
  tree.write("bufr/tables/0/wmo/41", "42");
  tree.write("bufr/tables/0/wmo/42", "41");
  const std::string wmo = tree.path("bufr/tables/0/wmo/");
  EXPECT_EQ(select_error(tree.path(), header(40, 0, 0, 0)),
            "csv/table parse error: invalid ecCodes table alias " + wmo + "40 -> \"40\"");
  EXPECT_EQ(select_error(tree.path(), header(41, 0, 0, 0)).substr(0, 51),
            "csv/table parse error: invalid ecCodes table alias ");
}

TEST(DefinitionsTest, HugeAliasFileFailsCleanly) {
  TempTree tree;
  tree.write("bufr/tables/0/wmo/40", std::string(1 << 20, 'a'));
  const std::string got = select_error(tree.path(), header(40, 0, 0, 0));
  EXPECT_EQ(got.substr(0, 63), "csv/table parse error: ecCodes table directory does not exist: ");
}

// --- The definitions shipped with ecCodes --------------------------------------------

TEST(RealDefinitionsTest, EveryWmoVersionLoads) {
  const std::string definitions = testing::definitions_root();
  if (definitions.empty()) GTEST_SKIP() << "ecCodes definitions not installed";
  int versions = 0;
  for (const auto& entry : std::filesystem::directory_iterator(definitions + "/bufr/tables/0/wmo")) {
    const int version = std::stoi(entry.path().filename().string());
    auto t = select_definitions_tables(definitions, header(static_cast<std::uint8_t>(version), 0, 0, 0));
    ASSERT_TRUE(t.has_value()) << version << ": " << t.error().message();
    EXPECT_GT(t->element_count(), 400u) << version;
    ++versions;
  }
  EXPECT_GE(versions, 30);
}

TEST(RealDefinitionsTest, EveryLocalDirectoryLoadsBesideTwoMixedTables) {
  const std::string definitions = testing::definitions_root();
  if (definitions.empty()) GTEST_SKIP() << "ecCodes definitions not installed";
  const std::string local = definitions + "/bufr/tables/0/local";
  int loaded = 0;
  for (const auto& l : std::filesystem::directory_iterator(local)) {
    for (const auto& c : std::filesystem::directory_iterator(l.path())) {
      for (const auto& s : std::filesystem::directory_iterator(c.path())) {
        const std::string name = l.path().filename().string();
        const bool v19 = name.starts_with("19-");
        const auto m = header(v19 ? 19 : 38,
                              static_cast<std::uint8_t>(std::stoi(v19 ? name.substr(3) : name)),
                              static_cast<std::uint16_t>(std::stoi(c.path().filename().string())),
                              static_cast<std::uint16_t>(std::stoi(s.path().filename().string())));
        ASSERT_EQ(local_table_path(definitions, m), s.path().string());
        const std::string rel =
            name + "/" + c.path().filename().string() + "/" + s.path().filename().string();
        const std::string got = select_error(definitions, m);
        if (rel == "19-1/254/0" || rel == "4/98/0") {
          EXPECT_NE(got.find("found record with 8 fields, but the previous record has 11 fields"),
                    std::string::npos)
              << rel << ": " << got;
        } else {
          EXPECT_EQ(got, "no error") << rel;
          ++loaded;
        }
      }
    }
  }
  EXPECT_GE(loaded, 35);
}

}  // namespace
}  // namespace quorvex
