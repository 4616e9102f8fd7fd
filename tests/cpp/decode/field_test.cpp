#include "decode/field.hpp"

#include <cctype>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "decode/uncompressed.hpp"
#include "decode_fixture.hpp"
#include "lib/text.hpp"

namespace quorvex {
namespace {

using testing::BitWriter;
using testing::element;

constexpr std::int64_t kMinI64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMaxI64 = std::numeric_limits<std::int64_t>::max();

struct ScaleCase {
  std::uint64_t raw;
  std::int64_t reference;
  std::int32_t scale;
  double expected;
};

class ScaleValueTest : public ::testing::TestWithParam<ScaleCase> {};

// Exact equality: the division form gives the nearest doubles, not near misses.
TEST_P(ScaleValueTest, DividesExactSumByPowerOfTen) {
  const auto& c = GetParam();
  EXPECT_EQ(scale_value(c.raw, c.reference, c.scale), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ScaleValueTest,
                         ::testing::Values(ScaleCase{27315, 0, 2, 273.15}, ScaleCase{3, 0, 1, 0.3},
                                           ScaleCase{12, 0, -1, 120.0}, ScaleCase{5, -5000, 3, -4.995},
                                           ScaleCase{0, -40, 0, -40.0},
                                           // 128-bit sum: neither operand alone, nor a 64-bit sum, holds it.
                                           ScaleCase{~std::uint64_t{0}, kMaxI64, 0, 27670116110564327424.0},
                                           ScaleCase{~std::uint64_t{0}, kMinI64, 0, 9223372036854775808.0},
                                           ScaleCase{1, 0, 400, 0.0}, ScaleCase{1, 0, -400, INFINITY}));

TEST(ConvertTextTest, MissingTrimmingAndReplacement) {
  EXPECT_EQ(convert_text(std::string("\xFF\xFF\xFF")), std::nullopt);
  EXPECT_EQ(convert_text(std::string()), std::nullopt);
  EXPECT_EQ(convert_text(std::string("AB  ")), "AB");
  EXPECT_EQ(convert_text(std::string(" A")), " A");
  EXPECT_EQ(convert_text(std::string("A\0", 2)), std::string("A\0", 2));
  EXPECT_EQ(convert_text(std::string("A\0 \t", 4)), std::string("A\0", 2));
  EXPECT_EQ(convert_text(std::string("\xC4"
                                     "A")),
            "\u00C4A");
  EXPECT_EQ(convert_text(std::string("\xFF"
                                     "A")),
            "\u00FFA");
  EXPECT_EQ(convert_text(std::string(" \t\n\v\f\r")), "");
  EXPECT_EQ(convert_text(std::string("\x1b"
                                     "x\r\n")),
            "\x1b"
            "x");
}

// Every octet, alone and between others: the text tells the octets back exactly (the writer's
// reading), and the per-value module's form has '?' for each octet of 0x80 and above.
TEST(ConvertTextTest, EveryOctetIsToldBackExactly) {
  for (unsigned octet = 0; octet < 256; ++octet) {
    const std::string octets = std::string("a") + static_cast<char>(octet) + "z";
    const std::optional<std::string> text = convert_text(octets);
    ASSERT_TRUE(text.has_value()) << octet;
    EXPECT_TRUE(valid_utf8(*text)) << octet;
    std::string back;
    ASSERT_TRUE(text_octets(*text, back)) << octet;
    EXPECT_EQ(back, octets) << octet;
    EXPECT_EQ(ascii_text(*text), octet >= 0x80 ? std::string("a?z") : octets) << octet;
  }
}

// Characters no octet reads as, and octets that are not UTF-8, have no octets.
TEST(ConvertTextTest, TextsBeyondOctetsHaveNone) {
  std::string out;
  std::size_t bad = 0;
  for (const auto& [text, at] : std::vector<std::pair<std::string, std::size_t>>{
           {"ab\u0100", 2}, {"\u20AC", 0}, {"x\xC3", 1}, {"\xFF", 0}, {"a\xC0\x80", 1}}) {
    EXPECT_FALSE(text_octets(text, out, &bad)) << text;
    EXPECT_EQ(bad, at) << text;
  }
  EXPECT_EQ(character_text("ab\u0100", 2), "'\u0100' (U+0100)");
  EXPECT_EQ(character_text("x\xC3", 1), "an octet 0xC3 that is not UTF-8");
}

TEST(UnitTest, TextAndCodeTableUnits) {
  EXPECT_TRUE(is_text_unit("CCITT IA5"));
  EXPECT_FALSE(is_text_unit("CCITT IA5 "));
  EXPECT_FALSE(is_text_unit("ccitt ia5"));
  for (const char* u : {"Code table", "CODE TABLE", "flag table", "Flag Table"}) {
    EXPECT_TRUE(is_code_or_flag_unit(u)) << u;
  }
  for (const char* u : {"Code  table", "Numeric", "code table ", "K"}) {
    EXPECT_FALSE(is_code_or_flag_unit(u)) << u;
  }
}

TEST(MissingTest, AllOnesOutsideClass31BelowWidth64) {
  EXPECT_TRUE(all_ones(15, 4));
  EXPECT_FALSE(all_ones(14, 4));
  EXPECT_TRUE(all_ones(0, 0));
  EXPECT_TRUE(all_ones(1, 1));
  EXPECT_TRUE(all_ones((std::uint64_t{1} << 63) - 1, 63));
  EXPECT_FALSE(all_ones(~std::uint64_t{0}, 64));
  FieldFormat class31{.width = 8, .missing_recognised = false};
  EXPECT_FALSE(is_missing(255, class31));
}

// Width, scale and reference under each operator, for numbers, code tables and text.
struct FormatCase {
  const char* label;
  ElementDefinition def;
  std::vector<std::uint32_t> operators;
  std::uint16_t width;
  std::int32_t scale;
  std::int64_t reference;
};

class FieldFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FieldFormatTest, OperatorsInForce) {
  const auto& c = GetParam();
  DecodeState state;
  for (auto op : c.operators) apply_operator(state, op);
  TableSet no_tables;
  const FieldFormat f = field_format(element_params(describe_element(c.def, no_tables), state), state);
  EXPECT_EQ(f.width, c.width);
  EXPECT_EQ(f.scale, c.scale);
  EXPECT_EQ(f.reference, c.reference);
}

const ElementDefinition kTemp = element(12102, "t", "K", 1, -40, 12);
const ElementDefinition kCode = element(8023, "s", "Code Table", 0, 0, 6);
const ElementDefinition kText = element(1015, "n", "CCITT IA5", 0, 0, 24);
const ElementDefinition kHugeScale =
    element(1, "x", "m", std::numeric_limits<std::int32_t>::max(), kMaxI64, 4);

INSTANTIATE_TEST_SUITE_P(
    Operators, FieldFormatTest,
    ::testing::Values(FormatCase{"plain", kTemp, {}, 12, 1, -40},
                      FormatCase{"width+3", kTemp, {201131}, 15, 1, -40},
                      FormatCase{"width reset", kTemp, {201131, 201000}, 12, 1, -40},
                      FormatCase{"width below 1", kTemp, {201001}, 0, 1, -40},
                      FormatCase{"scale-2", kTemp, {202126}, 12, -1, -40},
                      FormatCase{"2-07-002", kTemp, {207002}, 19, 3, -4000},
                      FormatCase{"2-07 reset", kTemp, {207002, 207000}, 12, 1, -40},
                      FormatCase{"2-01 after 2-07 wins", kTemp, {207002, 201129}, 13, 3, -4000},
                      FormatCase{"local width", kTemp, {201131, 206016}, 16, 1, -40},
                      FormatCase{"2-07-255 saturates multiplier", kTemp, {207255}, 862, 256, kMinI64},
                      FormatCase{
                          "code table ignores 2-01/2-02/2-07", kCode, {201131, 202129, 207003}, 6, 0, 0},
                      FormatCase{"code table takes 2-06", kCode, {206009}, 9, 0, 0},
                      FormatCase{"text ignores width delta", kText, {201131, 206008}, 24, 0, 0},
                      FormatCase{"text width", kText, {208004}, 32, 0, 0},
                      FormatCase{"text width off", kText, {208004, 208000}, 24, 0, 0},
                      FormatCase{"saturated scale and reference",
                                 kHugeScale,
                                 {207001},
                                 8,
                                 std::numeric_limits<std::int32_t>::max(),
                                 kMaxI64}),
    [](const auto& info) {
      std::string s = info.param.label;
      for (auto& ch : s) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return s;
    });

TEST(WidenForDifferenceTest, OneBitWiderNegativeReference) {
  ElementParams p{.width = 12};
  widen_for_difference(p);
  EXPECT_EQ(p.width, 13);
  EXPECT_EQ(p.reference, -4096);
  ElementParams wide{.width = 63};
  widen_for_difference(wide);
  EXPECT_EQ(wide.reference, kMinI64);
  EXPECT_EQ(wide.width, 64);
  ElementParams widest{.width = 65535};
  widen_for_difference(widest);
  EXPECT_EQ(widest.reference, kMinI64);
  EXPECT_EQ(widest.width, 65535);
}

// One subset of `codes` read from `w` through the uncompressed decoder.
class ReadElementTest : public ::testing::Test {
 protected:
  TableSet tables = testing::test_tables();
  DecodeState state;
  DecodeResult out;
  Status read(std::vector<std::uint32_t> codes, BitWriter w) {
    BitReader r{w.octets()};
    return decode_uncompressed(codes, tables, r, 1, out);
  }
};

TEST_F(ReadElementTest, MissingCodeTableValueKeepsRawAndMeaning) {
  BitWriter w;
  w.put(15, 4).put(1, 4);
  ASSERT_TRUE(read({20003, 20003}, w));
  ASSERT_EQ(out.values.size(), 2u);
  const DecodedValue& v = out.values[0];
  EXPECT_FALSE(v.has_value());
  EXPECT_TRUE(v.has_raw());
  EXPECT_EQ(v.raw, 15u);
  ASSERT_NE(v.meaning, nullptr);
  EXPECT_EQ(*v.meaning, "Missing value");
  EXPECT_EQ(*v.name, "presentWeather");
  EXPECT_EQ(out.values[1].raw_value, 1.0);
  EXPECT_EQ(*out.values[1].meaning, "Clouds dissolving");
}

TEST_F(ReadElementTest, Class31AllOnesIsAValue) {
  BitWriter w;
  w.put(255, 8);
  ASSERT_TRUE(read({31001}, w));
  EXPECT_TRUE(out.values[0].has_value());
  EXPECT_EQ(out.values[0].raw_value, 255.0);
}

TEST_F(ReadElementTest, WidthZeroReadsNothing) {
  // Width delta -8: 0-01-001 (7 bits) and 0-31-001 (8) to 0.
  ASSERT_TRUE(read({201120, 1001, 31001}, BitWriter{}));
  ASSERT_EQ(out.values.size(), 2u);
  EXPECT_EQ(out.values[0].raw, 0u);
  EXPECT_FALSE(out.values[0].has_value());
  EXPECT_TRUE(out.values[1].has_value());
  EXPECT_EQ(out.values[1].raw_value, 0.0);
}

TEST_F(ReadElementTest, TextCountsMissingTextsToo) {
  BitWriter w;
  w.put(0xFFFFFF, 24).text("AB ");
  ASSERT_TRUE(read({1015, 1015}, w));
  ASSERT_EQ(out.values.size(), 2u);
  EXPECT_FALSE(out.values[0].has_text());
  EXPECT_FALSE(out.values[0].has_raw());
  EXPECT_EQ(out.values[0].raw_value, 1003.0);
  EXPECT_EQ(out.values[1].raw_value, 2003.0);
  ASSERT_TRUE(out.values[1].has_text());
  EXPECT_EQ(out.texts[out.values[1].text_index], "AB");
}

TEST_F(ReadElementTest, ShortDataNamesTheField) {
  BitWriter w;
  w.put(1, 3);  // 8 bits, 16 needed
  auto bad = read({12101}, w);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().text(),
            "not enough bits while reading section 4 at bit 0 for width 16 (8 bits available)");
}

TEST_F(ReadElementTest, CharactersOperatorReadsText) {
  BitWriter w;
  w.text("HI!");
  BitReader r{w.octets()};
  state.text_counter = 4;
  ASSERT_TRUE(read_characters(205003, state, r, out));
  ASSERT_EQ(out.values.size(), 1u);
  const DecodedValue& v = out.values[0];
  EXPECT_EQ(v.descriptor, 205003u);
  EXPECT_EQ(*v.name, "signifyCharacter");
  EXPECT_EQ(v.raw_value, 5003.0);
  EXPECT_FALSE(v.has_raw());
  EXPECT_EQ(out.texts[v.text_index], "HI!");
}

}  // namespace
}  // namespace quorvex
