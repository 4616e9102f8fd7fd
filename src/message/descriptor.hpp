// Descriptor codes: a BUFR descriptor F-X-Y travels as the integer F*100000 + X*1000 + Y,
// whose decimal digits read FXXYYY (0-01-001 is 1001, 3-01-011 is 301011).
#pragma once

#include <cstdint>

namespace quorvex {

struct DescriptorParts {
  std::uint32_t f = 0;
  std::uint32_t x = 0;
  std::uint32_t y = 0;
};

constexpr std::uint32_t descriptor_code(std::uint32_t f, std::uint32_t x, std::uint32_t y) {
  return f * 100000 + x * 1000 + y;
}

// Splits a code by its decimal digits; no range check (Y may exceed 255 for codes that
// do not come from a message).
constexpr DescriptorParts split_code(std::uint32_t code) {
  return {code / 100000, (code / 1000) % 100, code % 1000};
}

// The 16-bit form of section 3: F in the top 2 bits, X in the next 6, Y in the low 8.
constexpr std::uint32_t code_from_packed(std::uint16_t packed) {
  return descriptor_code(packed >> 14, (packed >> 8) & 0x3Fu, packed & 0xFFu);
}

}  // namespace quorvex
