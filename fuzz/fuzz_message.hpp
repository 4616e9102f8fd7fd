// Fuzz entry of the message framing: one message parse of the whole buffer, the scan, and
// the parse of every message the scan finds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "message/message.hpp"

namespace quorvex::fuzz {

// What a successful parse promises about the record of an n-octet message.
inline void check_message(const BufrMessage& m, std::size_t n) {
  QV_FUZZ_CHECK(m.edition == 4);
  QV_FUZZ_CHECK(m.total_length == n);
  QV_FUZZ_CHECK(m.section4_data_offset <= n);
  QV_FUZZ_CHECK(m.section4_data_length <= n - m.section4_data_offset);
  QV_FUZZ_CHECK(m.section3_length >= 7);
  QV_FUZZ_CHECK(m.unexpanded_descriptors.size() == (m.section3_length - 7) / 2);
}

// The scan rules transcribed plainly, the oracle for scan_messages. A declared length of 0
// resumes the search one octet on (the rules would find the same marker forever).
inline Result<std::vector<MessageView>> reference_scan(Bytes b) {
  std::vector<MessageView> views;
  const std::size_t n = b.size();
  std::size_t p = 0;
  while (n - p >= 4) {
    std::size_t k = p;
    while (k + 4 <= n && !(b[k] == 'B' && b[k + 1] == 'U' && b[k + 2] == 'F' && b[k + 3] == 'R')) ++k;
    if (k + 4 > n) break;
    if (n - k < 8) return fail(BufrError::too_short());
    const std::size_t length = (std::size_t{b[k + 4]} << 16) | (std::size_t{b[k + 5]} << 8) | b[k + 6];
    if (length > n - k) return fail(BufrError::section_truncated(0, k));
    views.push_back({k, length});
    p = k + (length == 0 ? 1 : length);
  }
  return views;
}

// The framing rules transcribed step by step, the oracle for parse_message. Nothing (no
// Result at all) where the rules leave the error to the implementer: then any error will do.
inline std::optional<Result<BufrMessage>> reference_parse(Bytes b) {
  using R = Result<BufrMessage>;
  const std::size_t n = b.size();
  auto be24 = [&](std::size_t at) {
    return (std::size_t{b[at]} << 16) | (std::size_t{b[at + 1]} << 8) | std::size_t{b[at + 2]};
  };
  auto be16 = [&](std::size_t at) { return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]); };
  if (n <= 7) return R(fail(BufrError::too_short()));
  if (!(b[0] == 'B' && b[1] == 'U' && b[2] == 'F' && b[3] == 'R'))
    return R(fail(BufrError::missing_marker()));
  if (b[7] != 4) return R(fail(BufrError::unsupported_edition(b[7])));
  if (be24(4) != n) return R(fail(BufrError::length_mismatch(be24(4), n)));
  if (n <= 10) return R(fail(BufrError::section_truncated(1, 8)));
  BufrMessage m;
  m.section1_length = be24(8);
  const std::size_t s2 = 8 + m.section1_length;
  if (s2 > n) return R(fail(BufrError::section_truncated(1, 8)));
  if (n < 18) return std::nullopt;
  m.local_section_present = b[17] != 0;
  if (n < 25) return R(fail(BufrError::section_truncated(0, 23)));
  m.typical_year = be16(23);
  if (m.local_section_present) {
    if (s2 + 3 > n) return R(fail(BufrError::section_truncated(2, s2)));
    m.section2_length = be24(s2);
    if (s2 + m.section2_length > n) return R(fail(BufrError::section_truncated(2, s2)));
  }
  const std::size_t s3 = s2 + m.section2_length;
  if (s3 + 3 > n) return R(fail(BufrError::section_truncated(3, s3)));
  m.section3_length = be24(s3);
  if (s3 + m.section3_length > n || m.section3_length < 7)
    return R(fail(BufrError::section_truncated(3, s3)));
  m.number_of_subsets = be16(s3 + 4);
  // A single odd octet after the descriptors is padding, whatever its value.
  m.observed_data = (b[s3 + 6] & 0x80) != 0;
  m.compressed_data = (b[s3 + 6] & 0x40) != 0;
  for (std::size_t at = s3 + 7; at + 1 < s3 + m.section3_length; at += 2) {
    m.unexpanded_descriptors.push_back(section3_code(b[at], b[at + 1]));
  }
  const std::size_t s4 = s3 + m.section3_length;
  if (s4 + 3 > n) return R(fail(BufrError::section_truncated(4, s4)));
  m.section4_length = be24(s4);
  if (s4 + m.section4_length > n) return R(fail(BufrError::section_truncated(4, s4)));
  const std::size_t s5 = s4 + m.section4_length;
  if (s5 + 4 > n) return R(fail(BufrError::section_truncated(5, s5)));
  if (!(b[s5] == '7' && b[s5 + 1] == '7' && b[s5 + 2] == '7' && b[s5 + 3] == '7')) {
    return R(fail(BufrError::bad_terminator()));
  }
  if (n <= 29) return std::nullopt;
  m.master_table_number = b[11];
  m.originating_centre = be16(12);
  m.originating_subcentre = be16(14);
  m.update_sequence_number = b[16];
  m.data_category = b[18];
  m.international_data_subcategory = b[19];
  m.local_data_subcategory = b[20];
  m.master_tables_version_number = b[21];
  m.local_tables_version_number = b[22];
  m.typical_month = b[25];
  m.typical_day = b[26];
  m.typical_hour = b[27];
  m.typical_minute = b[28];
  m.typical_second = b[29];
  m.section4_data_offset = s4 + 4;
  m.section4_data_length = m.section4_length >= 4 ? m.section4_length - 4 : 0;
  m.edition = 4;
  m.total_length = n;
  return R(std::move(m));
}

inline bool same_record(const BufrMessage& a, const BufrMessage& b) {
  return a.total_length == b.total_length && a.edition == b.edition &&
         a.section1_length == b.section1_length && a.master_table_number == b.master_table_number &&
         a.originating_centre == b.originating_centre && a.originating_subcentre == b.originating_subcentre &&
         a.update_sequence_number == b.update_sequence_number &&
         a.local_section_present == b.local_section_present && a.data_category == b.data_category &&
         a.international_data_subcategory == b.international_data_subcategory &&
         a.local_data_subcategory == b.local_data_subcategory &&
         a.master_tables_version_number == b.master_tables_version_number &&
         a.local_tables_version_number == b.local_tables_version_number && a.typical_year == b.typical_year &&
         a.typical_month == b.typical_month && a.typical_day == b.typical_day &&
         a.typical_hour == b.typical_hour && a.typical_minute == b.typical_minute &&
         a.typical_second == b.typical_second && a.section2_length == b.section2_length &&
         a.section3_length == b.section3_length && a.number_of_subsets == b.number_of_subsets &&
         a.observed_data == b.observed_data && a.compressed_data == b.compressed_data &&
         a.unexpanded_descriptors == b.unexpanded_descriptors && a.section4_length == b.section4_length &&
         a.section4_data_offset == b.section4_data_offset && a.section4_data_length == b.section4_data_length;
}

// The parse agrees with the oracle: the same record, or the same error (any error where
// the rules leave it open).
inline void check_parse(Bytes octets, const Result<BufrMessage>& got) {
  const auto expected = reference_parse(octets);
  if (!expected) {
    QV_FUZZ_CHECK(!got.has_value());
    return;
  }
  QV_FUZZ_CHECK(expected->has_value() == got.has_value());
  if (got) {
    QV_FUZZ_CHECK(same_record(**expected, *got));
  } else {
    QV_FUZZ_CHECK(expected->error().message() == got.error().message());
  }
}

// Reports the outcome of parsing every message of the buffer.
inline std::string run_scan_parse(const std::uint8_t* data, std::size_t size) {
  const Bytes octets(data, size);

  auto whole = parse_message(octets);
  check_parse(octets, whole);
  if (whole) {
    check_message(*whole, size);
  } else {
    check_error(whole.error());
  }

  auto views = scan_messages(octets);
  auto all = parse_all_messages(octets);

  const auto expected = reference_scan(octets);
  QV_FUZZ_CHECK(expected.has_value() == views.has_value());
  if (views) {
    QV_FUZZ_CHECK(expected->size() == views->size());
    for (std::size_t i = 0; i < views->size(); ++i) {
      QV_FUZZ_CHECK((*expected)[i].offset == (*views)[i].offset &&
                    (*expected)[i].length == (*views)[i].length);
    }
  } else {
    QV_FUZZ_CHECK(expected.error().message() == views.error().message());
  }
  if (!views) {
    check_error(views.error());
    QV_FUZZ_CHECK(!all);
    QV_FUZZ_CHECK(all.error().message() == views.error().message());
    return failed(all.error());
  }

  // Views lie inside the buffer, in ascending order, each after the previous one's end.
  std::size_t next = 0;
  std::optional<std::string> first_failure;
  std::size_t parsed = 0;
  for (const MessageView& v : *views) {
    QV_FUZZ_CHECK(v.offset >= next);
    QV_FUZZ_CHECK(v.offset <= size && v.length <= size - v.offset);
    next = v.offset + (v.length == 0 ? 1 : v.length);
    auto m = parse_message(view_octets(octets, v));
    check_parse(view_octets(octets, v), m);
    if (m) {
      check_message(*m, v.length);
      if (!first_failure) ++parsed;
    } else {
      check_error(m.error());
      if (!first_failure) first_failure = m.error().message();
    }
  }
  // Parsing everything agrees with parsing view by view: all records, or the first error.
  if (first_failure) {
    QV_FUZZ_CHECK(!all);
    QV_FUZZ_CHECK(all.error().message() == *first_failure);
  } else {
    QV_FUZZ_CHECK(all.has_value());
    QV_FUZZ_CHECK(all->size() == parsed);
  }
  return all ? ok(all->size()) : failed(all.error());
}

}  // namespace quorvex::fuzz
