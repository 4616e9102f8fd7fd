#include "decode/decode_state.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "decode/walk.hpp"
#include "decode_fixture.hpp"

namespace quorvex {
namespace {

TEST(OperatorStateTest, OperatorsWithoutEffectLeaveTheStateAlone) {
  for (std::uint32_t x : {0u, 9u, 21u, 28u, 43u, 61u, 63u, 64u, 80u, 99u}) {
    DecodeState state;
    apply_operator(state, 200000 + x * 1000 + 7);
    EXPECT_EQ(state.width_delta, 0);
    EXPECT_EQ(state.scale_delta, 0);
    EXPECT_EQ(state.reference_multiplier, 1);
    EXPECT_EQ(state.associated_width, 0);
    EXPECT_FALSE(state.local_width_active);
    EXPECT_FALSE(state.text_width_active);
    EXPECT_FALSE(state.bitmap_defining);
  }
}

TEST(OperatorStateTest, StateChanges) {
  DecodeState s;
  apply_operator(s, 204008);
  EXPECT_EQ(s.associated_width, 8);
  apply_operator(s, 206016);
  EXPECT_TRUE(s.local_width_active);
  EXPECT_EQ(s.local_width, 16);
  apply_operator(s, 208010);
  EXPECT_TRUE(s.text_width_active);
  EXPECT_EQ(s.text_width, 80);
  apply_operator(s, 207003);
  EXPECT_EQ(s.width_delta, 10);
  EXPECT_EQ(s.scale_delta, 3);
  EXPECT_EQ(s.reference_multiplier, 1000);
  apply_operator(s, 207019);  // 10^19 does not fit: saturates
  EXPECT_EQ(s.reference_multiplier, std::numeric_limits<std::int64_t>::max());
  apply_operator(s, 203012);
  EXPECT_EQ(s.new_reference_bits, 12);
  s.new_references[12101] = -5;
  apply_operator(s, 203255);
  EXPECT_EQ(s.new_reference_bits, 0);
  EXPECT_EQ(s.new_references.size(), 1u);
  apply_operator(s, 203000);
  EXPECT_TRUE(s.new_references.empty());
  s.text_counter = 9;
  s.reset_for_subset();
  EXPECT_EQ(s.text_counter, 9u);
  EXPECT_EQ(s.associated_width, 0);
  EXPECT_EQ(s.reference_multiplier, 1);
}

class BitmapTest : public ::testing::Test {
 protected:
  TableSet tables = testing::test_tables();
  DecodeState s;
  const ElementDefinition* a = tables.find_element(1001);
  const ElementDefinition* b = tables.find_element(1002);
  const ElementDefinition* c = tables.find_element(12101);
  const ElementDefinition* dpi = tables.find_element(31031);
  const ElementDefinition* factor = tables.find_element(31001);

  std::vector<const ElementDefinition*> drain() {
    std::vector<const ElementDefinition*> got;
    for (;;) {
      auto next = next_bitmap_element(s);
      EXPECT_TRUE(next);
      if (!next || *next == nullptr) return got;
      got.push_back(*next);
    }
  }
};

TEST_F(BitmapTest, DefinedBitmapSelectsEntriesBeforeDefinition) {
  for (auto* e : {a, b, c}) record_element(s, *e, 1.0);
  EXPECT_EQ(apply_operator(s, 236000), OperatorAction::Marker);
  record_factor(s, *factor);
  for (double v : {0.0, 1.0, 0.0}) record_element(s, *dpi, v);
  EXPECT_EQ(s.history.size(), 4u);  // the factor, not the indicators
  EXPECT_EQ(drain(), (std::vector<const ElementDefinition*>{a, c}));
  apply_operator(s, 237000);
  EXPECT_EQ(drain(), (std::vector<const ElementDefinition*>{a, c}));
  apply_operator(s, 237255);
  EXPECT_TRUE(drain().empty());
}

TEST_F(BitmapTest, ShortHistoryReferencesFirstEntriesAndFailsPastTheEnd) {
  record_element(s, *a, 1.0);
  record_element(s, *b, 1.0);
  apply_operator(s, 236000);
  for (double v : {1.0, 1.0, 1.0, 1.0, 0.0}) record_element(s, *dpi, v);
  record_element(s, *c, 1.0);
  record_element(s, *c, 1.0);
  ASSERT_EQ(s.history.size(), 4u);
  auto next = next_bitmap_element(s);
  ASSERT_FALSE(next);
  EXPECT_EQ(next.error().message(), "csv/table parse error: bitmap reference is outside descriptor history");
}

TEST_F(BitmapTest, BitmapAfterQualityOperatorWithout236) {
  record_element(s, *a, 1.0);
  record_element(s, *b, 1.0);
  EXPECT_EQ(apply_operator(s, 222000), OperatorAction::Marker);
  record_factor(s, *factor);
  record_element(s, *dpi, 1.0);
  record_element(s, *dpi, 0.0);
  record_element(s, *c, 1.0);    // ends the collection and enters the history
  record_element(s, *dpi, 0.0);  // an ordinary element again
  EXPECT_EQ(s.bitmap.size(), 2u);
  EXPECT_EQ(s.history.size(), 5u);
  EXPECT_EQ(drain(), (std::vector<const ElementDefinition*>{b}));
}

TEST_F(BitmapTest, OperatorThenOtherElementDisarms) {
  record_element(s, *a, 1.0);
  apply_operator(s, 224000);
  record_element(s, *b, 1.0);
  record_element(s, *dpi, 0.0);
  EXPECT_TRUE(s.bitmap.empty());
  EXPECT_EQ(s.history.size(), 3u);
}

// Substituted values after a quality information block refer to the data before the
// quality block, as the quality bitmap does; 2-35-000 lets the next one start afresh.
TEST_F(BitmapTest, LaterOperatorsReferToTheDataOfTheFirst) {
  const ElementDefinition* centre = tables.find_element(1031);
  const ElementDefinition* confidence = tables.find_element(33007);
  record_element(s, *a, 1.0);
  record_element(s, *b, 1.0);
  apply_operator(s, 222000);
  record_factor(s, *factor);
  record_element(s, *dpi, 0.0);
  record_element(s, *dpi, 1.0);
  record_element(s, *centre, 98.0);
  record_element(s, *confidence, 70.0);
  EXPECT_EQ(drain(), (std::vector<const ElementDefinition*>{a}));
  apply_operator(s, 223000);
  record_element(s, *dpi, 1.0);
  record_element(s, *dpi, 0.0);
  EXPECT_EQ(drain(), (std::vector<const ElementDefinition*>{b}));
  record_element(s, *c, 1.0);  // history: a b factor centre confidence c
  apply_operator(s, 235000);
  apply_operator(s, 224000);
  record_element(s, *dpi, 1.0);
  record_element(s, *dpi, 0.0);
  EXPECT_EQ(drain(), (std::vector<const ElementDefinition*>{c}));
}

TEST_F(BitmapTest, BitmapFamilyOperatorEndsImplicitCollection) {
  record_element(s, *a, 1.0);
  apply_operator(s, 223000);
  record_element(s, *dpi, 0.0);
  EXPECT_EQ(apply_operator(s, 223255), OperatorAction::BitmapRead);
  record_element(s, *dpi, 0.0);  // no longer part of the bitmap
  EXPECT_EQ(s.bitmap.size(), 1u);
  EXPECT_EQ(s.history.size(), 2u);
  apply_operator(s, 224000);
  apply_operator(s, 237000);  // cancels the armed bitmap
  record_element(s, *dpi, 0.0);
  EXPECT_EQ(s.bitmap.size(), 1u);
  EXPECT_EQ(s.history.size(), 3u);
}

TEST_F(BitmapTest, Defined236BitmapKeepsCollecting) {
  record_element(s, *a, 1.0);
  apply_operator(s, 236000);
  record_element(s, *dpi, 0.0);
  record_element(s, *b, 1.0);
  apply_operator(s, 222000);  // 2-36-000 in force: the documented flag rules
  record_element(s, *dpi, 1.0);
  EXPECT_EQ(s.bitmap, (std::vector<std::uint8_t>{0, 1}));
  EXPECT_EQ(s.bitmap_definition, 1u);
}

TEST(CountsTest, ReplicationCountAndBitmapEntry) {
  EXPECT_EQ(replication_count(std::nullopt), 0u);
  EXPECT_EQ(replication_count(-3.0), 0u);
  EXPECT_EQ(replication_count(NAN), 0u);
  EXPECT_EQ(replication_count(3.9), 3u);
  EXPECT_EQ(replication_count(18446744073709551616.0), ~std::uint64_t{0});
  EXPECT_EQ(replication_count(INFINITY), ~std::uint64_t{0});
  EXPECT_EQ(replication_count(9007199254740992.0), 9007199254740992u);
  EXPECT_EQ(bitmap_entry(-1.0), 0);
  EXPECT_EQ(bitmap_entry(NAN), 0);
  EXPECT_EQ(bitmap_entry(1.7), 1);
  EXPECT_EQ(bitmap_entry(300.0), 255);
}

TEST(WorkLimitsTest, SaturateInsteadOfWrapping) {
  constexpr std::uint64_t kMax = ~std::uint64_t{0};
  EXPECT_EQ(WorkLimits::steps(kMax / 8 + 1), kMax);
  EXPECT_EQ(WorkLimits::compressed_values(kMax / 16 + 1), kMax);
  EXPECT_EQ(WorkLimits::values(kMax), kMax);
  // Just below the overflow of the product, the allowance still saturates the sum.
  EXPECT_EQ(WorkLimits::steps(kMax / 8), kMax);
}

}  // namespace
}  // namespace quorvex
