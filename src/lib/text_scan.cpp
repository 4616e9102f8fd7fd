#include "lib/text_scan.hpp"

#include <cstdint>
#include <cstring>

#include "lib/text.hpp"

namespace quorvex {

namespace {

// Unicode White_Space characters of two and three octets in UTF-8.
bool space_2(unsigned char a, unsigned char b) {
  return a == 0xC2 && (b == 0x85 || b == 0xA0);  // U+0085, U+00A0
}
bool space_3(unsigned char a, unsigned char b, unsigned char c) {
  if (a == 0xE1) return b == 0x9A && c == 0x80;  // U+1680
  if (a == 0xE3) return b == 0x80 && c == 0x80;  // U+3000
  if (a != 0xE2) return false;
  if (b == 0x80) {
    return (c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF;  // U+2000..200A, 2028, 2029, 202F
  }
  return b == 0x81 && c == 0x9F;  // U+205F
}

unsigned char at(std::string_view s, std::size_t i) { return static_cast<unsigned char>(s[i]); }

}  // namespace

std::size_t leading_wide_space_length(std::string_view s) {
  if (s.size() >= 2 && space_2(at(s, 0), at(s, 1))) return 2;
  if (s.size() >= 3 && space_3(at(s, 0), at(s, 1), at(s, 2))) return 3;
  return 0;
}

std::size_t trailing_space_length(std::string_view s) {
  const std::size_t n = s.size();
  if (n == 0) return 0;
  if (ascii_space(at(s, n - 1))) return 1;
  if (n >= 2 && space_2(at(s, n - 2), at(s, n - 1))) return 2;
  if (n >= 3 && space_3(at(s, n - 3), at(s, n - 2), at(s, n - 1))) return 3;
  return 0;
}

std::string_view trim_space(std::string_view s) {
  if (s.empty()) return s;
  const auto first = static_cast<unsigned char>(s.front());
  const auto last = static_cast<unsigned char>(s.back());
  // Every wide space character ends in a continuation octet: ASCII ends that are not
  // blanks leave nothing to trim.
  if (first < 0x80 && !ascii_space(first) && last < 0x80 && !ascii_space(last)) return s;
  while (std::size_t k = leading_space_length(s)) s.remove_prefix(k);
  while (std::size_t k = trailing_space_length(s)) s.remove_suffix(k);
  return s;
}

namespace {

// Length of the white-space character at p (p < end), or 0.
std::size_t space_at(const char* p, const char* end) {
  const auto c = static_cast<unsigned char>(*p);
  if (c < 0x80) return ascii_space(c) ? 1 : 0;
  return leading_wide_space_length(std::string_view(p, static_cast<std::size_t>(end - p)));
}

}  // namespace

namespace {

// The end of the word starting at p: the first white-space character at or after p.
const char* word_end(const char* p, const char* end) {
  while (p != end) {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x80) {
      if (ascii_space(c)) break;
    } else if (space_at(p, end) != 0) {
      break;
    }
    ++p;
  }
  return p;
}

// The first character at or after p that is not white space.
const char* skip_space(const char* p, const char* end) {
  while (p != end) {
    const std::size_t k = space_at(p, end);
    if (k == 0) break;
    p += k;
  }
  return p;
}

}  // namespace

std::string_view next_token(std::string_view& s) {
  const char* const end = s.data() + s.size();
  const char* const start = skip_space(s.data(), end);
  const char* const stop = word_end(start, end);
  s = std::string_view(stop, static_cast<std::size_t>(end - stop));
  return std::string_view(start, static_cast<std::size_t>(stop - start));
}

void append_collapsed(std::string& out, std::string_view s) {
  const std::size_t start = out.size();
  out.reserve(start + s.size());  // collapsing never lengthens the text
  const char* p = s.data();
  const char* const end = p + s.size();
  for (;;) {
    p = skip_space(p, end);
    if (p == end) break;
    const char* const stop = word_end(p, end);
    if (out.size() > start) out += ' ';
    out.append(p, static_cast<std::size_t>(stop - p));
    p = stop;
  }
}

bool utf8_text(std::string_view s, std::size_t* bad_offset) {
  // Skip whole 8-octet words of ASCII, then check the rest octet by octet.
  std::size_t i = 0;
  while (s.size() - i >= 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    if (word & 0x8080808080808080ull) break;
    i += 8;
  }
  std::size_t bad = 0;
  if (valid_utf8(s.substr(i), &bad)) return true;
  if (bad_offset) *bad_offset = i + bad;
  return false;
}

std::string lossy_utf8(std::string_view s) {
  std::size_t bad = 0;
  if (utf8_text(s, &bad)) return std::string(s);
  std::string out(s.substr(0, bad));
  s.remove_prefix(bad);
  while (!s.empty()) {
    // Skip the invalid octet and any continuation octets that follow it.
    out += "\xEF\xBF\xBD";
    std::size_t skip = 1;
    while (skip < s.size() && (at(s, skip) & 0xC0) == 0x80 && skip < 4) ++skip;
    s.remove_prefix(skip);
    std::size_t next_bad = 0;
    if (valid_utf8(s, &next_bad)) {
      out += s;
      break;
    }
    out += s.substr(0, next_bad);
    s.remove_prefix(next_bad);
  }
  return out;
}

}  // namespace quorvex
