// The elements whose values a reader wants. Compressed data: the others are passed over by
// their widths, their columns holding R0 for every subset. Uncompressed data (when the
// nesting is not recorded): the numbers of the others are read past and leave no record,
// unless their codes are below `recorded_below` (their records then hold their values).
// Class 31 is always read, since the walk itself depends on it, but in uncompressed data it
// too leaves a record only when wanted (replication factors always do).
#pragma once

#include <cstdint>
#include <vector>

namespace quorvex {

struct WantedElements {
  std::vector<bool> codes = std::vector<bool>(64 * 256, false);  // by X * 256 + Y
  std::uint32_t recorded_below = 0;

  void add(std::uint32_t code) {
    if (code < 100000) codes[code / 1000 % 100 * 256 + code % 1000 % 256] = true;
  }
  bool wants(std::uint32_t code) const {
    return code >= 100000 || code / 1000 % 100 == 31 || codes[code / 1000 % 100 * 256 + code % 1000 % 256];
  }
  // Whether an uncompressed number of `code` is recorded.
  bool records(std::uint32_t code) const {
    return code < recorded_below || code >= 100000 || codes[code / 1000 % 100 * 256 + code % 1000 % 256];
  }
};

}  // namespace quorvex
