#include "decode/walk.hpp"

#include <limits>

namespace quorvex {

namespace {

// a * bits + allowance, saturated.
std::uint64_t limit(std::uint64_t per_bit, std::uint64_t bits, std::uint64_t allowance) {
  std::uint64_t r;
  if (__builtin_mul_overflow(bits, per_bit, &r) || __builtin_add_overflow(r, allowance, &r)) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return r;
}

}  // namespace

std::uint64_t WorkLimits::steps(std::uint64_t bits) { return limit(8, bits, kStepAllowance); }
std::uint64_t WorkLimits::values(std::uint64_t bits) { return limit(1, bits, kValueAllowance); }
std::uint64_t WorkLimits::compressed_values(std::uint64_t bits) {
  return limit(kCompressedValuesPerBit, bits, kValueAllowance);
}

}  // namespace quorvex
