#include "decode/compressed.hpp"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../corpus_location.hpp"
#include "decode/decode.hpp"
#include "decode_fixture.hpp"
#include "message/message.hpp"
#include "tables/table_selection.hpp"

namespace quorvex {
namespace {

using testing::BitWriter;
using testing::missing;
using testing::num;
using testing::seen;
using testing::Seen;

// Section 4 of one compressed element: R0, NBINC, one increment per subset.
void column(BitWriter& w, std::uint64_t r0, unsigned width, unsigned nbinc,
            std::initializer_list<std::uint64_t> increments = {}) {
  w.put(r0, width).put(nbinc, 6);
  for (std::uint64_t inc : increments) w.put(inc, nbinc);
}

// A text element: R0's octets, NBINC in octets, then the subsets' octets.
void text_column(BitWriter& w, const std::string& r0, unsigned nbinc,
                 std::initializer_list<std::string> texts = {}) {
  w.text(r0).put(nbinc, 6);
  for (const std::string& t : texts) w.text(t);
}

struct Outcome {
  Status status;
  DecodeResult result;
  std::uint64_t position = 0;
  std::string error() const { return status ? std::string() : status.error().message(); }
};

Outcome decode(const std::vector<std::uint32_t>& codes, const TableSet& tables, BitWriter& w,
               std::uint16_t subsets) {
  const std::vector<std::uint8_t> data = w.octets();
  BitReader reader{Bytes(data)};
  Outcome run;
  run.status = decode_compressed(codes, tables, reader, subsets, run.result);
  run.position = reader.position();
  return run;
}

std::string text_of(const DecodeResult& r, std::size_t i) {
  const DecodedValue& v = r.values.at(i);
  return v.has_text() ? r.texts.at(v.text_index) : std::string("<none>");
}

class CompressedTest : public ::testing::Test {
 protected:
  TableSet tables = testing::test_tables();
};

TEST_F(CompressedTest, ColumnsAreReorderedIntoSubsets) {
  BitWriter w;
  column(w, 27315, 16, 4, {0, 5, 15});  // 0-12-101: the third increment is all ones
  column(w, 100, 10, 0);                // 0-01-002: the same in every subset
  const Outcome run = decode({12101, 1002}, tables, w, 3);
  ASSERT_TRUE(run.status) << run.error();
  EXPECT_EQ(seen(run.result),
            (std::vector<Seen>{num(12101, 273.15),
                               num(1002, 100),
                               num(12101, 273.2),
                               num(1002, 100),
                               missing(12101),
                               num(1002, 100)}));
  EXPECT_EQ(run.result.values[4].raw, 27315u);  // a missing entry keeps R0, not R0 + inc
  EXPECT_EQ(run.result.values[2].raw, 27320u);
  EXPECT_EQ(*run.result.values[1].name, "stationNumber");
  EXPECT_EQ(run.position, 16u + 6 + 3 * 4 + 10 + 6);
}

TEST_F(CompressedTest, NoSubsetsStillReadsEveryR0AndNbinc) {
  BitWriter w;
  column(w, 1, 16, 5);       // 0-12-101, increments of 5 bits but none to read
  text_column(w, "ABC", 2);  // 0-01-015
  column(w, 7, 8, 0);        // factor 7 is ignored: no subsets, count 0
  const Outcome run = decode({12101, 1015, 101000, 31001, 12101}, tables, w, 0);
  ASSERT_TRUE(run.status) << run.error();
  EXPECT_TRUE(run.result.values.empty());
  EXPECT_EQ(run.position, 16u + 6 + 24 + 6 + 8 + 6);
}

TEST_F(CompressedTest, ZeroIncrementWidthRepeatsR0) {
  BitWriter w;
  column(w, 127, 7, 0);  // 0-33-007 all ones: missing in every subset
  column(w, 3, 7, 0);
  const Outcome run = decode({33007, 33007}, tables, w, 2);
  ASSERT_TRUE(run.status) << run.error();
  EXPECT_EQ(seen(run.result),
            (std::vector<Seen>{missing(33007), num(33007, 3), missing(33007), num(33007, 3)}));
  EXPECT_EQ(run.result.values[2].raw, 127u);
}

// An increment of all NBINC ones marks a missing value; one less is an ordinary value.
class CompressedIncrementTest : public CompressedTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(CompressedIncrementTest, AllOnesIncrementIsMissing) {
  const unsigned nbinc = GetParam();
  const std::uint64_t ones = (std::uint64_t{1} << nbinc) - 1;
  BitWriter w;
  column(w, 0, 7, nbinc, {ones, ones - 1});
  const Outcome run = decode({33007}, tables, w, 2);
  ASSERT_TRUE(run.status) << run.error();
  ASSERT_EQ(run.result.values.size(), 2u);
  EXPECT_FALSE(run.result.values[0].has_value());
  EXPECT_EQ(run.result.values[0].raw, 0u);
  EXPECT_TRUE(run.result.values[1].has_value());
  EXPECT_EQ(run.result.values[1].raw, ones - 1);
  EXPECT_EQ(run.result.values[1].raw_value, static_cast<double>(ones - 1));
}

INSTANTIATE_TEST_SUITE_P(Widths, CompressedIncrementTest, ::testing::Values(1u, 2u, 7u, 32u, 62u, 63u));

TEST_F(CompressedTest, ClassThirtyOneIsNeverMissing) {
  BitWriter w;
  column(w, 255, 8, 0);         // 0-31-001: R0 all ones
  column(w, 0, 16, 3, {7, 2});  // 0-31-002: an all-ones increment
  const Outcome run = decode({31001, 31002}, tables, w, 2);
  ASSERT_TRUE(run.status) << run.error();
  EXPECT_EQ(seen(run.result),
            (std::vector<Seen>{num(31001, 255), num(31002, 7), num(31001, 255), num(31002, 2)}));
}

TEST_F(CompressedTest, ZeroWidthReadsNoR0ButStillItsIncrements) {
  BitWriter w;
  column(w, 0, 0, 2, {1, 2});  // 0-33-007 under 2-01-121: width 7 - 7 = 0, missing
  column(w, 0, 0, 0);          // 0-31-001 under 2-01-120: width 0, class 31: value 0
  column(w, 5, 7, 0);          // 0-33-007 after 2-01-000
  const Outcome run = decode({201121, 33007, 201120, 31001, 201000, 33007}, tables, w, 2);
  ASSERT_TRUE(run.status) << run.error();
  EXPECT_EQ(seen(run.result),
            (std::vector<Seen>{
                missing(33007), num(31001, 0), num(33007, 5), missing(33007), num(31001, 0), num(33007, 5)}));
  EXPECT_EQ(run.position, 6u + 2 * 2 + 6 + 7 + 6);
}

TEST_F(CompressedTest, CodeTableMeaningFollowsEachSubsetsRaw) {
  BitWriter w;
  // 0-20-003 (4 bits): raws 1, 1 + 14 = 15 (an ordinary value: only the increment counts)
  // and R0 again for the all-ones increment (missing).
  column(w, 1, 4, 4, {0, 14, 15});
  const Outcome run = decode({20003}, tables, w, 3);
  ASSERT_TRUE(run.status) << run.error();
  const auto& v = run.result.values;
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(*v[0].meaning, "Clouds dissolving");
  EXPECT_TRUE(v[1].has_value());
  EXPECT_EQ(*v[1].meaning, "Missing value");
  EXPECT_FALSE(v[2].has_value());
  EXPECT_EQ(v[2].raw, 1u);
  EXPECT_EQ(*v[2].meaning, "Clouds dissolving");
}

TEST_F(CompressedTest, TextValuesAreNumberedPerElementAndSubset) {
  BitWriter w;
  text_column(w, "ABC", 0);  // every subset "ABC"
  text_column(w, std::string(3, '\0'), 3, {"XY ", "\xff\xff\xff"});
  const Outcome run = decode({1015, 1015}, tables, w, 2);
  ASSERT_TRUE(run.status) << run.error();
  EXPECT_EQ(seen(run.result),
            (std::vector<Seen>{num(1015, 1003), num(1015, 3003), num(1015, 2003), num(1015, 4003)}));
  EXPECT_EQ(text_of(run.result, 0), "ABC");
  EXPECT_EQ(text_of(run.result, 2), "ABC");
  EXPECT_EQ(text_of(run.result, 1), "XY");
  EXPECT_EQ(text_of(run.result, 3), "<none>");
  EXPECT_FALSE(run.result.values[0].has_raw());
  EXPECT_EQ(run.position, 24u + 6 + 24 + 6 + 2 * 24);
}

TEST_F(CompressedTest, TextIncrementWidthDiffersFromR0Width) {
  BitWriter w;
  text_column(w, "ABC", 2, {"HI", "JK"});  // R0 24 bits, each subset 2 octets
  column(w, 9, 7, 0);
  const Outcome run = decode({1015, 33007}, tables, w, 2);
  ASSERT_TRUE(run.status) << run.error();
  EXPECT_EQ(seen(run.result),
            (std::vector<Seen>{num(1015, 1003), num(33007, 9), num(1015, 2003), num(33007, 9)}));
  EXPECT_EQ(text_of(run.result, 0), "HI");
  EXPECT_EQ(text_of(run.result, 2), "JK");
}

TEST_F(CompressedTest, CharacterOperatorIsCompressedText) {
  BitWriter w;
  text_column(w, "HI", 0);
  const Outcome run = decode({205002}, tables, w, 2);
  ASSERT_TRUE(run.status) << run.error();
  EXPECT_EQ(seen(run.result), (std::vector<Seen>{num(205002, 1002), num(205002, 2002)}));
  EXPECT_EQ(*run.result.values[0].name, "signifyCharacter");
  EXPECT_EQ(text_of(run.result, 1), "HI");
}

TEST_F(CompressedTest, DelayedReplicationWithEqualFactors) {
  BitWriter w;
  column(w, 2, 8, 1, {1, 1});  // factor 3 in both subsets, through increments
  column(w, 10, 7, 2, {0, 1});
  column(w, 20, 7, 0);
  column(w, 30, 7, 0);
  const Outcome run = decode({101000, 31001, 33007}, tables, w, 2);
  ASSERT_TRUE(run.status) << run.error();
  EXPECT_EQ(seen(run.result),
            (std::vector<Seen>{num(31001, 3),
                               num(33007, 10),
                               num(33007, 20),
                               num(33007, 30),
                               num(31001, 3),
                               num(33007, 11),
                               num(33007, 20),
                               num(33007, 30)}));
}

TEST_F(CompressedTest, DelayedReplicationWithVaryingFactorsFails) {
  BitWriter w;
  column(w, 3, 8, 1, {0, 1});  // 3 and 4
  const Outcome run = decode({101000, 31001, 33007}, tables, w, 2);
  EXPECT_EQ(run.error(),
            "csv/table parse error: compressed delayed replication with varying factors is not "
            "implemented");
}

TEST_F(CompressedTest, MissingFactorCounts) {
  // 0-33-007 as a factor: missing in the first subset gives 0, missing in a later one only
  // varies.
  BitWriter zero;
  column(zero, 127, 7, 0);
  const Outcome none = decode({101000, 33007, 12101}, tables, zero, 2);
  ASSERT_TRUE(none.status) << none.error();
  EXPECT_EQ(seen(none.result), (std::vector<Seen>{missing(33007), missing(33007)}));

  BitWriter later;
  column(later, 2, 7, 2, {0, 3});
  EXPECT_EQ(decode({101000, 33007, 12101}, tables, later, 2).error(),
            "csv/table parse error: compressed delayed replication with varying factors is not "
            "implemented");
}

TEST_F(CompressedTest, FixedReplicationRunsOnceForAllSubsets) {
  BitWriter w;
  column(w, 1, 7, 0);
  column(w, 2, 7, 0);
  const Outcome run = decode({102002, 33007, 222000}, tables, w, 2);
  ASSERT_TRUE(run.status) << run.error();
  EXPECT_EQ(seen(run.result),
            (std::vector<Seen>{num(33007, 1),
                               num(222000, 0),
                               num(33007, 2),
                               num(222000, 0),
                               num(33007, 1),
                               num(222000, 0),
                               num(33007, 2),
                               num(222000, 0)}));
  EXPECT_EQ(*run.result.values[1].name, "operator");
  EXPECT_EQ(run.result.values[1].raw, 0u);
}

TEST_F(CompressedTest, AssociatedFieldSkipsClassThirtyOne) {
  BitWriter w;
  column(w, 5, 6, 0);          // 0-31-021: no associated field before it
  column(w, 255, 8, 0);        // associated field: all ones, never missing
  column(w, 27315, 16, 0);     // 0-12-101
  column(w, 1, 8, 0);          // delayed factor: no associated field either
  column(w, 7, 8, 1, {0, 1});  // associated field of the replicated element
  column(w, 4, 7, 0);          // 0-33-007
  column(w, 30000, 16, 0);     // 0-12-101 after 2-04-000
  const Outcome run = decode({204008, 31021, 12101, 101000, 31001, 33007, 204000, 12101}, tables, w, 2);
  ASSERT_TRUE(run.status) << run.error();
  const std::vector<Seen> subset0{num(31021, 5),
                                  num(999999, 255),
                                  num(12101, 273.15),
                                  num(31001, 1),
                                  num(999999, 7),
                                  num(33007, 4),
                                  num(12101, 300)};
  std::vector<Seen> expected = subset0;
  expected.insert(expected.end(), subset0.begin(), subset0.end());
  expected[11] = num(999999, 8);
  EXPECT_EQ(seen(run.result), expected);
  EXPECT_EQ(*run.result.values[1].name, "associatedField");
  EXPECT_EQ(run.result.values[1].raw, 255u);
}

TEST_F(CompressedTest, BitmapSelectsTheColumnsToRead) {
  BitWriter w;
  column(w, 27315, 16, 0);     // A 0-12-101
  column(w, 1, 7, 0);          // B 0-33-007
  column(w, 2, 10, 0);         // C 0-01-002
  column(w, 0, 1, 1, {0, 1});  // 0-31-031: the first subset's 0 counts for all
  column(w, 1, 1, 0);
  column(w, 0, 1, 0);
  column(w, 100, 16, 0);  // 2-23-255 for A
  column(w, 3, 10, 0);    // 2-23-255 for C
  const Outcome run =
      decode({12101, 33007, 1002, 236000, 101003, 31031, 223000, 223255, 223255, 223255}, tables, w, 2);
  ASSERT_TRUE(run.status) << run.error();
  const std::vector<Seen> values = seen(run.result);
  ASSERT_EQ(values.size(), 2u * 10);
  EXPECT_EQ(std::vector<Seen>(values.begin(), values.begin() + 10),
            (std::vector<Seen>{num(12101, 273.15),
                               num(33007, 1),
                               num(1002, 2),
                               num(236000, 0),
                               num(31031, 0),
                               num(31031, 1),
                               num(31031, 0),
                               num(223000, 0),
                               num(12101, 1),
                               num(1002, 3)}));
  EXPECT_EQ(values[14], num(31031, 1));  // the second subset's own indicator value
}

TEST_F(CompressedTest, DifferenceStatisticIsOneBitWider) {
  BitWriter w;
  column(w, 400, 12, 0);        // 0-12-102
  column(w, 0, 1, 0);           // 0-31-031
  column(w, 4096 + 15, 13, 0);  // 2-25-255: 13 bits, reference -4096, scale 1
  const Outcome run = decode({12102, 236000, 31031, 225000, 225255}, tables, w, 1);
  ASSERT_TRUE(run.status) << run.error();
  ASSERT_EQ(run.result.values.size(), 5u);
  EXPECT_EQ(seen(run.result)[4], num(12102, 1.5));
}

TEST_F(CompressedTest, BitmapPastTheHistoryFails) {
  BitWriter w;
  column(w, 1, 16, 0);
  column(w, 1, 1, 0);
  column(w, 1, 1, 0);
  column(w, 0, 1, 0);
  const Outcome run = decode({12101, 236000, 101003, 31031, 223000, 223255}, tables, w, 1);
  EXPECT_EQ(run.error(), "csv/table parse error: bitmap reference is outside descriptor history");
}

TEST_F(CompressedTest, NewReferenceValuesAreRefused) {
  BitWriter w;
  EXPECT_EQ(decode({203010, 33007, 203255}, tables, w, 1).error(),
            "csv/table parse error: new reference values (operator 203010) are not supported in "
            "compressed data");
  BitWriter ends;
  column(ends, 4, 7, 0);
  const Outcome run = decode({203255, 203000, 33007}, tables, ends, 1);  // nothing to define
  ASSERT_TRUE(run.status) << run.error();
  EXPECT_EQ(seen(run.result), (std::vector<Seen>{num(33007, 4)}));
}

TEST_F(CompressedTest, ManySubsetsOverFewBitsFailBeforeAllocating) {
  BitWriter w;
  column(w, 1, 16, 8, {3});  // 22 bits of R0 and NBINC, one increment, 2 bits to spare
  const Outcome run = decode({12101}, tables, w, 65535);
  EXPECT_EQ(run.error(),
            "csv/table parse error: not enough bits while reading section 4 at bit 30 for width 8 "
            "(32 bits available)");
}

TEST_F(CompressedTest, TextSubsetsPastTheEndFailAtTheOctet) {
  BitWriter w;
  text_column(w, "ABC", 2, {"HI"});  // the second subset's octets are absent
  const Outcome run = decode({1015}, tables, w, 2);
  EXPECT_EQ(run.error(),
            "csv/table parse error: not enough bits while reading section 4 at bit 46 for width 8 "
            "(48 bits available)");
}

TEST_F(CompressedTest, NbincPastTheEndFails) {
  BitWriter w;
  w.put(0xAB, 8);  // R0 of 0-31-001, then only 0 bits of padding
  EXPECT_EQ(decode({31001}, tables, w, 1).error(),
            "csv/table parse error: not enough bits while reading section 4 at bit 8 for width 6 "
            "(8 bits available)");
}

TEST_F(CompressedTest, WidthAboveSixtyFourFails) {
  BitWriter w;
  column(w, 0, 64, 0);
  EXPECT_EQ(decode({201255, 12101}, tables, w, 1).error(),
            "csv/table parse error: cannot read 143 bits into u64");
}

TEST_F(CompressedTest, SixtyFourBitValuesAreNeverMissing) {
  BitWriter w;
  column(w, ~std::uint64_t{0}, 64, 0);  // 0-12-101 under 2-01-176: 16 + 48 bits
  const Outcome run = decode({201176, 12101}, tables, w, 1);
  ASSERT_TRUE(run.status) << run.error();
  ASSERT_EQ(run.result.values.size(), 1u);
  EXPECT_TRUE(run.result.values[0].has_value());
  EXPECT_EQ(run.result.values[0].raw, ~std::uint64_t{0});
}

TEST_F(CompressedTest, HugeReplicationOfMarkersHitsTheValueLimit) {
  BitWriter w;
  column(w, (std::uint64_t{1} << 40) - 2, 56, 0);  // factor 0-31-002 under 2-01-168
  const Outcome run = decode({201168, 101000, 31002, 222000}, tables, w, 1);
  EXPECT_EQ(run.error(),
            "csv/table parse error: decoded value count exceeds the limit for the size of "
            "section 4");
  EXPECT_TRUE(run.result.values.empty());
}

TEST_F(CompressedTest, NestedReplicationOfNothingHitsTheStepLimit) {
  BitWriter w;
  const Outcome run = decode({105255, 104255, 103255, 102255, 101255, 201000}, tables, w, 0);
  EXPECT_EQ(run.error(),
            "csv/table parse error: descriptor walk exceeds the limit for the size of section 4");
}

// Real compressed messages, decoded with the tables the installed ecCodes definitions choose
// for them. The expected counts (values per subset, operator slots included) and values are
// what ecCodes 2.28 decodes from the same messages.

struct Spot {
  std::size_t subset;
  std::size_t index;  // within the subset
  std::uint32_t code;
  std::optional<double> number;
  const char* text = nullptr;
};

struct CorpusMessage {
  const char* path;  // first message of the file
  std::uint16_t subsets;
  std::size_t per_subset;
  std::vector<Spot> spots;
};

class CompressedCorpusTest : public ::testing::TestWithParam<CorpusMessage> {};

TEST_P(CompressedCorpusTest, MatchesTheReferenceDecoder) {
  const CorpusMessage& c = GetParam();
  const std::string path = testing::corpus_root() + c.path;
  const std::string definitions = testing::definitions_root();
  if (!std::filesystem::exists(path) || definitions.empty()) {
    GTEST_SKIP() << "corpus or ecCodes definitions not installed";
  }
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), {}};
  const auto views = scan_messages(Bytes(file));
  ASSERT_TRUE(views && !views->empty());
  const Bytes octets = Bytes(file).subspan((*views)[0].offset, (*views)[0].length);
  const auto message = parse_message(octets);
  ASSERT_TRUE(message) << message.error().message();
  ASSERT_TRUE(message->compressed_data);
  ASSERT_EQ(message->number_of_subsets, c.subsets);
  const auto tables = select_definitions_tables(definitions, *message);
  ASSERT_TRUE(tables) << tables.error().message();

  const auto result = decode_data_section(*message, *tables, section4_data(octets, *message));
  ASSERT_TRUE(result) << result.error().message();
  ASSERT_EQ(result->values.size(), std::size_t{c.subsets} * c.per_subset);
  for (const Spot& spot : c.spots) {
    SCOPED_TRACE("subset " + std::to_string(spot.subset) + " value " + std::to_string(spot.index));
    const DecodedValue& v = result->values.at(spot.subset * c.per_subset + spot.index);
    EXPECT_EQ(v.descriptor, spot.code);
    if (spot.text != nullptr) {
      ASSERT_TRUE(v.has_text());
      // Trailing NULs stay in the text here; the reference ends its texts at the first NUL.
      const std::string& text = result->texts.at(v.text_index);
      EXPECT_EQ(text.substr(0, text.find('\0')), spot.text);
    } else if (spot.number) {
      ASSERT_TRUE(v.has_value());
      EXPECT_NEAR(v.raw_value, *spot.number, std::fabs(*spot.number) * 1e-12);
    } else {
      EXPECT_FALSE(v.has_value());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Messages, CompressedCorpusTest,
    ::testing::Values(
        // associated fields (2-04), delayed replication, width and scale changes, text
        CorpusMessage{"raw/pdbufr/aircraft_mrar_compressed.bufr",
                      100,
                      68,
                      {{99, 0, 1008, {}, "M519140"},
                       {99, 63, 25061, {}, "master5ee760"},
                       {50, 1, 1023, {}},
                       {0, 14, 4004, 15.0},
                       {0, 46, 12101, 288.9}}},
        // 2-07, first-order statistics through a bitmap (2-24-255, 2-36, 2-37)
        CorpusMessage{"raw/pdbufr/compress_3.bufr",
                      128,
                      163,
                      {{127, 29, 8044, {}, "74-82-8"},
                       {64, 23, 5043, {}},
                       {0, 52, 10004, 51280.2},
                       {0, 160, 31001, 2.0}}},
        CorpusMessage{
            "raw/pdbufr/tropical_cyclone.bufr",
            52,
            425,
            {{51, 4, 1027, {}, "     IN-FA"}, {26, 1, 1034, {}}, {0, 142, 5002, 9.9}, {0, 414, 11012, 24.7}}},
        // 2-07-003, extended delayed replication
        CorpusMessage{"derived4/pybufrkit/crit_202.bufr",
                      15,
                      2667,
                      {{7, 28, 20010, {}}, {0, 897, 5042, 421.0}, {0, 2666, 14044, 0.0001544}}},
        // quality information bitmaps (2-22, 2-36, 2-37) over 1000 subsets
        CorpusMessage{"raw/pybufrkit/ncep.352.bufr",
                      1000,
                      254,
                      {{500, 3, 2028, {}}, {0, 130, 31031, 1.0}, {0, 228, 33036, 50.0}}}));

}  // namespace
}  // namespace quorvex
