#include "tables/csv_reader.hpp"

#include <gtest/gtest.h>

#include "temp_tree.hpp"

namespace quorvex {
namespace {

using Rows = std::vector<std::vector<std::string>>;

constexpr DelimitedFormat kPipe{.delimiter = '|', .comment = '#', .header = false};
constexpr DelimitedFormat kCsv{.delimiter = ',', .comment = '\0', .header = true};

Result<Rows> read_rows(std::string_view text, const DelimitedFormat& format) {
  Rows rows;
  QV_CHECK(read_delimited_text(text, format, [&](RecordFields f) -> Status {
    rows.emplace_back(f.begin(), f.end());
    return {};
  }));
  return rows;
}

std::string error_of(std::string_view text, const DelimitedFormat& format) {
  auto r = read_rows(text, format);
  if (r) return "no error";
  EXPECT_EQ(r.error().kind(), ErrorKind::TableText);
  return r.error().text();
}

TEST(CsvReaderTest, LineEndsBlankLinesAndComments) {
  const Rows want{{"a", "b"}, {"c", "d"}, {"e", "f"}, {"g", "h"}};
  for (const char* text : {"a|b\nc|d\ne|f\ng|h",
                           "a|b\r\nc|d\r\ne|f\r\ng|h\r\n",
                           "a|b\rc|d\re|f\rg|h\r",
                           "#x|y|z\n\na|b\n\r\n#c\nc|d\n\n\ne|f\ng|h\n"}) {
    EXPECT_EQ(read_rows(text, kPipe).value(), want) << text;
  }
}

TEST(CsvReaderTest, NoTrimmingAndQuotesOnlyAtFieldStart) {
  EXPECT_EQ(read_rows(" a | b \n", kPipe).value(), (Rows{{" a ", " b "}}));
  EXPECT_EQ(read_rows("5\"|x\"y\"\n", kPipe).value(), (Rows{{"5\"", "x\"y\""}}));
  EXPECT_EQ(read_rows(" \"q\"|z\n", kPipe).value(), (Rows{{" \"q\"", "z"}}));
  EXPECT_EQ(read_rows("\"a|b\"|\"say \"\"hi\"\"\"|\"\"\n", kPipe).value(), (Rows{{"a|b", "say \"hi\"", ""}}));
  EXPECT_EQ(read_rows("||\n", kPipe).value(), (Rows{{"", "", ""}}));
}

TEST(CsvReaderTest, QuotedFieldSpansLinesAndKeepsHashLines) {
  const std::string text = "h1,h2\n\"line1\n#not a comment\r\nline3\",x\ny,z\n";
  EXPECT_EQ(read_rows(text, kCsv).value(), (Rows{{"line1\n#not a comment\r\nline3", "x"}, {"y", "z"}}));
}

TEST(CsvReaderTest, QuotedAndPlainRecordsInterleave) {
  // Plain lines are split in place, records with a quoted field go through the CSV parser;
  // record numbers and positions run on across both.
  const std::string text =
      "a|x\"y\n"
      "\"b\nc\"|d\r\n"
      "#comment\n"
      "e|\"\"\n"
      "f|\"g|h\"\r"
      "i|j";
  EXPECT_EQ(read_rows(text, kPipe).value(),
            (Rows{{"a", "x\"y"}, {"b\nc", "d"}, {"e", ""}, {"f", "g|h"}, {"i", "j"}}));
  EXPECT_EQ(error_of(text + "|k\n", kPipe),
            "CSV error: record 4 (line: 7, byte: 37): found record with 3 fields, but the previous "
            "record has 2 fields");
  EXPECT_EQ(error_of("\"q\"|r\ns|\xFF\n", kPipe),
            "CSV parse error: record 1 (line 2, field: 1, byte: 6): invalid utf-8: invalid UTF-8 in "
            "field 1 near byte index 0");
}

TEST(CsvReaderTest, HeaderRowIsNotData) {
  EXPECT_EQ(read_rows("a,b\n", kCsv).value(), Rows{});
  EXPECT_EQ(read_rows("", kCsv).value(), Rows{});
  EXPECT_EQ(read_rows("a,b\n1,2", kCsv).value(), (Rows{{"1", "2"}}));
}

TEST(CsvReaderTest, ByteOrderMarkIsSkipped) {
  EXPECT_EQ(read_rows("\xEF\xBB\xBFh,i\n1,2\n", kCsv).value(), (Rows{{"1", "2"}}));
  EXPECT_EQ(read_rows("\xEF\xBB\xBF#comment\na|b\n", kPipe).value(), (Rows{{"a", "b"}}));
  // Only at the very start: elsewhere it is field text.
  EXPECT_EQ(read_rows("a|b\n\xEF\xBB\xBF"
                      "c|d\n",
                      kPipe)
                .value(),
            (Rows{{"a", "b"},
                  {"\xEF\xBB\xBF"
                   "c",
                   "d"}}));
}

TEST(CsvReaderTest, UnevenRecordGivesPosition) {
  EXPECT_EQ(error_of("#c\na|b|c\n\nd|e\n", kPipe),
            "CSV error: record 1 (line: 4, byte: 10): found record with 2 fields, but the "
            "previous record has 3 fields");
  EXPECT_EQ(error_of("h,i\n1,2,3\n", kCsv),
            "CSV error: record 1 (line: 2, byte: 4): found record with 3 fields, but the previous "
            "record has 2 fields");
  // A header with 5 fields and rows with 6: the rows are errors, not skipped.
  EXPECT_EQ(error_of("a,b,c,d,e\n1,2,3,4,5,6\n", kCsv).substr(0, 26), "CSV error: record 1 (line:");
}

TEST(CsvReaderTest, InvalidUtf8GivesFieldAndOffset) {
  EXPECT_EQ(error_of("ok|fine\nab|c\xFFz\n", kPipe),
            "CSV parse error: record 1 (line 2, field: 1, byte: 8): invalid utf-8: invalid UTF-8 in "
            "field 1 near byte index 1");
  // Overlong form and a surrogate are refused too.
  EXPECT_NE(error_of("\xC0\x80|x\n", kPipe), "no error");
  EXPECT_NE(error_of("\xED\xA0\x80|x\n", kPipe), "no error");
  // The header row of a CSV file is not data and is not checked.
  EXPECT_EQ(error_of("h\xFF,i\n1,2\n", kCsv), "no error");
}

TEST(CsvReaderTest, MalformedQuoting) {
  EXPECT_EQ(error_of("a|\"open\nb|c\n", kPipe),
            "CSV error: record 0 (line: 1, byte: 0): quoted field 1 is not closed at end of file");
  EXPECT_EQ(error_of("a|\"b\"c|d\n", kPipe),
            "CSV error: record 0 (line: 1, byte: 0): text after the closing quote of field 1");
}

TEST(CsvReaderTest, VisitorErrorStopsReading) {
  int seen = 0;
  Status s = read_delimited_text("a\nb\nc\n", kPipe, [&](RecordFields) -> Status {
    if (++seen == 2) return fail(BufrError::table_text("stop"));
    return {};
  });
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().text(), "stop");
  EXPECT_EQ(seen, 2);
}

TEST(CsvReaderTest, BinaryGarbageEndsInAnError) {
  std::string garbage;
  std::uint32_t state = 12345;
  for (int i = 0; i < 4096; ++i) {
    state = state * 1103515245 + 12345;
    garbage += static_cast<char>(state >> 24);
  }
  EXPECT_NE(error_of(garbage, kPipe), "no error");
  EXPECT_NE(error_of(garbage, kCsv), "no error");
}

TEST(CsvReaderTest, OpenFailureCarriesPlatformText) {
  testing::TempTree tree;
  Status s = read_delimited_file(tree.path("missing.csv"), kCsv, [](RecordFields) -> Status { return {}; });
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().kind(), ErrorKind::TableText);
  EXPECT_EQ(s.error().text(), "No such file or directory (os error 2)");
  s = read_delimited_file(tree.path(), kCsv, [](RecordFields) -> Status { return {}; });
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().text(), "Is a directory (os error 21)");
}

}  // namespace
}  // namespace quorvex
