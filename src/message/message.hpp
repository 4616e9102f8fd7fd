// Framing of one BUFR edition 4 message and the scan for messages in a buffer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lib/bytes.hpp"
#include "lib/error.hpp"

namespace quorvex {

// A message found inside a larger buffer: start offset and length in octets.
struct MessageView {
  std::size_t offset = 0;
  std::size_t length = 0;
};

struct BufrMessage {
  std::size_t total_length = 0;
  std::uint8_t edition = 0;
  std::size_t section1_length = 0;
  std::uint8_t master_table_number = 0;
  std::uint16_t originating_centre = 0;
  std::uint16_t originating_subcentre = 0;
  std::uint8_t update_sequence_number = 0;
  bool local_section_present = false;
  std::uint8_t data_category = 0;
  std::uint8_t international_data_subcategory = 0;
  std::uint8_t local_data_subcategory = 0;
  std::uint8_t master_tables_version_number = 0;
  std::uint8_t local_tables_version_number = 0;
  std::uint16_t typical_year = 0;
  std::uint8_t typical_month = 0;
  std::uint8_t typical_day = 0;
  std::uint8_t typical_hour = 0;
  std::uint8_t typical_minute = 0;
  std::uint8_t typical_second = 0;
  std::size_t section2_length = 0;
  std::size_t section3_length = 0;
  std::uint16_t number_of_subsets = 0;
  bool observed_data = false;
  bool compressed_data = false;
  std::vector<std::uint32_t> unexpanded_descriptors;
  std::size_t section4_length = 0;
  std::size_t section4_data_offset = 0;
  std::size_t section4_data_length = 0;
};

// What the parser accepts beyond edition 4.
struct ParseOptions {
  // Editions 2 and 3 too, section 1 read by their own layout (see message.cpp); their
  // typical date is checked, as nothing else would catch an impossible one.
  bool older_editions = false;
  // The typical date of edition 4 checked too (a reader that gives rows refuses a message
  // whose date is impossible, as its header keys would).
  bool typical_date = false;
};

// Section 1 of editions 2 and 3 has no international data sub-category.
inline constexpr std::uint8_t kNoInternationalSubcategory = 255;

// Parse exactly one message occupying all of `octets`: edition 4 only.
[[nodiscard]] Result<BufrMessage> parse_message(Bytes octets);
[[nodiscard]] Result<BufrMessage> parse_message(Bytes octets, ParseOptions options);
// The same into `out`, whose memory is reused; on error `out` is left unspecified.
[[nodiscard]] Status parse_message(Bytes octets, ParseOptions options, BufrMessage& out);

// Fails with the date in the error when the typical date and time is not a real one.
[[nodiscard]] Status check_typical_date(const BufrMessage& m);

// One "BUFR" found by the resynchronising scan: its declared extent and, when that extent
// does not hold a whole message (runs past the buffer, or does not end in "7777"), why.
struct FoundMessage {
  std::size_t offset = 0;
  std::size_t length = 0;
  bool ok = true;
  ErrorKind problem = ErrorKind::TooShort;  // when !ok

  BufrError error() const;
  // Where the search goes on after this marker: the end of a whole message, else four
  // octets past the marker.
  std::size_t resume() const { return ok ? offset + length : offset + 4; }
  // The end of the octets a reader needs to judge this marker: its declared extent, and at
  // least the eight octets of section 0.
  std::size_t needed() const { return offset + std::max<std::size_t>(length, 8); }
};

// Every "BUFR" whose first octet lies in [start, end) of `octets` (end clamped to the
// buffer); a message may extend past `end`. After a whole message the search resumes
// at its end, after a damaged one four octets past its marker, so a message cut short
// swallows none of the ones after it.
[[nodiscard]] std::vector<FoundMessage> scan_resync(Bytes octets, std::size_t start, std::size_t end);

// Find every message in a buffer, trusting each declared length.
[[nodiscard]] Result<std::vector<MessageView>> scan_messages(Bytes octets);

// Scan a buffer and parse every message found, in order; the first failure ends it.
[[nodiscard]] Result<std::vector<BufrMessage>> parse_all_messages(Bytes octets);

// The octets of a view within the buffer it was found in.
inline Bytes view_octets(Bytes buffer, const MessageView& v) { return buffer.subspan(v.offset, v.length); }

// The section 4 data octets of a parsed message within its own octets.
inline Bytes section4_data(Bytes message_octets, const BufrMessage& m) {
  return message_octets.subspan(m.section4_data_offset, m.section4_data_length);
}

}  // namespace quorvex
