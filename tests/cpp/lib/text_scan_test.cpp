#include "lib/text_scan.hpp"

#include <vector>

#include <gtest/gtest.h>

namespace quorvex {
namespace {

TEST(TextScanTest, TrimsUnicodeWhiteSpace) {
  EXPECT_EQ(trim_space(" \t\r\n\v\fabc \n"), "abc");
  // U+00A0, U+0085, U+2003, U+3000, U+205F around the text.
  EXPECT_EQ(trim_space("\xC2\xA0\xC2\x85\xE2\x80\x83x y\xE3\x80\x80\xE2\x81\x9F"), "x y");
  // Not white space: U+200B (zero-width space), U+00AD, and a lone continuation octet.
  EXPECT_EQ(trim_space("\xE2\x80\x8B"
                       "a"),
            "\xE2\x80\x8B"
            "a");
  EXPECT_EQ(trim_space("a\xC2\xAD"), "a\xC2\xAD");
  EXPECT_EQ(trim_space("\x80"), "\x80");
  EXPECT_EQ(trim_space("   "), "");
  // Only one end is a wide space.
  EXPECT_EQ(trim_space("x y\xE3\x80\x80"), "x y");
  EXPECT_EQ(trim_space("\xC2\xA0x y"), "x y");
}

TEST(TextScanTest, TokensAndCollapsedRuns) {
  std::string_view line = "  12 \t 12  CLOUD\xE2\x80\x83 DEVELOPMENT  ";
  EXPECT_EQ(next_token(line), "12");
  EXPECT_EQ(next_token(line), "12");
  std::string meaning;
  append_collapsed(meaning, line);
  EXPECT_EQ(meaning, "CLOUD DEVELOPMENT");
  EXPECT_EQ(next_token(line), "CLOUD");
  EXPECT_EQ(next_token(line), "DEVELOPMENT");
  EXPECT_EQ(next_token(line), "");
  std::string none;
  append_collapsed(none, " \t ");
  EXPECT_EQ(none, "");
  // Appends after what the string already holds; a word may carry non-space wide characters.
  std::string more = "A:";
  append_collapsed(more,
                   "\xC2\xA0 b\xC3\xA9\xE2\x80\x8B"
                   "c \xE2\x80\xA8\n d\xC2\xA0");
  EXPECT_EQ(more,
            "A:b\xC3\xA9\xE2\x80\x8B"
            "c d");
}

TEST(TextScanTest, LinesSplitAtLineFeeds) {
  std::vector<std::string> lines;
  for_each_line("a\r\nb\rc\n\nd", [&](std::string_view l) { lines.emplace_back(l); });
  EXPECT_EQ(lines, (std::vector<std::string>{"a", "b\rc", "", "d"}));
  lines.clear();
  for_each_line("x\n", [&](std::string_view l) { lines.emplace_back(l); });
  EXPECT_EQ(lines, (std::vector<std::string>{"x"}));
}

TEST(TextScanTest, Utf8FastPathKeepsOffsets) {
  std::size_t bad = 0;
  EXPECT_TRUE(utf8_text("plain ascii text over eight octets"));
  EXPECT_TRUE(utf8_text("0123456789abcdef\xC3\xA9t\xC3\xA9"));
  for (std::size_t at : {0u, 5u, 8u, 15u, 16u, 23u}) {
    std::string s(24, 'a');
    s[at] = '\xFF';
    ASSERT_FALSE(utf8_text(s, &bad));
    EXPECT_EQ(bad, at);
  }
  EXPECT_FALSE(utf8_text("abcdefgh\xE2\x82", &bad));  // cut sequence at the end
  EXPECT_EQ(bad, 8u);
}

TEST(TextScanTest, LossyReplacesInvalidSequences) {
  EXPECT_EQ(lossy_utf8("ok"), "ok");
  EXPECT_EQ(lossy_utf8("a\xFF"
                       "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(lossy_utf8("\xFF\xFE"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(lossy_utf8("\xC3\xA9\xE2\x82"), "\xC3\xA9\xEF\xBF\xBD");
}

}  // namespace
}  // namespace quorvex
