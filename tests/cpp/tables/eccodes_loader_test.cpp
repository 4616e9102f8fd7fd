#include "tables/eccodes_loader.hpp"

#include <gtest/gtest.h>

#include "../corpus_location.hpp"
#include "temp_tree.hpp"

namespace quorvex {
namespace {

using testing::TempTree;

constexpr const char* kHeader =
    "#code|abbreviation|type|name|unit|scale|reference|width|crex_unit|crex_scale|crex_width\n";

std::string load_error(const std::string& dir) {
  TableSet t;
  Status s = load_table_directory(dir, t);
  return s ? "no error" : s.error().message();
}

// A directory holding an element table and a sequence file.
std::string make_dir(const TempTree& tree, std::string_view elements, std::string_view sequences) {
  tree.write("d/element.table", elements);
  tree.write("d/sequence.def", sequences);
  return tree.path("d");
}

TEST(ElementTableTest, ReadsColumnsVerbatim) {
  TempTree tree;
  const auto dir = make_dir(tree,
                            std::string(kHeader) +
                                "001001|blockNumber|long|WMO BLOCK NUMBER|Numeric|0|0|7|Numeric|0|2\n"
                                "012101| t |double|TEMPERATURE \"DRY\"|K|2|-1000000000000|16|C|1|4\n",
                            "");
  TableSet t;
  ASSERT_TRUE(load_table_directory(dir, t).has_value());
  EXPECT_EQ(t.element_count(), 2u);
  EXPECT_EQ(t.sequence_count(), 0u);
  EXPECT_EQ(t.code_table_count(), 0u);
  const ElementDefinition* e = t.find_element(12101);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->abbreviation, " t ");
  EXPECT_EQ(e->element_type, "double");
  EXPECT_EQ(e->name, "TEMPERATURE \"DRY\"");
  EXPECT_EQ(e->unit, "K");
  EXPECT_EQ(e->scale, 2);
  EXPECT_EQ(e->reference, -1000000000000);
  EXPECT_EQ(e->width, 16);
}

TEST(ElementTableTest, ShortRowsSkippedLaterRowsWin) {
  TempTree tree;
  auto dir = make_dir(tree, "1|a|b|c|d|0|0\n2|a|b|c|d|0|0\n", "");
  TableSet t;
  ASSERT_TRUE(load_table_directory(dir, t).has_value());
  EXPECT_EQ(t.element_count(), 0u);

  dir = make_dir(tree, "1001|a|long|first|u|0|0|7\n1001|b|long|second|u|1|2|8\n", "");
  ASSERT_TRUE(load_table_directory(dir, t).has_value());
  ASSERT_EQ(t.element_count(), 1u);
  EXPECT_EQ(t.find_element(1001)->name, "second");
  EXPECT_EQ(t.find_element(1001)->width, 8);
}

TEST(ElementTableTest, ErrorTexts) {
  const std::pair<const char*, const char*> cases[] = {
      {"x1001|a|t|n|u|0|0|7\n",
       "csv/table parse error: bad descriptor code \"x1001\": invalid digit found in string"},
      {"1001|a|t|n|u| 1|0|7\n", "csv/table parse error: bad i32 \" 1\": invalid digit found in string"},
      {"1001|a|t|n|u|0|9223372036854775808|7\n",
       "csv/table parse error: bad i64 \"9223372036854775808\": number too large to fit in target type"},
      {"1001|a|t|n|u|0|0|70000\n",
       "csv/table parse error: bad u16 \"70000\": number too large to fit in target type"},
      // The first failing column in the order code, scale, reference, width.
      {"1001|a|t|n|u|s|r|w\n", "csv/table parse error: bad i32 \"s\": invalid digit found in string"},
      {"1|a|t|n|u|0|0|7|x|y|z\n2|a|t|n|u|0|0|7\n",
       "csv/table parse error: CSV error: record 1 (line: 2, byte: 22): found record with 8 fields, "
       "but the previous record has 11 fields"},
      {"1|a|t|n\xE9|u|0|0|7\n",
       "csv/table parse error: CSV parse error: record 0 (line 1, field: 3, byte: 0): invalid utf-8: "
       "invalid UTF-8 in field 3 near byte index 1"},
  };
  for (const auto& [elements, want] : cases) {
    TempTree tree;
    EXPECT_EQ(load_error(make_dir(tree, elements, "")), want) << elements;
  }
}

TEST(TableDirectoryTest, MissingFiles) {
  TempTree tree;
  EXPECT_EQ(load_error(tree.path("nowhere")),
            "csv/table parse error: No such file or directory (os error 2)");
  tree.write("a/sequence.def", "");
  EXPECT_EQ(load_error(tree.path("a")), "csv/table parse error: No such file or directory (os error 2)");
  tree.write("b/element.table", "");
  EXPECT_EQ(load_error(tree.path("b")), "io error: No such file or directory (os error 2)");
  tree.write("c/element.table", "");
  tree.write("c/sequence.def", "");
  EXPECT_EQ(load_error(tree.path("c")), "no error");
  tree.write("e/element.table", "");
  tree.mkdir("e/sequence.def");
  EXPECT_EQ(load_error(tree.path("e")), "io error: Is a directory (os error 21)");
}

TEST(SequenceFileTest, StatementForms) {
  TempTree tree;
  const auto dir = make_dir(tree,
                            "",
                            "# comment\n"
                            "\"300001\" = [ 001001, 001002 ]\n"
                            "\"300002\" = [ 001001,\n"
                            "   # comment inside\n"
                            "\r\n"
                            "   001002,\r\n"
                            "   001003 ]\n"
                            "\"300003\" = [ ,001001,, 001002, ]\n"
                            "\"300004\" = []\n"
                            " \"300005\"=[301001] trailing text ignored\n"
                            "no equals sign ]\n"
                            "\"300001\" = [ 001009 ]\n"
                            "\"300006\" = [ 001001,\n");
  TableSet t;
  ASSERT_TRUE(load_table_directory(dir, t).has_value());
  EXPECT_EQ(t.sequence_count(), 5u);
  EXPECT_EQ(t.find_sequence(300001)->members, (std::vector<std::uint32_t>{1009}));
  EXPECT_EQ(t.find_sequence(300002)->members, (std::vector<std::uint32_t>{1001, 1002, 1003}));
  EXPECT_EQ(t.find_sequence(300003)->members, (std::vector<std::uint32_t>{1001, 1002}));
  EXPECT_TRUE(t.find_sequence(300004)->members.empty());
  EXPECT_EQ(t.find_sequence(300005)->members, (std::vector<std::uint32_t>{301001}));
  EXPECT_EQ(t.find_sequence(300006), nullptr);  // never closed: dropped
}

TEST(SequenceFileTest, ErrorTexts) {
  const std::pair<const char*, const char*> cases[] = {
      {"\"300001\" = 001001 ]\n", "csv/table parse error: \"300001\" = 001001 ]"},
      {"\"300001\" = ] 001001 [\n", "csv/table parse error: \"300001\" = ] 001001 ["},
      {"\"300001\" = 001001,\n 001002 ]\n", "csv/table parse error: \"300001\" = 001001, 001002 ]"},
      {"\"30x001\" = [ 001001 ]\n",
       "csv/table parse error: bad descriptor code \"30x001\": invalid digit found in string"},
      {"\"300001\" = [ 001001, 1 2 ]\n",
       "csv/table parse error: bad descriptor code \"1 2\": invalid digit found in string"},
      {"\"300001\" = [ \xFF ]\n", "io error: stream did not contain valid UTF-8"},
  };
  for (const auto& [sequences, want] : cases) {
    TempTree tree;
    EXPECT_EQ(load_error(make_dir(tree, "", sequences)), want) << sequences;
  }
}

TEST(CodeTableTest, LinesAndTokens) {
  TempTree tree;
  const auto dir = make_dir(tree, "", "");
  tree.write("d/codetables/1003.table",
             "# header\n0 0 ANTARCTICA\n1 1   REGION\t\tI  \n2 2\n  3 3 x\r\n1 1 REPLACED ONE\n");
  tree.write("d/codetables/20012.table", "");
  TableSet t;
  ASSERT_TRUE(load_table_directory(dir, t).has_value());
  EXPECT_EQ(t.code_table_count(), 2u);
  EXPECT_EQ(*t.find_meaning(1003, 0), "ANTARCTICA");
  EXPECT_EQ(*t.find_meaning(1003, 1), "REPLACED ONE");
  EXPECT_EQ(t.find_meaning(1003, 2), nullptr);
  EXPECT_EQ(*t.find_meaning(1003, 3), "x");
  ASSERT_NE(t.find_code_table(20012), nullptr);
  EXPECT_TRUE(t.find_code_table(20012)->empty());
  EXPECT_EQ(t.find_meaning(20012, 0), nullptr);
}

TEST(CodeTableTest, LaterFileOfTheSameCodeWinsWhole) {
  TempTree tree;
  const auto dir = make_dir(tree, "", "");
  tree.write("d/codetables/01003.table", "0 0 FROM 01003\n5 5 ONLY IN 01003\n");
  tree.write("d/codetables/1003.table", "0 0 FROM 1003\n");
  tree.write("d/codetables/readme.txt", "not a table");
  TableSet t;
  ASSERT_TRUE(load_table_directory(dir, t).has_value());
  EXPECT_EQ(*t.find_meaning(1003, 0), "FROM 1003");
  EXPECT_EQ(t.find_meaning(1003, 5), nullptr);
}

TEST(CodeTableTest, ErrorTexts) {
  const std::pair<std::pair<const char*, const char*>, const char*> cases[] = {
      {{"notes.table", "0 0 x\n"},
       "csv/table parse error: bad descriptor code \"notes\": invalid digit found in string"},
      {{"1003.table", "x 0 meaning\n"},
       "csv/table parse error: bad code table key \"x\": invalid digit found in string"},
      {{"1003.table", "-1 0 meaning\n"},
       "csv/table parse error: bad code table key \"-1\": invalid digit found in string"},
      {{"1003.table", "0 0 caf\xE9\n"}, "io error: stream did not contain valid UTF-8"},
  };
  for (const auto& [file, want] : cases) {
    TempTree tree;
    const auto dir = make_dir(tree, "", "");
    tree.write(std::string("d/codetables/") + file.first, file.second);
    EXPECT_EQ(load_error(dir), want) << file.first;
  }
  TempTree tree;
  const auto dir = make_dir(tree, "", "");
  tree.mkdir("d/codetables/1003.table");
  EXPECT_EQ(load_error(dir), "io error: Is a directory (os error 21)");
}

TEST(TableDirectoryTest, BinaryGarbageInEachFileFails) {
  std::string garbage;
  std::uint32_t state = 99;
  for (int i = 0; i < 8192; ++i) {
    state = state * 1664525 + 1013904223;
    garbage += static_cast<char>(state >> 24);
  }
  for (const char* file : {"element.table", "sequence.def", "codetables/1001.table"}) {
    TempTree tree;
    const auto dir = make_dir(tree, "", "");
    tree.write(std::string("d/") + file, garbage);
    EXPECT_NE(load_error(dir), "no error") << file;
  }
}

// --- The tables shipped with ecCodes -------------------------------------------------

TEST(RealTablesTest, KnownEntriesOfWmo38) {
  const std::string definitions = testing::definitions_root();
  if (definitions.empty()) GTEST_SKIP() << "ecCodes definitions not installed";
  auto t = load_table_directory(definitions + "/bufr/tables/0/wmo/38");
  ASSERT_TRUE(t.has_value()) << t.error().message();
  const ElementDefinition* e = t->find_element(12101);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->unit, "K");
  EXPECT_EQ(e->scale, 2);
  EXPECT_EQ(e->reference, 0);
  EXPECT_EQ(e->width, 16);
  EXPECT_EQ(t->find_sequence(301011)->members, (std::vector<std::uint32_t>{4001, 4002, 4003}));
  ASSERT_NE(t->find_meaning(1003, 0), nullptr);
  EXPECT_EQ(*t->find_meaning(1003, 0), "ANTARCTICA");
  EXPECT_GT(t->element_count(), 1500u);
  EXPECT_GT(t->sequence_count(), 500u);
}

}  // namespace
}  // namespace quorvex
