// Fuzz entries of the data-section decoders against the reference tables. The input is a
// message reduced to what the decoders read:
//   octets 0-1  number of subsets (big-endian)
//   octets 2-3  number of descriptors n (big-endian; cut to what the input holds)
//   then n descriptors of two octets each, as section 3 writes them
//   then the section 4 data.
// fuzz/seed.py makes such inputs from real messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "decode/decode.hpp"
#include "decode/template_program.hpp"
#include "fuzz_support.hpp"
#include "message/message.hpp"

namespace quorvex::fuzz {

inline bool same_value(const DecodedValue& a, const DecodeResult& ra, const DecodedValue& b,
                       const DecodeResult& rb) {
  if (a.descriptor != b.descriptor || a.flags != b.flags || a.name != b.name || a.meaning != b.meaning)
    return false;
  if (a.has_raw() && a.raw != b.raw) return false;
  if (a.has_value() && std::memcmp(&a.raw_value, &b.raw_value, sizeof(double)) != 0) return false;
  return !a.has_text() || ra.texts[a.text_index] == rb.texts[b.text_index];
}

// Uncompressed subsets are read one after the other from the start of section 4, so the
// values of a one-subset decode of the same data are the first values of the full decode.
inline void check_first_subset(const BufrMessage& m, Bytes section4, const DecodeResult& all) {
  BufrMessage one = m;
  one.number_of_subsets = 1;
  auto first = decode_data_section(one, reference_tables(), section4);
  QV_FUZZ_CHECK(first.has_value());
  QV_FUZZ_CHECK(first->values.size() <= all.values.size());
  for (std::size_t i = 0; i < first->values.size(); ++i) {
    QV_FUZZ_CHECK(same_value(first->values[i], *first, all.values[i], all));
  }
}

// The template compiled once decodes as the walk: the same records, or the same error.
inline void check_program(const BufrMessage& m, Bytes section4, const Result<DecodeResult>& walked) {
  const auto program = compile_template(reference_tables(), m.unexpanded_descriptors);
  if (!program) return;
  const auto replayed = decode_data_section(m, reference_tables(), section4, &*program);
  QV_FUZZ_CHECK(replayed.has_value() == walked.has_value());
  if (!walked) {
    QV_FUZZ_CHECK(replayed.error().message() == walked.error().message());
    return;
  }
  QV_FUZZ_CHECK(replayed->values.size() == walked->values.size());
  for (std::size_t i = 0; i < walked->values.size(); ++i) {
    QV_FUZZ_CHECK(same_value(replayed->values[i], *replayed, walked->values[i], *walked));
  }
  QV_FUZZ_CHECK(replayed->subset_starts == walked->subset_starts);
}

inline std::string run_decode(const std::uint8_t* data, std::size_t size, bool compressed) {
  if (size < 4) return "short input";
  BufrMessage m;
  m.edition = 4;
  m.compressed_data = compressed;
  m.number_of_subsets = static_cast<std::uint16_t>((data[0] << 8) | data[1]);
  std::size_t n = static_cast<std::size_t>((data[2] << 8) | data[3]);
  if (n > (size - 4) / 2) n = (size - 4) / 2;
  m.unexpanded_descriptors.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    m.unexpanded_descriptors.push_back(section3_code(data[4 + 2 * i], data[5 + 2 * i]));
  }
  const std::size_t start = 4 + 2 * n;
  const Bytes section4(data + start, size - start);

  auto decoded = decode_data_section(m, reference_tables(), section4);
  check_program(m, section4, decoded);
  if (!decoded) return failed(decoded.error());
  // The documented work bounds: values per bit of section 4, plus a fixed allowance.
  const std::uint64_t bits = std::uint64_t{section4.size()} * 8;
  const std::uint64_t limit = (compressed ? 16 * bits : bits) + (std::uint64_t{1} << 20);
  QV_FUZZ_CHECK(decoded->values.size() <= limit);
  for (const DecodedValue& v : decoded->values) {
    QV_FUZZ_CHECK(v.name != nullptr);
    if (v.has_text()) QV_FUZZ_CHECK(v.text_index < decoded->texts.size());
  }
  if (!compressed && m.number_of_subsets > 1) check_first_subset(m, section4, *decoded);
  return ok(decoded->values.size());
}

inline std::string run_decode_uncompressed(const std::uint8_t* data, std::size_t size) {
  return run_decode(data, size, false);
}
inline std::string run_decode_compressed(const std::uint8_t* data, std::size_t size) {
  return run_decode(data, size, true);
}

}  // namespace quorvex::fuzz
