// Small scanners over UTF-8 table text: white space (Unicode White_Space), lines and
// tokens.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvex {

constexpr bool ascii_space(unsigned char c) { return (c >= 0x09 && c <= 0x0D) || c == 0x20; }

// Length of the white-space character at the start of `s` (not ASCII), or 0.
std::size_t leading_wide_space_length(std::string_view s);

// Length of the white-space character at the start of `s`, or 0.
inline std::size_t leading_space_length(std::string_view s) {
  if (s.empty()) return 0;
  const auto c = static_cast<unsigned char>(s.front());
  if (c < 0x80) return ascii_space(c) ? 1 : 0;
  return leading_wide_space_length(s);
}
// Length of the white-space character that ends `s`, or 0.
std::size_t trailing_space_length(std::string_view s);

std::string_view trim_space(std::string_view s);

// Calls `visit(line)` for each line of `text`: split at "\n", with one "\r" before it
// dropped. A final line without "\n" is visited too (an empty one is not).
template <class Visit>
void for_each_line(std::string_view text, Visit&& visit) {
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (nl != std::string_view::npos && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    visit(line);
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
}

// The next token of `s` (runs of white space separate tokens); advances `s` past it.
// Returns an empty view when no token is left.
std::string_view next_token(std::string_view& s);

// Appends `s` to `out` with every run of white space written as one blank (a run at either
// end is dropped).
void append_collapsed(std::string& out, std::string_view s);

// valid_utf8 with a fast path over ASCII text; `bad_offset` as there.
bool utf8_text(std::string_view s, std::size_t* bad_offset = nullptr);

// `s` with every invalid UTF-8 sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view s);

}  // namespace quorvex
