#include "message/message.hpp"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "message_fixture.hpp"

namespace quorvex {
namespace {

using testing::build_message;
using testing::fix_total_length;
using testing::MessageParts;
using testing::Octets;
using testing::put_be24;
using testing::sample_message;

TEST(ParseMessage, ReadsEveryFieldOfTheSample) {
  auto r = parse_message(testing::bytes_of(sample_message()));
  ASSERT_TRUE(r) << r.error().message();
  const BufrMessage& m = *r;
  EXPECT_EQ(m.total_length, 52u);
  EXPECT_EQ(m.edition, 4);
  EXPECT_EQ(m.section1_length, 22u);
  EXPECT_EQ(m.master_table_number, 0);
  EXPECT_EQ(m.originating_centre, 98);
  EXPECT_EQ(m.originating_subcentre, 0x0102);
  EXPECT_EQ(m.update_sequence_number, 3);
  EXPECT_FALSE(m.local_section_present);
  EXPECT_EQ(m.data_category, 2);
  EXPECT_EQ(m.international_data_subcategory, 4);
  EXPECT_EQ(m.local_data_subcategory, 5);
  EXPECT_EQ(m.master_tables_version_number, 38);
  EXPECT_EQ(m.local_tables_version_number, 1);
  EXPECT_EQ(m.typical_year, 2024);
  EXPECT_EQ(m.typical_month, 12);
  EXPECT_EQ(m.typical_day, 31);
  EXPECT_EQ(m.typical_hour, 23);
  EXPECT_EQ(m.typical_minute, 59);
  EXPECT_EQ(m.typical_second, 58);
  EXPECT_EQ(m.section2_length, 0u);
  EXPECT_EQ(m.section3_length, 11u);
  EXPECT_EQ(m.number_of_subsets, 3);
  EXPECT_TRUE(m.observed_data);
  EXPECT_TRUE(m.compressed_data);
  EXPECT_EQ(m.unexpanded_descriptors, (std::vector<std::uint32_t>{301011, 1001}));
  EXPECT_EQ(m.section4_length, 7u);
  EXPECT_EQ(m.section4_data_offset, testing::kSampleS4 + 4);
  EXPECT_EQ(m.section4_data_length, 3u);
  const Bytes data = section4_data(testing::bytes_of(sample_message()), m);
  EXPECT_EQ(Octets(data.begin(), data.end()), (Octets{0xAA, 0xBB, 0xCC}));
}

// Each case: a message (or a damaged one) and the exact error text.
struct FramingCase {
  const char* name;
  Octets octets;
  std::string expected;
};

Octets sample_with(std::size_t at, std::initializer_list<std::uint8_t> values) {
  Octets o = sample_message();
  for (std::uint8_t v : values) o[at++] = v;
  return o;
}

Octets sample_cut_to(std::size_t n) {
  Octets o(sample_message().begin(), sample_message().begin() + n);
  return fix_total_length(o);
}

std::vector<FramingCase> framing_failures() {
  const std::size_t s3 = testing::kSampleS3, s4 = testing::kSampleS4, s5 = testing::kSampleS5;
  auto truncated = [](int section, std::size_t at) {
    return "section " + std::to_string(section) + " at offset " + std::to_string(at) + " is truncated";
  };
  MessageParts section2_too_long;
  section2_too_long.section2_flag = 0x80;
  section2_too_long.section2 = {1, 2, 3};
  Octets s2_long = build_message(section2_too_long);
  put_be24(s2_long, 30, 1000);
  // Section 1 declares 3 octets, so section 3 starts at 11 and section 5 ends the
  // message after 25 to 29 octets: octets 25 to 29 of the header are missing.
  auto short_section1 = [](std::size_t total) {
    Octets o(total, 0);
    o[0] = 'B', o[1] = 'U', o[2] = 'F', o[3] = 'R', o[7] = 4;
    put_be24(o, 8, 3);            // L1 = 3: section 3 at 11
    put_be24(o, 11, 7);           // section 3 of 7 octets; octet 17 is its flags octet
    put_be24(o, 18, total - 22);  // section 4 up to the terminator
    for (std::size_t i = total - 4; i < total; ++i) o[i] = '7';
    return fix_total_length(o);
  };
  return {
      {"SevenOctets", Octets{'B', 'U', 'F', 'R', 0, 0, 7}, "message is too short to be BUFR"},
      {"EightOctetsReachSection1", Octets{'B', 'U', 'F', 'R', 0, 0, 8, 4}, truncated(1, 8)},
      {"NoMarker", sample_with(0, {'b'}), "missing BUFR marker"},
      {"EditionBeforeLength",
       sample_with(4, {0xFF, 0xFF, 0xFF, 3}),
       "unsupported BUFR edition 3; only edition 4 is implemented"},
      {"DeclaredLengthDiffers",
       sample_with(4, {0, 0, 60}),
       "declared length 60 does not match buffer length 52"},
      {"Section1LongerThanMessage", sample_with(8, {0, 0, 45}), truncated(1, 8)},
      {"NoOctet17",
       [] {
         Octets o = {'B', 'U', 'F', 'R', 0, 0, 0, 4, 0, 0, 1, 0, 0, 0};
         return fix_total_length(o);
       }(),
       truncated(0, 17)},
      {"NoYear",
       [] {
         Octets o = sample_message();
         o.resize(24);
         put_be24(o, 8, 3);
         return fix_total_length(o);
       }(),
       truncated(0, 23)},
      {"Section2LengthPastEnd", s2_long, truncated(2, 30)},
      {"Section3OfSixOctets", sample_with(s3, {0, 0, 6}), truncated(3, s3)},
      {"Section3PastEnd", sample_with(s3, {0, 0, 60}), truncated(3, s3)},
      {"Section3LengthCut", sample_cut_to(s3 + 2), truncated(3, s3)},
      {"Section4PastEnd", sample_with(s4, {0, 0, 12}), truncated(4, s4)},
      {"Section4LengthCut", sample_cut_to(s4 + 1), truncated(4, s4)},
      {"Section4ReachesLastOctet", sample_with(s4, {0, 0, 11}), truncated(5, s4 + 11)},
      {"TerminatorCut", sample_cut_to(s5 + 3), truncated(5, s5)},
      {"Terminator7778", sample_with(s5 + 3, {'8'}), "section 5 terminator is not 7777"},
      // A zero section 4 length puts "7777" on section 4's own length octets.
      {"Section4OfZeroOctets",
       [] {
         Octets o = sample_message();
         o.erase(o.begin() + testing::kSampleS4 + 3, o.begin() + testing::kSampleS5);
         put_be24(o, testing::kSampleS4, 0);
         return fix_total_length(o);
       }(),
       "section 5 terminator is not 7777"},
      {"Only25Octets", short_section1(25), truncated(0, 25)},
      {"Only29Octets", short_section1(29), truncated(0, 29)},
  };
}

class FramingFailure : public ::testing::TestWithParam<FramingCase> {};

TEST_P(FramingFailure, ReportsTheExactError) {
  // A heap copy of exactly the message's size, so that any read past it is caught
  // by the address sanitizer.
  const Octets& o = GetParam().octets;
  auto copy = std::make_unique<std::uint8_t[]>(o.size());
  std::copy(o.begin(), o.end(), copy.get());
  auto r = parse_message(Bytes(copy.get(), o.size()));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, FramingFailure, ::testing::ValuesIn(framing_failures()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ParseMessage, ThirtyOctetsWithShortSection1Parse) {
  // Smallest message whose fixed header positions 11 to 29 all exist although
  // section 1 declares fewer than 22 octets.
  Octets o(30, 0);
  o[0] = 'B', o[1] = 'U', o[2] = 'F', o[3] = 'R', o[7] = 4;
  put_be24(o, 8, 3);   // L1 = 3: section 3 starts at 11
  put_be24(o, 11, 9);  // section 3: 9 octets, one descriptor at 18..19
  o[17] = 0;           // octet 17 is section 3's flags octet and the section 2 flag
  put_be24(o, 20, 6);  // section 4: 6 octets
  for (std::size_t i = 26; i < 30; ++i) o[i] = '7';
  fix_total_length(o);
  auto r = parse_message(testing::bytes_of(o));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->section1_length, 3u);
  EXPECT_EQ(r->section3_length, 9u);
  EXPECT_EQ(r->typical_second, '7');  // octet 29 lies in section 5
  EXPECT_EQ(r->section4_data_offset, 24u);
  EXPECT_EQ(r->section4_data_length, 2u);
}

TEST(ParseMessage, Section2IsSkippedByItsLength) {
  for (std::uint8_t flag : {0x80, 0x01}) {  // any non-zero flag, reserved bits too
    MessageParts p;
    p.section2_flag = flag;
    p.section2 = {0, 'x', 'y', 'z', 0xC1, 0x0B};
    p.descriptor_octets = {0x01, 0x01};
    auto r = parse_message(testing::bytes_of(build_message(p)));
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_TRUE(r->local_section_present);
    EXPECT_EQ(r->section2_length, 9u);
    EXPECT_EQ(r->unexpanded_descriptors, std::vector<std::uint32_t>{1001});
    EXPECT_EQ(r->section4_data_offset, 30u + 9 + 9 + 4);
  }
}

TEST(ParseMessage, SmallAndOddSectionLengths) {
  MessageParts p;                          // section 3 of exactly 7 octets: no descriptors
  p.trailer = {'7', '7', '7', '7', 0xEE};  // ignored up to the declared end
  auto r = parse_message(testing::bytes_of(build_message(p)));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_TRUE(r->unexpanded_descriptors.empty());
  EXPECT_EQ(r->section3_length, 7u);
  EXPECT_EQ(r->total_length, 8u + 22 + 7 + 4 + 4 + 5);

  // Section 4 of 3 octets: "7777" follows the length octets; no data.
  Octets o = sample_message();
  o.erase(o.begin() + testing::kSampleS4 + 3, o.begin() + testing::kSampleS5);
  put_be24(o, testing::kSampleS4, 3);
  auto short4 = parse_message(testing::bytes_of(fix_total_length(o)));
  ASSERT_TRUE(short4) << short4.error().message();
  EXPECT_EQ(short4->section4_length, 3u);
  EXPECT_EQ(short4->section4_data_length, 0u);
  EXPECT_EQ(short4->section4_data_offset, testing::kSampleS4 + 4);

  // Section 1 longer than 22 octets: fields still come from the fixed offsets.
  MessageParts longer;
  longer.section1 = Octets(25, 0);
  longer.section1[0] = 7;  // octet 11
  auto r2 = parse_message(testing::bytes_of(build_message(longer)));
  ASSERT_TRUE(r2) << r2.error().message();
  EXPECT_EQ(r2->section1_length, 28u);
  EXPECT_EQ(r2->master_table_number, 7);
}

// The zero octet that pads section 3 to an even length (editions 2 and 3, and most
// real edition 4 messages) is not a descriptor.
TEST(ParseMessage, ZeroPadAfterDescriptorsIsIgnored) {
  for (const Octets& area : {Octets{0x00}, Octets{0xC1, 0x0B, 0x01, 0x01, 0x00}}) {
    MessageParts p;
    p.descriptor_octets = area;
    auto r = parse_message(testing::bytes_of(build_message(p)));
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(r->section3_length, 7 + area.size());
    EXPECT_EQ(r->unexpanded_descriptors.size(), area.size() / 2);
    if (area.size() > 1) {
      EXPECT_EQ(r->unexpanded_descriptors, (std::vector<std::uint32_t>{301011, 1001}));
    }
  }
}

struct PackedCase {
  std::uint8_t hi, lo;
  std::uint32_t code;
};

class DescriptorOctets : public ::testing::TestWithParam<PackedCase> {};

TEST_P(DescriptorOctets, BecomeCodes) {
  MessageParts p;
  p.descriptor_octets = {GetParam().hi, GetParam().lo};
  auto r = parse_message(testing::bytes_of(build_message(p)));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->unexpanded_descriptors, std::vector<std::uint32_t>{GetParam().code});
}

INSTANTIATE_TEST_SUITE_P(Codes, DescriptorOctets,
                         ::testing::Values(PackedCase{0x00, 0x01, 1},       // 0-00-001
                                           PackedCase{0x01, 0x01, 1001},    // 0-01-001
                                           PackedCase{0xC1, 0x0B, 301011},  // 3-01-011
                                           PackedCase{0x41, 0x00, 101000},  // 1-01-000
                                           PackedCase{0xFF, 0xFF, 363255},  // 3-63-255
                                           PackedCase{0x00, 0x00, 0}));

// Every prefix of the sample, re-declared to its own length, is refused without any
// read outside it; and every single-octet change parses or fails cleanly.
TEST(ParseMessage, PrefixesAndMutationsStayInBounds) {
  const Octets& whole = sample_message();
  for (std::size_t n = 0; n < whole.size(); ++n) {
    Octets o(whole.begin(), whole.begin() + n);
    if (n >= 7) fix_total_length(o);
    auto heap = std::make_unique<std::uint8_t[]>(n + 1);
    std::copy(o.begin(), o.end(), heap.get());
    EXPECT_FALSE(parse_message(Bytes(heap.get(), n))) << "prefix " << n;
  }
  for (std::size_t at = 0; at < whole.size(); ++at) {
    for (int v = 0; v < 256; ++v) {
      auto heap = std::make_unique<std::uint8_t[]>(whole.size());
      std::copy(whole.begin(), whole.end(), heap.get());
      heap[at] = static_cast<std::uint8_t>(v);
      auto r = parse_message(Bytes(heap.get(), whole.size()));
      if (r) {
        EXPECT_LE(r->section4_data_offset + r->section4_data_length, whole.size());
      }
    }
  }
}

}  // namespace
}  // namespace quorvex
