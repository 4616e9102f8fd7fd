#include "tables/decimal.hpp"

#include <limits>

#include <gtest/gtest.h>

namespace quorvex {
namespace {

struct FieldCase {
  const char* text;
  const char* error;  // nullptr: parses
};

TEST(DecimalTest, UnsignedGrammar) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(parse_unsigned("0", kMax).value(), 0u);
  EXPECT_EQ(parse_unsigned("+17", kMax).value(), 17u);
  EXPECT_EQ(parse_unsigned("0001001", kMax).value(), 1001u);
  EXPECT_EQ(parse_unsigned("18446744073709551615", kMax).value(), kMax);
  EXPECT_EQ(parse_unsigned("18446744073709551616", kMax).error(), DecimalFault::TooLarge);
  EXPECT_EQ(parse_unsigned("65535", 65535).value(), 65535u);
  EXPECT_EQ(parse_unsigned("65536", 65535).error(), DecimalFault::TooLarge);
  EXPECT_EQ(parse_unsigned("", kMax).error(), DecimalFault::Empty);
  for (const char* bad : {"+", "-", "-0", "-1", " 1", "1 ", "1_000", "0x10", "++1", "1.0", "١"}) {
    EXPECT_EQ(parse_unsigned(bad, kMax).error(), DecimalFault::InvalidDigit) << bad;
  }
}

TEST(DecimalTest, SignedGrammar) {
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(parse_signed("-9223372036854775808", kMin, kMax).value(), kMin);
  EXPECT_EQ(parse_signed("9223372036854775807", kMin, kMax).value(), kMax);
  EXPECT_EQ(parse_signed("-9223372036854775809", kMin, kMax).error(), DecimalFault::TooSmall);
  EXPECT_EQ(parse_signed("9223372036854775808", kMin, kMax).error(), DecimalFault::TooLarge);
  EXPECT_EQ(parse_signed("-0", kMin, kMax).value(), 0);
  EXPECT_EQ(parse_signed("+5", -10, 10).value(), 5);
  EXPECT_EQ(parse_signed("-11", -10, 10).error(), DecimalFault::TooSmall);
  EXPECT_EQ(parse_signed("-", kMin, kMax).error(), DecimalFault::InvalidDigit);
  EXPECT_EQ(parse_signed("+-1", kMin, kMax).error(), DecimalFault::InvalidDigit);
  EXPECT_EQ(parse_signed("", kMin, kMax).error(), DecimalFault::Empty);
}

TEST(DecimalTest, FirstFaultLeftToRightWins) {
  EXPECT_EQ(parse_unsigned("99999x", 65535).error(), DecimalFault::TooLarge);
  EXPECT_EQ(parse_unsigned("9x99999", 65535).error(), DecimalFault::InvalidDigit);
}

template <class T>
Status status_of(const Result<T>& r) {
  if (r) return {};
  return fail(r.error());
}

class FieldTest : public ::testing::TestWithParam<std::tuple<char, FieldCase>> {};

TEST_P(FieldTest, TextOfEachColumnParser) {
  const auto [kind, c] = GetParam();
  Status got = [&]() -> Status {
    switch (kind) {
      case 's':
        return status_of(parse_i32_field(c.text));
      case 'r':
        return status_of(parse_i64_field(c.text));
      default:
        return status_of(parse_u16_field(c.text));
    }
  }();
  if (c.error == nullptr) {
    EXPECT_TRUE(got.has_value()) << got.error().message();
  } else {
    ASSERT_FALSE(got.has_value()) << c.text;
    EXPECT_EQ(got.error().kind(), ErrorKind::TableText);
    EXPECT_EQ(got.error().message(), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Columns, FieldTest,
    ::testing::Values(
        std::make_tuple('s', FieldCase{"-2147483648", nullptr}),
        std::make_tuple('s', FieldCase{"2147483648",
                                       "csv/table parse error: bad i32 \"2147483648\": number too "
                                       "large to fit in target type"}),
        std::make_tuple('s', FieldCase{"-2147483649",
                                       "csv/table parse error: bad i32 \"-2147483649\": number too "
                                       "small to fit in target type"}),
        std::make_tuple('s', FieldCase{" 1",
                                       "csv/table parse error: bad i32 \" 1\": invalid digit found "
                                       "in string"}),
        std::make_tuple('r', FieldCase{"-1000000000000", nullptr}),
        std::make_tuple('r', FieldCase{"",
                                       "csv/table parse error: bad i64 \"\": cannot parse "
                                       "integer from empty string"}),
        std::make_tuple('r', FieldCase{"1e3",
                                       "csv/table parse error: bad i64 \"1e3\": invalid "
                                       "digit found in string"}),
        std::make_tuple('w', FieldCase{"65535", nullptr}),
        std::make_tuple('w', FieldCase{"70000",
                                       "csv/table parse error: bad u16 \"70000\": number "
                                       "too large to fit in target type"}),
        std::make_tuple('w', FieldCase{"-1",
                                       "csv/table parse error: bad u16 \"-1\": invalid digit "
                                       "found in string"}),
        std::make_tuple('w', FieldCase{"8\t",
                                       "csv/table parse error: bad u16 \"8\\t\": invalid "
                                       "digit found in string"})));

TEST(DescriptorCodeTest, TrimsBlanksThenQuotes) {
  EXPECT_EQ(parse_descriptor_code("001001").value(), 1001u);
  EXPECT_EQ(parse_descriptor_code("  001001 \t").value(), 1001u);
  EXPECT_EQ(parse_descriptor_code("\"301011\"").value(), 301011u);
  EXPECT_EQ(parse_descriptor_code(" \"\"001001\" ").value(), 1001u);
  EXPECT_EQ(parse_descriptor_code("\xC2\xA0"
                                  "1001\xE3\x80\x80")
                .value(),
            1001u);  // NBSP, ideographic space
  EXPECT_EQ(parse_descriptor_code("4294967295").value(), 4294967295u);
}

TEST(DescriptorCodeTest, FailuresQuoteTheTextAsGiven) {
  const std::pair<const char*, const char*> cases[] = {
      {"abc", "bad descriptor code \"abc\": invalid digit found in string"},
      {"", "bad descriptor code \"\": cannot parse integer from empty string"},
      {" \"\" ", "bad descriptor code \" \\\"\\\" \": cannot parse integer from empty string"},
      {"00a001", "bad descriptor code \"00a001\": invalid digit found in string"},
      {"\" 1001\"", "bad descriptor code \"\\\" 1001\\\"\": invalid digit found in string"},
      {"4294967296", "bad descriptor code \"4294967296\": number too large to fit in target type"},
      {"-1", "bad descriptor code \"-1\": invalid digit found in string"},
  };
  for (const auto& [text, want] : cases) {
    auto got = parse_descriptor_code(text);
    ASSERT_FALSE(got.has_value()) << text;
    EXPECT_EQ(got.error().text(), want);
  }
}

TEST(CodeTableKeyTest, Texts) {
  EXPECT_EQ(parse_code_table_key("18446744073709551615").value(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(parse_code_table_key("x").error().text(),
            "bad code table key \"x\": invalid digit found in string");
  EXPECT_EQ(parse_code_table_key("18446744073709551616").error().text(),
            "bad code table key \"18446744073709551616\": number too large to fit in target type");
}

}  // namespace
}  // namespace quorvex
