#include "lib/text.hpp"

#include <string>

#include <gtest/gtest.h>

namespace quorvex {
namespace {

TEST(CodeTextTest, ZeroFilledToSixDigits) {
  EXPECT_EQ(code_text(0), "000000");
  EXPECT_EQ(code_text(1001), "001001");
  EXPECT_EQ(code_text(301011), "301011");
  EXPECT_EQ(code_text(25755255), "25755255");
  EXPECT_EQ(code_text(4294967295u), "4294967295");
}

struct QuoteCase {
  std::string input;
  std::string quoted;
};

class QuoteLiteralTest : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteLiteralTest, Escapes) { EXPECT_EQ(quote_literal(GetParam().input), GetParam().quoted); }

INSTANTIATE_TEST_SUITE_P(
    Cases, QuoteLiteralTest,
    ::testing::Values(QuoteCase{"", "\"\""}, QuoteCase{"abc", "\"abc\""},
                      QuoteCase{"say \"hi\"", "\"say \\\"hi\\\"\""},
                      QuoteCase{"back\\slash", "\"back\\\\slash\""}, QuoteCase{"it's", "\"it's\""},
                      QuoteCase{"\t\r\n", "\"\\t\\r\\n\""}, QuoteCase{std::string("A\0B", 3), "\"A\\0B\""},
                      QuoteCase{"\x1b[0m", "\"\\u{1b}[0m\""}, QuoteCase{"\x7f", "\"\\u{7f}\""},
                      // Printable non-ASCII stands unchanged; a combining mark is escaped.
                      QuoteCase{"\xc3\xa9t\xc3\xa9", "\"\xc3\xa9t\xc3\xa9\""},
                      QuoteCase{"e\xcc\x81", "\"e\\u{301}\""},
                      // Octets that are not UTF-8 show as the replacement character.
                      QuoteCase{"a\xff", "\"a\xef\xbf\xbd\""}));

TEST(Utf8Test, RejectsMalformedSequencesAtTheirOffset) {
  std::size_t bad = 99;
  EXPECT_TRUE(valid_utf8("plain \xc3\xa9 text", &bad));
  EXPECT_FALSE(valid_utf8("ab\xc0\x80", &bad));  // overlong NUL
  EXPECT_EQ(bad, 2u);
  EXPECT_FALSE(valid_utf8("\xed\xa0\x80", &bad));  // surrogate
  EXPECT_EQ(bad, 0u);
  EXPECT_FALSE(valid_utf8("xyz\xe2\x82", &bad));  // cut off
  EXPECT_EQ(bad, 3u);
  EXPECT_FALSE(valid_utf8("\xf5\x80\x80\x80", &bad));  // above U+10FFFF
}

}  // namespace
}  // namespace quorvex
