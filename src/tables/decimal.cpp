#include "tables/decimal.hpp"

#include <limits>

#include "lib/text.hpp"
#include "lib/text_scan.hpp"

namespace quorvex {

std::string_view decimal_fault_text(DecimalFault fault) {
  switch (fault) {
    case DecimalFault::Empty:
      return "cannot parse integer from empty string";
    case DecimalFault::InvalidDigit:
      return "invalid digit found in string";
    case DecimalFault::TooLarge:
      return "number too large to fit in target type";
    case DecimalFault::TooSmall:
      return "number too small to fit in target type";
  }
  return "invalid digit found in string";
}

namespace {

// Accumulates the magnitude of `digits` (no sign) up to `limit`.
std::expected<std::uint64_t, DecimalFault> magnitude(std::string_view digits, std::uint64_t limit,
                                                     DecimalFault overflow) {
  if (digits.empty()) return std::unexpected(DecimalFault::InvalidDigit);  // a sign alone
  // value * 10 + d stays within limit = 10 q + r exactly when value < q, or value == q and d <= r.
  const std::uint64_t q = limit / 10;
  const std::uint64_t r = limit % 10;
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::unexpected(DecimalFault::InvalidDigit);
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (value > q || (value == q && d > r)) return std::unexpected(overflow);
    value = value * 10 + d;
  }
  return value;
}

BufrError field_error(std::string_view what, std::string_view field, DecimalFault fault) {
  return BufrError::bad_table_field(what, field, decimal_fault_text(fault));
}

}  // namespace

std::expected<std::uint64_t, DecimalFault> parse_unsigned(std::string_view text, std::uint64_t max) {
  if (text.empty()) return std::unexpected(DecimalFault::Empty);
  if (text.front() == '+') text.remove_prefix(1);
  return magnitude(text, max, DecimalFault::TooLarge);
}

std::expected<std::int64_t, DecimalFault> parse_signed(std::string_view text, std::int64_t min,
                                                       std::int64_t max) {
  if (text.empty()) return std::unexpected(DecimalFault::Empty);
  const bool negative = text.front() == '-';
  if (negative || text.front() == '+') text.remove_prefix(1);
  if (negative) {
    // |min| as unsigned without overflowing for INT64_MIN.
    const std::uint64_t limit = std::uint64_t{0} - static_cast<std::uint64_t>(min);
    auto m = magnitude(text, limit, DecimalFault::TooSmall);
    if (!m) return std::unexpected(m.error());
    return static_cast<std::int64_t>(std::uint64_t{0} - *m);
  }
  auto m = magnitude(text, static_cast<std::uint64_t>(max), DecimalFault::TooLarge);
  if (!m) return std::unexpected(m.error());
  return static_cast<std::int64_t>(*m);
}

Result<std::int32_t> parse_i32_field(std::string_view field) {
  auto v =
      parse_signed(field, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
  if (!v) return fail(field_error("bad i32 ", field, v.error()));
  return static_cast<std::int32_t>(*v);
}

Result<std::int64_t> parse_i64_field(std::string_view field) {
  auto v =
      parse_signed(field, std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max());
  if (!v) return fail(field_error("bad i64 ", field, v.error()));
  return *v;
}

Result<std::uint16_t> parse_u16_field(std::string_view field) {
  auto v = parse_unsigned(field, std::numeric_limits<std::uint16_t>::max());
  if (!v) return fail(field_error("bad u16 ", field, v.error()));
  return static_cast<std::uint16_t>(*v);
}

Result<std::uint32_t> parse_descriptor_code(std::string_view text) {
  std::string_view digits = trim_space(text);
  while (!digits.empty() && digits.front() == '"') digits.remove_prefix(1);
  while (!digits.empty() && digits.back() == '"') digits.remove_suffix(1);
  auto v = parse_unsigned(digits, std::numeric_limits<std::uint32_t>::max());
  if (!v) return fail(field_error("bad descriptor code ", text, v.error()));
  return static_cast<std::uint32_t>(*v);
}

Result<std::uint64_t> parse_code_table_key(std::string_view text) {
  auto v = parse_unsigned(text, std::numeric_limits<std::uint64_t>::max());
  if (!v) return fail(field_error("bad code table key ", text, v.error()));
  return *v;
}

}  // namespace quorvex
