// Fuzz entry of the writers against the reference tables. The input:
//   octet 0      number of subsets, 1 + (octet % 4)
//   octets 1-2   number of descriptors n (big-endian; cut to what the input holds)
//   then n descriptors of two octets each, as section 3 writes them
//   then values, each a kind octet and its content:
//     kind % 4 == 0  missing
//     kind % 4 == 1  raw bits: a width octet w (w % 66, 65 meaning all 64 bits set) and 8
//                    octets, kept to the low w bits (so every width's limits come up)
//     kind % 4 == 2  a number: 8 octets as a double (NaN, infinities and extremes included)
//     kind % 4 == 3  a text: a length octet (% 80) and that many octets
// The values are dealt out to the subsets in equal runs. Whatever the writer accepts must
// decode, and the decoded values written again must decode to the same values.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bitstream/bit_reader.hpp"
#include "decode/compressed.hpp"
#include "decode/uncompressed.hpp"
#include "encode/data_writer.hpp"
#include "encode/reencode.hpp"
#include "fuzz_support.hpp"

namespace quorvex::fuzz {

inline std::vector<FieldValue> fuzz_values(const std::uint8_t* data, std::size_t size) {
  std::vector<FieldValue> values;
  std::size_t at = 0;
  while (at < size) {
    const std::uint8_t kind = data[at++];
    switch (kind % 4) {
      case 0:
        values.push_back(FieldValue::missing());
        break;
      case 1: {
        if (size - at < 9) return values;
        const unsigned w = data[at] % 66;
        std::uint64_t raw;
        std::memcpy(&raw, data + at + 1, 8);
        at += 9;
        if (w == 65) {
          raw = ~std::uint64_t{0};
        } else if (w < 64) {
          raw &= (std::uint64_t{1} << w) - 1;
        }
        values.push_back(FieldValue::of_raw(raw));
        break;
      }
      case 2: {
        if (size - at < 8) return values;
        double number;
        std::memcpy(&number, data + at, 8);
        at += 8;
        values.push_back(FieldValue::of_number(number));
        break;
      }
      default: {
        if (at >= size) return values;
        const std::size_t wanted = data[at++] % 80;
        const std::size_t length = std::min<std::size_t>(wanted, size - at);
        values.push_back(
            FieldValue::of_text(std::string_view(reinterpret_cast<const char*>(data + at), length)));
        at += length;
        break;
      }
    }
  }
  return values;
}

inline Result<DecodeResult> fuzz_decode(std::span<const std::uint32_t> codes, Bytes data,
                                        std::uint16_t subsets, bool compressed) {
  DecodeResult out;
  BitReader reader(data);
  if (compressed) {
    QV_CHECK(decode_compressed(codes, reference_tables(), reader, subsets, out));
  } else {
    QV_CHECK(decode_uncompressed(codes, reference_tables(), reader, subsets, out));
  }
  return out;
}

// The values a reader sees: raw bits only where there is a value.
inline bool same_values(const DecodeResult& a, const DecodeResult& b) {
  if (a.values.size() != b.values.size() || a.subset_starts != b.subset_starts) return false;
  for (std::size_t i = 0; i < a.values.size(); ++i) {
    const DecodedValue& x = a.values[i];
    const DecodedValue& y = b.values[i];
    if (x.descriptor != y.descriptor || x.flags != y.flags || x.role != y.role) return false;
    if (x.has_value() &&
        std::bit_cast<std::uint64_t>(x.raw_value) != std::bit_cast<std::uint64_t>(y.raw_value))
      return false;
    if (x.has_value() && x.has_raw() && x.raw != y.raw) return false;
    if (x.has_text() && a.texts[x.text_index] != b.texts[y.text_index]) return false;
  }
  return true;
}

inline std::string run_encode(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return "short input";
  const auto subsets = static_cast<std::uint16_t>(1 + data[0] % 4);
  std::size_t n = static_cast<std::size_t>((data[1] << 8) | data[2]);
  if (n > (size - 3) / 2) n = (size - 3) / 2;
  std::vector<std::uint32_t> codes;
  for (std::size_t i = 0; i < n; ++i) codes.push_back(section3_code(data[3 + 2 * i], data[4 + 2 * i]));
  const std::vector<FieldValue> values = fuzz_values(data + 3 + 2 * n, size - 3 - 2 * n);
  std::vector<std::size_t> starts;
  for (std::size_t s = 0; s < subsets; ++s) starts.push_back(values.size() * s / subsets);
  std::string outcome;
  for (const bool compressed : {false, true}) {
    const auto written =
        write_data_section(codes, reference_tables(), {values, starts}, {.compressed = compressed});
    if (!written) {
      outcome += failed(written.error()) + "; ";
      continue;
    }
    const auto decoded = fuzz_decode(codes, *written, subsets, compressed);
    QV_FUZZ_CHECK(decoded.has_value());
    DecodedFields fields;
    fields_of(*decoded, fields);
    const auto again =
        write_data_section(codes, reference_tables(), fields.view(), {.compressed = compressed});
    QV_FUZZ_CHECK(again.has_value());
    const auto redecoded = fuzz_decode(codes, *again, subsets, compressed);
    QV_FUZZ_CHECK(redecoded.has_value() && same_values(*decoded, *redecoded));
    outcome += ok(decoded->values.size()) + "; ";
  }
  return outcome;
}

}  // namespace quorvex::fuzz
