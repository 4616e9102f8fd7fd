// The resynchronising scan: every "BUFR" in a range, each checked for "7777" at its
// declared end, a damaged one skipped four octets past its marker.
#include <algorithm>
#include <cstring>

#include "message/message.hpp"

namespace quorvex {

BufrError FoundMessage::error() const {
  if (problem == ErrorKind::MessageOverrun) return BufrError::message_overrun(offset, length);
  return BufrError::message_unterminated(offset, length);
}

namespace {

// The scan steps from message to message, each found through the previous one's length: left
// alone, every step would wait for its octets to come from memory before the next could start.
// The octets up to this far ahead of the scan are asked for in advance, one cache line at a time.
constexpr std::size_t kPrefetchAhead = 1024;
constexpr std::size_t kCacheLine = 64;

}  // namespace

std::vector<FoundMessage> scan_resync(Bytes octets, std::size_t start, std::size_t end) {
  const std::size_t n = octets.size();
  end = std::min(end, n);
  std::vector<FoundMessage> found;
  std::size_t p = start;
  std::size_t fetched = p;  // the octets before this were asked for
  while (p < end) {
    fetched = std::max(fetched, p);
    for (const std::size_t until = std::min(n, p + kPrefetchAhead); fetched < until; fetched += kCacheLine) {
      __builtin_prefetch(octets.data() + fetched);
    }
    // A marker starting before `end` may run up to three octets past it.
    const std::size_t window = std::min(n, end + 3) - p;
    if (window < 4) break;
    const void* hit = memmem(octets.data() + p, window, "BUFR", 4);
    if (hit == nullptr) break;
    const auto k = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - octets.data());
    FoundMessage m;
    m.offset = k;
    if (n - k < 8) {
      m.ok = false;
      m.problem = ErrorKind::MessageOverrun;
      m.length = 0;
      if (n - k >= 7)
        m.length = (std::size_t{octets[k + 4]} << 16) | (std::size_t{octets[k + 5]} << 8) | octets[k + 6];
    } else {
      m.length = (std::size_t{octets[k + 4]} << 16) | (std::size_t{octets[k + 5]} << 8) | octets[k + 6];
      if (m.length > n - k) {
        m.ok = false;
        m.problem = ErrorKind::MessageOverrun;
      } else if (m.length < 12 || std::memcmp(octets.data() + k + m.length - 4, "7777", 4) != 0) {
        m.ok = false;
        m.problem = ErrorKind::MessageUnterminated;
      }
    }
    found.push_back(m);
    p = m.resume();
  }
  return found;
}

}  // namespace quorvex
