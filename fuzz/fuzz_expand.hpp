// Fuzz entry of the descriptor expansion against the reference tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "tables/expand.hpp"

namespace quorvex::fuzz {

// Descriptor codes from octets: each pair is one descriptor as section 3 writes it (F in
// 2 bits, X in 6, Y in 8), except that the pair 0xFF 0xFF is followed by a raw 32-bit
// big-endian code, so that codes no message can hold are reached too.
inline std::vector<std::uint32_t> codes_from_octets(const std::uint8_t* p, std::size_t n) {
  std::vector<std::uint32_t> codes;
  codes.reserve(n / 2);
  std::size_t i = 0;
  while (n - i >= 2) {
    if (p[i] == 0xFF && p[i + 1] == 0xFF && n - i >= 6) {
      codes.push_back((std::uint32_t{p[i + 2]} << 24) | (std::uint32_t{p[i + 3]} << 16) |
                      (std::uint32_t{p[i + 4]} << 8) | p[i + 5]);
      i += 6;
      continue;
    }
    codes.push_back(section3_code(p[i], p[i + 1]));
    i += 2;
  }
  return codes;
}

inline std::string run_expand(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint32_t> codes = codes_from_octets(data, size);
  auto expanded = expand_descriptor_list(reference_tables(), codes);
  if (!expanded) return failed(expanded.error());
  // Only elements, the operators that pass through and the associated-field marker are
  // left; no sequence, no replication, no consumed operator.
  for (const std::uint32_t code : *expanded) {
    if (code == kAssociatedFieldCode) continue;
    const std::uint32_t f = (code / 100000) % 256;
    const std::uint32_t x = (code % 100000) / 1000;
    QV_FUZZ_CHECK(f == 0 || f == 2);
    if (f == 2) QV_FUZZ_CHECK(x != 1 && x != 2 && x != 4 && x != 6 && x != 7 && x != 8);
  }
  return ok(expanded->size());
}

}  // namespace quorvex::fuzz
