// Hand-built BUFR edition 4 messages for the framing tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "message/message.hpp"

namespace quorvex::testing {

using Octets = std::vector<std::uint8_t>;

// One complete message of 52 octets, written out octet by octet.
inline const Octets& sample_message() {
  static const Octets octets = {
      // Section 0: "BUFR", total length 52, edition 4.
      'B',
      'U',
      'F',
      'R',
      0x00,
      0x00,
      0x34,
      0x04,
      // Section 1 (22 octets): length 22, master table 0, centre 98 (0x0062),
      // sub-centre 0x0102, update sequence 3, flag 0 (no section 2), category 2,
      // international sub-category 4, local sub-category 5, master version 38,
      // local version 1, year 2024 (0x07E8), 2024-12-31 23:59:58.
      0x00,
      0x00,
      0x16,
      0x00,
      0x00,
      0x62,
      0x01,
      0x02,
      0x03,
      0x00,
      0x02,
      0x04,
      0x05,
      0x26,
      0x01,
      0x07,
      0xE8,
      0x0C,
      0x1F,
      0x17,
      0x3B,
      0x3A,
      // Section 3 (11 octets): length 11, reserved, 3 subsets, flags 0xC0 (observed,
      // compressed), descriptors 0xC1 0x0B = 0b11'000001'00001011 -> 3-01-011,
      // 0x01 0x01 = 0b00'000001'00000001 -> 0-01-001.
      0x00,
      0x00,
      0x0B,
      0x00,
      0x00,
      0x03,
      0xC0,
      0xC1,
      0x0B,
      0x01,
      0x01,
      // Section 4 (7 octets): length 7, reserved, three data octets.
      0x00,
      0x00,
      0x07,
      0x00,
      0xAA,
      0xBB,
      0xCC,
      // Section 5.
      '7',
      '7',
      '7',
      '7'};
  return octets;
}

// Offsets of the sections of sample_message().
constexpr std::size_t kSampleS3 = 30;
constexpr std::size_t kSampleS4 = 41;
constexpr std::size_t kSampleS5 = 48;

inline void put_be24(Octets& o, std::size_t at, std::size_t v) {
  o[at] = static_cast<std::uint8_t>(v >> 16);
  o[at + 1] = static_cast<std::uint8_t>(v >> 8);
  o[at + 2] = static_cast<std::uint8_t>(v);
}

// Rewrites the total length in section 0 to the current size.
inline Octets& fix_total_length(Octets& o) {
  put_be24(o, 4, o.size());
  return o;
}

// Parts of a message, assembled with every section length filled in.
struct MessageParts {
  Octets section1 = Octets(19, 0);  // octets after the length, normally 19
  Octets section2;                  // content after the length; used when flag != 0
  std::uint8_t section2_flag = 0;
  std::uint16_t subsets = 1;
  std::uint8_t flags = 0x80;
  Octets descriptor_octets;
  Octets data;
  std::string_view terminator = "7777";
  Octets trailer;  // octets after the terminator, inside the declared length
};

inline Octets build_message(const MessageParts& p) {
  Octets o = {'B', 'U', 'F', 'R', 0, 0, 0, 4};
  auto section = [&o](std::size_t length_field, const Octets& body) {
    const std::size_t at = o.size();
    o.insert(o.end(), 3, 0);
    put_be24(o, at, length_field);
    o.insert(o.end(), body.begin(), body.end());
  };
  Octets s1 = p.section1;
  if (s1.size() > 6) s1[6] = p.section2_flag;  // octet 17 of the message
  section(3 + s1.size(), s1);
  if (p.section2_flag != 0) section(3 + p.section2.size(), p.section2);
  Octets s3 = {0, static_cast<std::uint8_t>(p.subsets >> 8), static_cast<std::uint8_t>(p.subsets), p.flags};
  s3.insert(s3.end(), p.descriptor_octets.begin(), p.descriptor_octets.end());
  section(3 + s3.size(), s3);
  Octets s4 = {0};
  s4.insert(s4.end(), p.data.begin(), p.data.end());
  section(3 + s4.size(), s4);
  o.insert(o.end(), p.terminator.begin(), p.terminator.end());
  o.insert(o.end(), p.trailer.begin(), p.trailer.end());
  return fix_total_length(o);
}

inline Octets concat(std::initializer_list<Octets> parts) {
  Octets out;
  for (const Octets& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Octets text_octets(std::string_view s) { return Octets(s.begin(), s.end()); }

inline Bytes bytes_of(const Octets& o) { return Bytes(o.data(), o.size()); }

}  // namespace quorvex::testing
