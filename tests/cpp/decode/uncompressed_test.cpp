#include "decode/uncompressed.hpp"

#include <gtest/gtest.h>

#include "decode_fixture.hpp"

namespace quorvex {
namespace {

using testing::BitWriter;
using testing::missing;
using testing::num;
using testing::Seen;
using Values = std::vector<Seen>;

class UncompressedWalkTest : public ::testing::Test {
 protected:
  TableSet tables = testing::test_tables();
  DecodeResult out;
  std::uint64_t end_position = 0;
  std::uint64_t written_bits = 0;  // before the padding to whole octets
  std::vector<std::uint8_t> octets;

  Status decode(std::vector<std::uint32_t> codes, BitWriter& w, std::uint16_t subsets = 1) {
    written_bits = w.bits();
    octets = w.octets();
    BitReader reader{octets};
    auto status = decode_uncompressed(codes, tables, reader, subsets, out);
    end_position = reader.position();
    return status;
  }
  Values values() const { return testing::seen(out); }
  std::string text(std::size_t i) const { return out.texts[out.values[i].text_index]; }
};

TEST_F(UncompressedWalkTest, NoSubsetsReadNothing) {
  BitWriter w;
  w.put(0xFF, 8);
  ASSERT_TRUE(decode({1001}, w, 0));
  EXPECT_TRUE(out.values.empty());
  EXPECT_EQ(end_position, 0u);
}

TEST_F(UncompressedWalkTest, SubsetsFollowEachOtherBitByBit) {
  BitWriter w;
  w.put(5, 7).put(6, 7);
  ASSERT_TRUE(decode({1001}, w, 2));
  EXPECT_EQ(values(), (Values{num(1001, 5), num(1001, 6)}));
  EXPECT_EQ(end_position, 14u);
}

TEST_F(UncompressedWalkTest, SequenceUnderFixedReplication) {
  BitWriter w;
  w.put(1, 7).put(2, 10).put(3, 7).put(4, 10).put(27315, 16);
  ASSERT_TRUE(decode({101002, 301001, 12101}, w));
  EXPECT_EQ(values(), (Values{num(1001, 1), num(1002, 2), num(1001, 3), num(1002, 4), num(12101, 273.15)}));
  EXPECT_EQ(*out.values[1].name, "stationNumber");
}

TEST_F(UncompressedWalkTest, DelayedReplicationTakesCountFromData) {
  BitWriter w;
  w.put(3, 8).put(100, 16).put(200, 16).put(0xFFFF, 16).put(0, 8);
  ASSERT_TRUE(decode({101000, 31001, 12101, 101000, 31001, 1001}, w));
  EXPECT_EQ(values(), (Values{num(31001, 3), num(12101, 1), num(12101, 2), missing(12101), num(31001, 0)}));
  EXPECT_EQ(end_position, 8u + 48u + 8u);
}

TEST_F(UncompressedWalkTest, TextCounterRunsAcrossSubsets) {
  BitWriter w;
  w.text("ABC").put(0xFFFFFF, 24);
  ASSERT_TRUE(decode({1015}, w, 2));
  ASSERT_EQ(out.values.size(), 2u);
  EXPECT_EQ(out.values[0].raw_value, 1003.0);
  EXPECT_EQ(text(0), "ABC");
  EXPECT_EQ(out.values[1].raw_value, 2003.0);
  EXPECT_FALSE(out.values[1].has_text());
}

// Failures of reading the uncompressed layout; the walk's own are tested in walk_test.cpp.
struct ErrorCase {
  const char* label;
  std::vector<std::uint32_t> codes;
  const char* message;
};

class UncompressedWalkErrorTest : public UncompressedWalkTest,
                                  public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(UncompressedWalkErrorTest, FailsWithExactMessage) {
  BitWriter w;
  w.put(2, 8).put(0, 32);
  auto status = decode(GetParam().codes, w);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UncompressedWalkErrorTest,
    ::testing::Values(
        ErrorCase{"new_reference_unknown", {203008, 5001}, "descriptor 005001 was not found in Table B"},
        ErrorCase{"shortage",
                  {12101, 12101, 12101},
                  "csv/table parse error: not enough bits while reading section 4 at bit 32 for "
                  "width 16 (40 bits available)"},
        ErrorCase{
            "new_reference_too_wide", {203065, 1001}, "csv/table parse error: cannot read 65 bits into u64"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(UncompressedWalkTest, WidthScaleAndReferenceOperators) {
  BitWriter w;
  w.put(1000, 13)     // 0-01-002 under 2-01-131: 13 bits
      .put(5, 10)     // after 2-01-000: its own 10
      .put(4100, 19)  // 0-12-102 under 2-07-002: 19 bits, scale 3, reference -4000
      .put(5, 4)      // 0-20-003 (code table) under 2-07-002: its own 4 bits
      .put(45, 12)    // 0-12-102 after 2-07-000
      .put(0, 0);
  ASSERT_TRUE(decode({201131, 1002, 201000, 1002, 207002, 12102, 20003, 207000, 12102}, w));
  EXPECT_EQ(values(),
            (Values{num(1002, 1000), num(1002, 5), num(12102, 0.1), num(20003, 5), num(12102, 0.5)}));
  EXPECT_EQ(end_position, written_bits);
}

TEST_F(UncompressedWalkTest, WidthBelowOneReadsNothingAndIsMissing) {
  BitWriter w;
  w.put(3, 7);
  ASSERT_TRUE(decode({201118, 1002, 31001, 201000, 1001}, w));  // -10: 10 -> 0, 8 -> 0
  EXPECT_EQ(values(), (Values{missing(1002), num(31001, 0), num(1001, 3)}));
  EXPECT_EQ(end_position, 7u);
}

TEST_F(UncompressedWalkTest, LocalWidthAppliesToOneElementCodeTablesIncluded) {
  BitWriter w;
  w.put(40000, 16).put(3, 7).put(300, 9).put(2, 4);
  ASSERT_TRUE(decode({206016, 1001, 1001, 206009, 20003, 20003}, w));
  EXPECT_EQ(values(), (Values{num(1001, 40000), num(1001, 3), num(20003, 300), num(20003, 2)}));
}

TEST_F(UncompressedWalkTest, LocalWidthSurvivesDelayedFactor) {
  BitWriter w;
  // The factor is read with the local width and leaves it on for the next element.
  w.put(1, 12).put(5, 12).put(6, 7);
  ASSERT_TRUE(decode({206012, 101000, 31001, 1001, 1001}, w));
  EXPECT_EQ(values(), (Values{num(31001, 1), num(1001, 5), num(1001, 6)}));
  EXPECT_EQ(end_position, written_bits);
}

TEST_F(UncompressedWalkTest, TextWidthOperator) {
  BitWriter w;
  w.text("ABCDEFGHIJ").text("XYZ");
  ASSERT_TRUE(decode({208010, 1015, 201140, 208000, 1015}, w));
  ASSERT_EQ(out.values.size(), 2u);
  EXPECT_EQ(text(0), "ABCDEFGHIJ");
  EXPECT_EQ(out.values[0].raw_value, 1010.0);
  EXPECT_EQ(text(1), "XYZ");
  EXPECT_EQ(out.values[1].raw_value, 2003.0);
}

TEST_F(UncompressedWalkTest, MarkersAndOperatorsWithoutEffect) {
  BitWriter w;
  w.put(9, 7);
  ASSERT_TRUE(decode({222000, 222001, 221005, 264001, 299255, 1001}, w));
  EXPECT_EQ(values(), (Values{num(222000, 0), num(1001, 9)}));
  EXPECT_EQ(*out.values[0].name, "operator");
  EXPECT_EQ(out.values[0].raw, 0u);
  EXPECT_TRUE(out.values[0].has_raw());
}

// A, B, C, then a bitmap 0 1 0 under 2-36-000, read back through 2-23-255.
TEST_F(UncompressedWalkTest, DefinedBitmapAndReuse) {
  BitWriter w;
  w.put(1, 7).put(2, 10).put(300, 16);  // A B C
  w.put(0, 1).put(1, 1).put(0, 1);      // bitmap
  w.put(11, 7).put(400, 16);            // substituted A, C
  w.put(12, 7);                         // after 2-37-000: A again
  ASSERT_TRUE(decode({1001, 1002, 12101, 236000, 101003, 31031, 223255, 223255, 223255, 237000, 223255}, w));
  EXPECT_EQ(values(),
            (Values{num(1001, 1),
                    num(1002, 2),
                    num(12101, 3),
                    num(236000, 0),
                    num(31031, 0),
                    num(31031, 1),
                    num(31031, 0),
                    num(1001, 11),
                    num(12101, 4),
                    num(237000, 0),
                    num(1001, 12)}));
  EXPECT_EQ(end_position, written_bits);
}

// Without 2-36-000 a bitmap right after 2-23-000 (here behind a delayed replication) refers
// to the entries before the operator.
TEST_F(UncompressedWalkTest, BitmapFollowingSubstitutionOperator) {
  BitWriter w;
  w.put(1, 7).put(2, 10);           // A B
  w.put(2, 8).put(0, 1).put(1, 1);  // factor 2, bitmap 0 1
  w.put(21, 7);                     // substituted A
  ASSERT_TRUE(decode({1001, 1002, 223000, 101000, 31001, 31031, 223255, 223255}, w));
  EXPECT_EQ(values(),
            (Values{num(1001, 1),
                    num(1002, 2),
                    num(223000, 0),
                    num(31001, 2),
                    num(31031, 0),
                    num(31031, 1),
                    num(1001, 21)}));
  EXPECT_EQ(end_position, written_bits);
}

// Quality information: 2-22-000, its bitmap, the generating centre, then confidences as
// ordinary elements.
TEST_F(UncompressedWalkTest, QualityInformationBlock) {
  BitWriter w;
  w.put(1, 7).put(2, 10);
  w.put(2, 8).put(0, 1).put(0, 1);  // bitmap over A and B
  w.put(98, 16);
  w.put(2, 8).put(70, 7).put(80, 7);
  ASSERT_TRUE(decode({1001, 1002, 222000, 101000, 31001, 31031, 1031, 101000, 31001, 33007}, w));
  EXPECT_EQ(values(),
            (Values{num(1001, 1),
                    num(1002, 2),
                    num(222000, 0),
                    num(31001, 2),
                    num(31031, 0),
                    num(31031, 0),
                    num(1031, 98),
                    num(31001, 2),
                    num(33007, 70),
                    num(33007, 80)}));
  EXPECT_EQ(end_position, written_bits);
}

TEST_F(UncompressedWalkTest, NewReferenceValues) {
  BitWriter w;
  w.put(0x800 | 100, 12);  // sign 1, magnitude 100: reference -100
  w.put(150, 12);          // (150 - 100) / 10
  w.put(50, 12);           // after 2-03-000: (50 - 40) / 10
  ASSERT_TRUE(decode({203012, 12102, 203255, 12102, 203000, 12102}, w));
  EXPECT_EQ(values(), (Values{num(12102, 5.0), num(12102, 1.0)}));
  EXPECT_EQ(end_position, 36u);
}

TEST_F(UncompressedWalkTest, NewReferenceIsPositiveWithoutSignBit) {
  BitWriter w;
  w.put(7, 4).put(3, 12);
  ASSERT_TRUE(decode({203004, 12102, 203255, 12102}, w));
  EXPECT_EQ(values(), (Values{num(12102, 1.0)}));
}

TEST_F(UncompressedWalkTest, CharactersOperator) {
  BitWriter w;
  w.text("HI ").put(4, 7);
  ASSERT_TRUE(decode({205003, 1001}, w));
  ASSERT_EQ(out.values.size(), 2u);
  EXPECT_EQ(out.values[0].descriptor, 205003u);
  EXPECT_EQ(*out.values[0].name, "signifyCharacter");
  EXPECT_EQ(text(0), "HI");
  EXPECT_EQ(out.values[0].raw_value, 1003.0);
  EXPECT_EQ(values()[1], num(1001, 4));
}

// A count of up to 2^64 - 1 over descriptors that read nothing ends on the budget.
TEST_F(UncompressedWalkTest, HugeCountsEndOnTheBudget) {
  tables.insert_element(testing::element(31098, "wideFactor", "Numeric", 0, 0, 64));
  BitWriter w;
  w.put(~std::uint64_t{0}, 64);
  auto markers = decode({101000, 31098, 222000}, w);
  ASSERT_FALSE(markers);
  EXPECT_EQ(markers.error().text(), "decoded value count exceeds the limit for the size of section 4");
  out = {};
  auto steps = decode({101000, 31098, 201000}, w);
  ASSERT_FALSE(steps);
  EXPECT_EQ(steps.error().text(), "descriptor walk exceeds the limit for the size of section 4");
  out = {};
  // Width delta -8: the factor reads 56 bits, 0-01-001 none (missing values).
  auto zero_width = decode({201120, 101000, 31098, 1001}, w);
  ASSERT_FALSE(zero_width);
  EXPECT_EQ(zero_width.error().text(), "decoded value count exceeds the limit for the size of section 4");
}

TEST_F(UncompressedWalkTest, StateDoesNotCarryIntoNextSubset) {
  BitWriter w;
  w.put(1, 7).put(0, 1).put(5, 7);  // subset 0: A, bitmap 0, substituted A
  w.put(2, 7).put(1, 1);            // subset 1: A in 7 bits without associated field, bitmap 1
  ASSERT_TRUE(decode({1001, 236000, 31031, 223255, 201129, 204003}, w, 2));
  EXPECT_EQ(values(),
            (Values{num(1001, 1),
                    num(236000, 0),
                    num(31031, 0),
                    num(1001, 5),
                    num(1001, 2),
                    num(236000, 0),
                    num(31031, 1)}));
  EXPECT_EQ(end_position, written_bits);
}

}  // namespace
}  // namespace quorvex
