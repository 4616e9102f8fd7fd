// Finding the messages of a buffer: search "BUFR", trust the declared total length.
#include <cstring>

#include "message/message.hpp"

namespace quorvex {

namespace {

constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

// Offset of the first "BUFR" at or after `from`, or kNotFound.
std::size_t find_marker(Bytes octets, std::size_t from) {
  const void* hit = memmem(octets.data() + from, octets.size() - from, "BUFR", 4);
  if (hit == nullptr) return kNotFound;
  return static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - octets.data());
}

}  // namespace

Result<std::vector<MessageView>> scan_messages(Bytes octets) {
  const std::size_t n = octets.size();
  std::vector<MessageView> views;
  std::size_t p = 0;
  while (n - p >= 4) {
    const std::size_t k = find_marker(octets, p);
    if (k == kNotFound) break;
    if (n - k < 8) return fail(BufrError::too_short());
    const std::size_t length =
        (std::size_t{octets[k + 4]} << 16) | (std::size_t{octets[k + 5]} << 8) | octets[k + 6];
    if (length > n - k) return fail(BufrError::section_truncated(0, k));
    views.push_back({k, length});
    // A declared length of 0 would find the same marker again: resume one octet later.
    p = k + (length == 0 ? 1 : length);
  }
  return views;
}

Result<std::vector<BufrMessage>> parse_all_messages(Bytes octets) {
  const std::vector<MessageView> views = QV_TRY(scan_messages(octets));
  std::vector<BufrMessage> messages;
  messages.reserve(views.size());
  for (const MessageView& v : views) messages.push_back(QV_TRY(parse_message(view_octets(octets, v))));
  return messages;
}

}  // namespace quorvex
