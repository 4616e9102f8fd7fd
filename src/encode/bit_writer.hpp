// Writes a bit string most significant bit first, octets in order: the inverse of BitReader.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace quorvex {

class BitWriter {
 public:
  // The low `width` bits (0..64) of `value`; higher bits of `value` must be zero.
  void write_bits(std::uint64_t value, unsigned width) {
    if (width < 64 - fill_) {  // the common case: the bits fit beside those in the cache
      cache_ = (cache_ << width) | (value & ((std::uint64_t{1} << width) - 1));
      fill_ += width;
      return;
    }
    while (width > 0) {
      const unsigned room = 64 - fill_;
      const unsigned take = width < room ? width : room;
      width -= take;
      const std::uint64_t part = take == 64 ? value : (value >> width) & ((std::uint64_t{1} << take) - 1);
      cache_ = take == 64 ? part : (cache_ << take) | part;
      fill_ += take;
      if (fill_ == 64) flush_word();
    }
  }

  // `width` bits of ones.
  void write_ones(std::uint64_t width) {
    for (; width >= 64; width -= 64) write_bits(~std::uint64_t{0}, 64);
    if (width > 0) write_bits((std::uint64_t{1} << width) - 1, static_cast<unsigned>(width));
  }

  // `width` bits of text: the octets, padded with `pad`, the last octet cut to the bits that
  // remain (its high-order end kept), as BitReader::read_bytes reads them back.
  void write_text(std::string_view octets, std::uint64_t width, std::uint8_t pad) {
    for (std::size_t i = 0; width > 0; ++i) {
      const auto octet = i < octets.size() ? static_cast<std::uint8_t>(octets[i]) : pad;
      const unsigned take = width < 8 ? static_cast<unsigned>(width) : 8;
      write_bits(octet >> (8 - take), take);
      width -= take;
    }
  }

  std::uint64_t bits() const { return std::uint64_t{out_.size()} * 8 + fill_; }

  // The octets written, the last one padded with zero bits; the writer is left empty.
  std::vector<std::uint8_t> take() {
    if (fill_ > 0) {
      const unsigned pad = (8 - fill_ % 8) % 8;
      cache_ <<= pad;
      for (unsigned n = fill_ + pad; n > 0; n -= 8)
        out_.push_back(static_cast<std::uint8_t>(cache_ >> (n - 8)));
    }
    cache_ = 0;
    fill_ = 0;
    return std::move(out_);
  }

 private:
  void flush_word() {
    const std::uint64_t word = __builtin_bswap64(cache_);  // most significant octet first
    const std::size_t size = out_.size();
    out_.resize(size + sizeof word);
    std::memcpy(out_.data() + size, &word, sizeof word);
    cache_ = 0;
    fill_ = 0;
  }

  std::vector<std::uint8_t> out_;
  std::uint64_t cache_ = 0;  // the last `fill_` bits written, not yet in out_
  unsigned fill_ = 0;
};

}  // namespace quorvex
