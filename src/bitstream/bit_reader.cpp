#include "bitstream/bit_reader.hpp"

namespace quorvex {

BufrError BitReader::width_error(std::uint16_t width) { return BufrError::bits_too_wide(width); }

BufrError BitReader::shortage_error(std::uint64_t position, std::uint16_t width) const {
  return BufrError::bits_exhausted(position, width, available_);
}

Status BitReader::read_bytes_into(std::uint16_t width, std::string& out) {
  const std::size_t whole = width / 8;
  const unsigned rest = width % 8;
  out.resize(whole + (rest != 0 ? 1 : 0));
  if (width <= available_ - position_ && (position_ & 7) == 0) {
    // Octet-aligned and all there: copy in one go.
    const auto byte = static_cast<std::size_t>(position_ >> 3);
    if (whole != 0) std::memcpy(out.data(), data_.data() + byte, whole);
    if (rest != 0) out[whole] = static_cast<char>(data_[byte + whole] & (0xFF00u >> rest));
    position_ += width;
    return {};
  }
  // Octet by octet, so that a shortage reports the octet that could not be read; the octets
  // completed before it stay consumed.
  for (std::size_t i = 0; i < whole; ++i) {
    if (available_ - position_ < 8) {
      out.clear();
      return fail(shortage_error(position_, 8));
    }
    out[i] = static_cast<char>(peek(8));
    position_ += 8;
  }
  if (rest != 0) {
    auto bits = read_bits(static_cast<std::uint16_t>(rest));
    if (!bits) {
      out.clear();
      return fail(std::move(bits).error());
    }
    out[whole] = static_cast<char>(*bits << (8 - rest));
  }
  return {};
}

}  // namespace quorvex
