// A view of octets: a message, a section, or a whole file read into memory.
#pragma once

#include <cstdint>
#include <span>

namespace quorvex {

using Bytes = std::span<const std::uint8_t>;

}  // namespace quorvex
