#include "message/descriptor.hpp"

#include <gtest/gtest.h>

namespace quorvex {
namespace {

struct CodeCase {
  std::uint32_t f, x, y, code;
};

class DescriptorCode : public ::testing::TestWithParam<CodeCase> {};

TEST_P(DescriptorCode, JoinsAndSplitsByDecimalDigits) {
  const CodeCase c = GetParam();
  EXPECT_EQ(descriptor_code(c.f, c.x, c.y), c.code);
  const DescriptorParts p = split_code(c.code);
  EXPECT_EQ(p.f, c.f);
  EXPECT_EQ(p.x, c.x);
  EXPECT_EQ(p.y, c.y);
}

INSTANTIATE_TEST_SUITE_P(Codes, DescriptorCode,
                         ::testing::Values(CodeCase{0, 0, 0, 0}, CodeCase{0, 1, 1, 1001},
                                           CodeCase{3, 1, 11, 301011}, CodeCase{1, 1, 0, 101000},
                                           CodeCase{3, 63, 255, 363255}, CodeCase{255, 55, 255, 25555255}));

TEST(DescriptorCode, SplitKeepsYAbove255) {
  // Codes from callers need not be valid: 0-01-999 splits into its digits.
  const DescriptorParts p = split_code(1999);
  EXPECT_EQ(p.x, 1u);
  EXPECT_EQ(p.y, 999u);
  EXPECT_EQ(split_code(4294967295u).f, 42949u);
}

TEST(DescriptorCode, PackedFormUsesTwoSixEightBits) {
  for (std::uint32_t v = 0; v <= 0xFFFF; ++v) {
    const std::uint32_t code = code_from_packed(static_cast<std::uint16_t>(v));
    const DescriptorParts p = split_code(code);
    ASSERT_EQ(p.f, v >> 14);
    ASSERT_EQ(p.x, (v >> 8) & 0x3F);
    ASSERT_EQ(p.y, v & 0xFF);
  }
}

}  // namespace
}  // namespace quorvex
