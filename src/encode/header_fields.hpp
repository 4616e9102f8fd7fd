// Section 1 fields set by their header keys (the names of the header-key table), with the
// defaults of a message written from a table.
#pragma once

#include <cstdint>
#include <string_view>

#include "lib/error.hpp"
#include "message/message.hpp"

namespace quorvex {

// The newest master table version the package's tables hold: the default of a new message.
inline constexpr std::uint8_t kDefaultMasterVersion = 45;

// A new message's header: edition 4, master table 0, centre 255 (missing), sub-centre 0,
// data category and sub-categories 255 (unknown), the newest master table version, no
// local tables, observed data, and no typical time yet (year 0).
BufrMessage default_header();

// Sets the field of header key `name` to `value`. Refused for a name that is no header key,
// a key that is not set by hand (lengths, flags the writer decides, section 2 keys), a
// value outside the field, and edition other than 4.
[[nodiscard]] Status set_header_key(BufrMessage& header, std::string_view name, std::int64_t value);

// Whether header key `name` is one set_header_key sets (not edition, lengths, flags the
// writer decides, the keys computed from others, section 2).
bool settable_header_key(std::string_view name);

}  // namespace quorvex
