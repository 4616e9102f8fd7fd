// The strict decimal grammar of every number in a table file: an optional "+" (or "-"
// for the signed types), then one or more ASCII digits, nothing else.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "lib/error.hpp"

namespace quorvex {

enum class DecimalFault : std::uint8_t { Empty, InvalidDigit, TooLarge, TooSmall };

// "cannot parse integer from empty string", "invalid digit found in string", ...
std::string_view decimal_fault_text(DecimalFault fault);

// Digits are read left to right and the first fault met is the one reported, so an
// overflow before a stray character reports the overflow.
[[nodiscard]] std::expected<std::uint64_t, DecimalFault> parse_unsigned(std::string_view text,
                                                                        std::uint64_t max);
[[nodiscard]] std::expected<std::int64_t, DecimalFault> parse_signed(std::string_view text, std::int64_t min,
                                                                     std::int64_t max);

// The three table columns, failing with TableText "bad i32 <quoted field>: <reason>" and
// the like.
[[nodiscard]] Result<std::int32_t> parse_i32_field(std::string_view field);
[[nodiscard]] Result<std::int64_t> parse_i64_field(std::string_view field);
[[nodiscard]] Result<std::uint16_t> parse_u16_field(std::string_view field);

// A descriptor code in a table file: surrounding white space, then surrounding double
// quotes are removed, the rest is an unsigned 32-bit decimal. Failure: TableText
// "bad descriptor code <quoted text as given>: <reason>".
[[nodiscard]] Result<std::uint32_t> parse_descriptor_code(std::string_view text);

// A code-table key (unsigned 64-bit). Failure: "bad code table key <quoted key>: <reason>".
[[nodiscard]] Result<std::uint64_t> parse_code_table_key(std::string_view text);

}  // namespace quorvex
