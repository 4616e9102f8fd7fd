#include <memory>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "message/message.hpp"
#include "message_fixture.hpp"

namespace quorvex {
namespace {

using testing::concat;
using testing::MessageParts;
using testing::Octets;
using testing::sample_message;
using testing::text_octets;

using Views = std::vector<std::pair<std::size_t, std::size_t>>;

// Scans a heap copy of exactly the buffer's size; views as (offset, length) pairs.
Result<Views> scan(const Octets& o) {
  auto heap = std::make_unique<std::uint8_t[]>(o.size() + 1);
  std::copy(o.begin(), o.end(), heap.get());
  auto r = scan_messages(Bytes(heap.get(), o.size()));
  if (!r) return fail(r.error());
  Views out;
  for (const MessageView& v : *r) out.emplace_back(v.offset, v.length);
  return out;
}

struct ScanCase {
  const char* name;
  Octets buffer;
  Views views;
};

Octets small_message() {
  MessageParts p;
  p.descriptor_octets = {0x01, 0x01};
  p.data = {'B', 'U', 'F', 'R'};  // a marker inside the data is not a message
  return testing::build_message(p);
}

std::vector<ScanCase> scan_cases() {
  const Octets a = sample_message();
  const Octets b = small_message();
  const std::size_t na = a.size(), nb = b.size();
  return {
      {"Empty", {}, {}},
      {"ThreeOctets", text_octets("BUF"), {}},
      {"NoMarker", text_octets("GRIB and other text, no marker here"), {}},
      {"OneMessage", a, {{0, na}}},
      {"MarkerInData", b, {{0, nb}}},
      {"JunkBetweenAndAfterShort",
       concat({text_octets("xx"), a, text_octets("ZCZC\r\n"), b, text_octets("NN")}),
       {{2, na}, {2 + na + 6, nb}}},
      {"TrailingJunkLongerThanFour", concat({a, b, text_octets("NNNN\r\r\n")}), {{0, na}, {na, nb}}},
      {"DeclaredLengthFive", concat({text_octets("BUFR"), Octets{0, 0, 5, 4}, a}), {{0, 5}, {8, na}}},
      {"DeclaredLengthZeroResumesOneOctetLater",
       concat({text_octets("BUFR"), Octets{0, 0, 0, 4}, a}),
       {{0, 0}, {8, na}}},
      {"ZeroLengthMarkersBackToBack",
       concat({text_octets("BUFR"), Octets{0, 0, 0, 4}, text_octets("BUFR"), Octets{0, 0, 0, 4}}),
       {{0, 0}, {8, 0}}},
  };
}

class Scan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(Scan, FindsTheViews) {
  auto r = scan(GetParam().buffer);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(*r, GetParam().views);
}

INSTANTIATE_TEST_SUITE_P(Buffers, Scan, ::testing::ValuesIn(scan_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

struct ScanFailure {
  const char* name;
  Octets buffer;
  std::string expected;
};

std::vector<ScanFailure> scan_failures() {
  const Octets a = sample_message();
  Octets cut = sample_message();
  cut.pop_back();
  return {
      {"MarkerInLastSevenOctets", concat({a, text_octets("xxBUFR\0")}), "message is too short to be BUFR"},
      {"MarkerAtTheVeryEnd", concat({a, text_octets("BUFR")}), "message is too short to be BUFR"},
      {"LastMessageCut",
       concat({a, text_octets("pad"), cut}),
       "section 0 at offset " + std::to_string(a.size() + 3) + " is truncated"},
  };
}

class ScanFails : public ::testing::TestWithParam<ScanFailure> {};

TEST_P(ScanFails, DropsEveryViewAndReports) {
  auto r = scan(GetParam().buffer);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Buffers, ScanFails, ::testing::ValuesIn(scan_failures()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ParseAllMessages, ParsesEachViewInOrder) {
  const Octets buffer = concat({text_octets("head"), sample_message(), small_message()});
  auto r = parse_all_messages(testing::bytes_of(buffer));
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_EQ(r->size(), 2u);
  EXPECT_EQ((*r)[0].unexpanded_descriptors, (std::vector<std::uint32_t>{301011, 1001}));
  EXPECT_EQ((*r)[1].unexpanded_descriptors, std::vector<std::uint32_t>{1001});
  // Offsets stay relative to each message, not to the buffer.
  EXPECT_EQ((*r)[0].section4_data_offset, testing::kSampleS4 + 4);
}

TEST(ParseAllMessages, FirstBadMessageEndsTheCall) {
  Octets bad = small_message();
  bad.back() = '8';
  auto r = parse_all_messages(testing::bytes_of(concat({sample_message(), bad})));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "section 5 terminator is not 7777");

  // A short declared length yields a view that the parser refuses.
  auto short_view = parse_all_messages(testing::bytes_of(concat({text_octets("BUFR"), Octets{0, 0, 5, 4}})));
  ASSERT_FALSE(short_view);
  EXPECT_EQ(short_view.error().message(), "message is too short to be BUFR");
}

TEST(ParseAllMessages, EmptyAndMarkerlessBuffersGiveNoMessages) {
  for (const Octets& o : {Octets{}, text_octets("no messages at all")}) {
    auto r = parse_all_messages(testing::bytes_of(o));
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->empty());
  }
}

// A buffer made only of zero-length headers: the scan makes progress and ends.
TEST(ScanMessages, ManyZeroLengthHeadersTerminate) {
  Octets o;
  for (int i = 0; i < 10000; ++i) {
    const Octets head = concat({text_octets("BUFR"), Octets{0, 0, 0, 4}});
    o.insert(o.end(), head.begin(), head.end());
  }
  auto r = scan(o);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->size(), 10000u);
}

}  // namespace
}  // namespace quorvex
