// Fuzz entry of the message framing: one message parse of the whole buffer, the scan, and
// the parse of every message the scan finds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

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

// Reports the outcome of parsing every message of the buffer.
inline std::string run_scan_parse(const std::uint8_t* data, std::size_t size) {
  const Bytes octets(data, size);

  auto whole = parse_message(octets);
  if (whole) {
    check_message(*whole, size);
  } else {
    check_error(whole.error());
  }

  auto views = scan_messages(octets);
  auto all = parse_all_messages(octets);
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
