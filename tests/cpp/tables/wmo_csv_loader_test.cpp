#include "tables/wmo_csv_loader.hpp"

#include <gtest/gtest.h>

#include "temp_tree.hpp"

namespace quorvex {
namespace {

using testing::TempTree;

constexpr const char* kBHeader =
    "ClassNo,ClassName_en,FXY,ElementName_en,BUFR_Unit,BUFR_Scale,BUFR_ReferenceValue,"
    "BUFR_DataWidth_Bits,CREX_Unit,CREX_Scale,CREX_DataWidth_Char,Note_en,noteIDs,Status\n";
constexpr const char* kDHeader =
    "Category,CategoryOfSequences_en,FXY1,Title_en,SubTitle_en,FXY2,ElementName_en,"
    "ElementDescription_en,Note_en,noteIDs,Status\n";

std::string b_row(std::string_view code, std::string_view name, std::string_view unit,
                  std::string_view scale = "0", std::string_view reference = "0",
                  std::string_view width = "7") {
  return "01,Identification," + std::string(code) + "," + std::string(name) + "," + std::string(unit) + "," +
         std::string(scale) + "," + std::string(reference) + "," + std::string(width) +
         ",Numeric,0,2,,,Operational\n";
}

std::string d_row(std::string_view seq, std::string_view member) {
  return "01,Location," + std::string(seq) + ",(title),," + std::string(member) + ",name,,,,Operational\n";
}

std::string load_error(const std::string& dir) {
  auto t = load_wmo_csv_directory(dir);
  return t ? "no error" : t.error().message();
}

TEST(WmoCsvTest, ElementsFromColumnsAndTypesFromUnits) {
  TempTree tree;
  tree.write("BUFRCREX_TableB_en_01.csv",
             std::string(kBHeader) + b_row(" 001001 ", "WMO block number", "Numeric") +
                 b_row("\"\"\"001003\"\"\"", "\"Region, WMO\"", "Code table") +
                 b_row("002002", "Wind type", "Flag table") + b_row("001015", "Station", "CCITT IA5") +
                 b_row("020012", "Cloud", "Code Table", "-2", "-40", "16"));
  auto t = load_wmo_csv_directory(tree.path());
  ASSERT_TRUE(t.has_value()) << t.error().message();
  EXPECT_EQ(t->element_count(), 5u);
  EXPECT_EQ(t->code_table_count(), 0u);
  const ElementDefinition* e = t->find_element(1003);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->name, "Region, WMO");
  EXPECT_EQ(e->element_type, "code");
  EXPECT_EQ(e->abbreviation, "");
  EXPECT_EQ(t->find_element(1001)->element_type, "long");
  EXPECT_EQ(t->find_element(2002)->element_type, "flags");
  EXPECT_EQ(t->find_element(1015)->element_type, "string");
  e = t->find_element(20012);
  EXPECT_EQ(e->element_type, "long");
  EXPECT_EQ(e->unit, "Code Table");
  EXPECT_EQ(e->scale, -2);
  EXPECT_EQ(e->reference, -40);
  EXPECT_EQ(e->width, 16);
}

TEST(WmoCsvTest, FileSelectionAndOrder) {
  TempTree tree;
  tree.write("BUFRCREX_TableB_en_01.csv", std::string(kBHeader) + b_row("001001", "first", "Numeric"));
  tree.write("BUFRCREX_TableB_en_02.csv", std::string(kBHeader) + b_row("001001", "second", "Numeric"));
  tree.write("bufrcrex_tableb_en_03.csv", std::string(kBHeader) + b_row("001001", "lower", "Numeric"));
  tree.write("BUFRCREX_TableB_en_04.CSV", std::string(kBHeader) + b_row("001001", "upper", "Numeric"));
  tree.write("BUFR_TableD_en_01.csv",
             std::string(kDHeader) + d_row("301001", "001001") + d_row("301002", "001005") +
                 d_row("301001", "001002"));
  tree.write("BUFR_TableD_en_09.csv", std::string(kDHeader) + d_row("301001", "001003"));
  tree.write("BUFR_TableD_en_10.csv", "a,b,c,d,e\n1,2,301009,4,5\n");  // 5 columns: nothing
  tree.write("BUFR_TableD_en_11.csv", "");
  auto t = load_wmo_csv_directory(tree.path());
  ASSERT_TRUE(t.has_value()) << t.error().message();
  EXPECT_EQ(t->find_element(1001)->name, "second");
  EXPECT_EQ(t->sequence_count(), 2u);
  EXPECT_EQ(t->find_sequence(301001)->members, (std::vector<std::uint32_t>{1003}));
  EXPECT_EQ(t->find_sequence(301002)->members, (std::vector<std::uint32_t>{1005}));
  EXPECT_EQ(t->find_sequence(301009), nullptr);
}

TEST(WmoCsvTest, ShortRowsContributeNothing) {
  TempTree tree;
  tree.write("BUFRCREX_TableB_en_01.csv", "a,b,c,d,e,f,g\n01,x,001001,n,u,0,0\n");
  auto t = load_wmo_csv_directory(tree.path());
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->element_count(), 0u);
}

TEST(WmoCsvTest, EmptyDirectoryIsEmptyTables) {
  TempTree tree;
  auto t = load_wmo_csv_directory(tree.path());
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->element_count() + t->sequence_count(), 0u);
}

TEST(WmoCsvTest, ErrorTexts) {
  const std::pair<std::string, std::string> cases[] = {
      {std::string(kBHeader) + b_row("00a001", "x", "Numeric"),
       "csv/table parse error: bad descriptor code \"00a001\": invalid digit found in string"},
      {std::string(kBHeader) + b_row("001001", "x", "Numeric", " 1"),
       "csv/table parse error: bad i32 \" 1\": invalid digit found in string"},
      {std::string(kBHeader) + b_row("001001", "x", "Numeric", "0", "1.5"),
       "csv/table parse error: bad i64 \"1.5\": invalid digit found in string"},
      {std::string(kBHeader) + b_row("001001", "x", "Numeric", "0", "0", "-1"),
       "csv/table parse error: bad u16 \"-1\": invalid digit found in string"},
      {std::string(kBHeader) + b_row("001001", "x", "Numeric", "0", "0", "70000"),
       "csv/table parse error: bad u16 \"70000\": number too large to fit in target type"},
      {std::string(kBHeader) + "01,a,001001,n,u,0,0,7,u,0,2,,,Operational,extra\n",
       "csv/table parse error: CSV error: record 1 (line: 2, byte: 165): found record with 15 "
       "fields, but the previous record has 14 fields"},
      {std::string(kBHeader) + b_row("001001", "caf\xE9", "Numeric"),
       "csv/table parse error: CSV parse error: record 1 (line 2, field: 3, byte: 165): invalid "
       "utf-8: invalid UTF-8 in field 3 near byte index 3"},
      {std::string(kBHeader) + b_row("001001", "\"open", "Numeric"),
       "csv/table parse error: CSV error: record 1 (line: 2, byte: 165): quoted field 3 is not "
       "closed at end of file"},
  };
  for (const auto& [content, want] : cases) {
    TempTree tree;
    tree.write("BUFRCREX_TableB_en_01.csv", content);
    EXPECT_EQ(load_error(tree.path()), want);
  }
}

TEST(WmoCsvTest, TableDErrorsAndDirectoryErrors) {
  TempTree tree;
  tree.write("BUFR_TableD_en_01.csv", std::string(kDHeader) + d_row("301001", "0010x1"));
  EXPECT_EQ(load_error(tree.path()),
            "csv/table parse error: bad descriptor code \"0010x1\": invalid digit found in string");
  EXPECT_EQ(load_error(tree.path("missing")), "io error: No such file or directory (os error 2)");
  tree.mkdir("sub/BUFRCREX_TableB_en_01.csv");
  EXPECT_EQ(load_error(tree.path("sub")), "csv/table parse error: Is a directory (os error 21)");
}

}  // namespace
}  // namespace quorvex
