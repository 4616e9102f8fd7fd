// The header keys of a message (sections 0 to 3) under ecCodes's names: one table that
// every reader of header fields takes its names, types and values from.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/bytes.hpp"
#include "lib/error.hpp"
#include "message/message.hpp"

namespace quorvex {

enum class HeaderType : std::uint8_t { Long, Double, String };

// One header key's value in one message; `kind` None where the message has no such key
// (an edition-4 key in an edition-3 message, the RDB key of a message without one).
struct HeaderValue {
  enum class Kind : std::uint8_t { None, Long, Double, String };
  Kind kind = Kind::None;
  std::int64_t number = 0;
  double real = 0;
  std::string text;

  static HeaderValue of(std::int64_t v) {
    HeaderValue h;
    h.kind = Kind::Long;
    h.number = v;
    return h;
  }
  static HeaderValue of_real(double v) {
    HeaderValue h;
    h.kind = Kind::Double;
    h.real = v;
    return h;
  }
  static HeaderValue of_text(std::string v) {
    HeaderValue h;
    h.kind = Kind::String;
    h.text = std::move(v);
    return h;
  }
};

// What a key's value is read from: the parsed header, and section 2's local data when it is
// ECMWF's RDB key (centre 98, 48 octets).
struct HeaderSource {
  const BufrMessage& message;
  Bytes rdb;  // empty when the message carries no RDB key
  bool satellite = false;
};

struct HeaderKey {
  std::string_view name;
  HeaderType type;
  HeaderValue (*read)(const HeaderSource&);
  bool local = false;  // read from the local section (section 2: ECMWF's RDB key)
};

// Every header key, in the order ecCodes lists them.
[[nodiscard]] std::span<const HeaderKey> header_keys();

// The index of `name` in header_keys(), or -1.
[[nodiscard]] int header_key_index(std::string_view name);

// What the keys of one message are read from (`octets` its whole octets, `m` as parsed from
// them, both outliving the result). Fails on an impossible typical date, whatever the edition.
[[nodiscard]] Result<HeaderSource> header_source(Bytes octets, const BufrMessage& m);

// The value of every header key of one message (`octets` its whole octets, `m` as parsed
// from them), in the order of header_keys(). Fails on an impossible typical date, whatever
// the edition: a message's header either reads or it does not.
[[nodiscard]] Result<std::vector<HeaderValue>> read_header_values(Bytes octets, const BufrMessage& m);

}  // namespace quorvex
