// Reads the bit string of section 4: most significant bit first, octets in order.
#pragma once

#include <cstdint>
#include <string>

#include "lib/error.hpp"
#include "message/message.hpp"

namespace quorvex {

class BitReader {
 public:
  explicit BitReader(Bytes data) : data_(data), available_(static_cast<std::uint64_t>(data.size()) * 8) {}

  // `width` bits (0..64) as one unsigned number. Width 0 reads nothing and gives 0.
  [[nodiscard]] Result<std::uint64_t> read_bits(std::uint16_t width);
  // ceil(width / 8) octets; a last partial octet holds its bits in the high-order end.
  [[nodiscard]] Result<std::string> read_bytes(std::uint16_t width);

  std::uint64_t position() const { return position_; }
  std::uint64_t bits_available() const { return available_; }
  std::uint64_t bits_remaining() const { return available_ - position_; }

 private:
  Bytes data_;
  std::uint64_t available_;
  std::uint64_t position_ = 0;
};

}  // namespace quorvex
