// Reads the bit string of section 4: most significant bit first, octets in order.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "lib/bytes.hpp"
#include "lib/error.hpp"

namespace quorvex {

class BitReader {
 public:
  explicit BitReader(Bytes data) : data_(data), available_(static_cast<std::uint64_t>(data.size()) * 8) {}

  // `width` bits (0..64) as one unsigned number. Width 0 reads nothing and gives 0.
  [[nodiscard]] Result<std::uint64_t> read_bits(std::uint16_t width) {
    if (width == 0) return 0;
    if (width > 64) return fail(width_error(width));
    if (width > available_ - position_) return fail(shortage_error(position_, width));
    const std::uint64_t value = peek(width);
    position_ += width;
    return value;
  }

  // The same as a flag for hot loops: false (nothing read, `value` untouched) where
  // read_bits would fail; read_bits then gives the error.
  [[nodiscard]] bool try_read_bits(std::uint16_t width, std::uint64_t& value) {
    if (width - 1u >= 64u || width > available_ - position_) {
      if (width != 0) return false;
      value = 0;
      return true;
    }
    value = peek(width);
    position_ += width;
    return true;
  }

  // ceil(width / 8) octets; a last partial octet holds its bits in the high-order end.
  [[nodiscard]] Result<std::string> read_bytes(std::uint16_t width) {
    std::string out;
    QV_CHECK(read_bytes_into(width, out));
    return out;
  }
  // As read_bytes, into `out` (replacing its content, reusing its capacity).
  [[nodiscard]] Status read_bytes_into(std::uint16_t width, std::string& out);

  // `count` fields of `width` (1..64) bits each, which the caller knows remain, given in
  // order to take(bits); narrow fields are taken from one load per 64 bits.
  template <class Take>
  void read_known_fields(std::uint16_t width, std::uint64_t count, Take take) {
    if (width > 32) {
      for (; count > 0; --count, position_ += width) take(peek(width));
      return;
    }
    const std::uint64_t mask = (std::uint64_t{1} << width) - 1;
    const std::uint64_t per_load = 64 / width;
    while (count > 0) {
      const std::uint64_t n = std::min(count, per_load);
      const auto bits = static_cast<std::uint16_t>(n * width);
      const std::uint64_t word = peek(bits);
      for (std::uint64_t k = n; k-- > 0;) take((word >> (k * width)) & mask);
      position_ += bits;
      count -= n;
    }
  }

  // Moves past `bits` bits that the caller knows remain (at most to the end).
  void advance(std::uint64_t bits) { position_ += std::min(bits, available_ - position_); }

  std::uint64_t position() const { return position_; }
  std::uint64_t bits_available() const { return available_; }
  std::uint64_t bits_remaining() const { return available_ - position_; }

  static BufrError width_error(std::uint16_t width);
  BufrError shortage_error(std::uint64_t position, std::uint16_t width) const;

 private:
  // The `width` (1..64) bits at the position; they are known to be available.
  std::uint64_t peek(std::uint16_t width) const {
    const std::size_t byte = static_cast<std::size_t>(position_ >> 3);
    const unsigned shift = static_cast<unsigned>(position_ & 7);
    std::uint64_t word = load_be64(byte) << shift;
    if (width + shift > 64) {
      // The field reaches into a ninth octet, which then exists.
      word |= static_cast<std::uint64_t>(data_[byte + 8]) >> (8 - shift);
    }
    return word >> (64 - width);
  }

  // Eight octets from `byte` as a big-endian number, zero beyond the end of the data.
  std::uint64_t load_be64(std::size_t byte) const {
    std::uint64_t word = 0;
    const std::size_t left = data_.size() - byte;
    if (left >= 8) [[likely]] {
      std::memcpy(&word, data_.data() + byte, 8);
    } else {
      // The last few octets, assembled most significant first.
      for (std::size_t k = 0; k < left; ++k) {
        word |= static_cast<std::uint64_t>(data_[byte + k]) << (56 - 8 * k);
      }
      return word;
    }
    if constexpr (std::endian::native == std::endian::little) word = std::byteswap(word);
    return word;
  }

  Bytes data_;
  std::uint64_t available_;
  std::uint64_t position_ = 0;
};

}  // namespace quorvex
