#include "lib/text.hpp"

#include <cstdio>
#include <cstring>

namespace quorvex {

void append_code_text(std::string& out, std::uint32_t code) {
  char buf[16];
  int n = std::snprintf(buf, sizeof buf, "%06u", static_cast<unsigned>(code));
  out.append(buf, static_cast<std::size_t>(n));
}

std::string code_text(std::uint32_t code) {
  std::string out;
  append_code_text(out, code);
  return out;
}

namespace {

// Decode one code point at s[i]; returns its length, or 0 when the octets there are not
// well-formed UTF-8.
std::size_t decode_utf8(std::string_view s, std::size_t i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t len;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() - i < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// Characters shown escaped besides ASCII controls: C1 controls, combining marks and the
// invisible format characters; everything else printable stands unchanged.
bool needs_escape(char32_t cp) {
  if (cp < 0x20 || cp == 0x7F) return true;
  if (cp < 0x80) return false;
  if (cp < 0xA0 || cp == 0xAD) return true;
  if (cp >= 0x300 && cp <= 0x36F) return true;  // combining diacritical marks
  if (cp >= 0x483 && cp <= 0x489) return true;  // Cyrillic combining marks
  if (cp >= 0x591 && cp <= 0x5BD) return true;  // Hebrew points
  if (cp >= 0x610 && cp <= 0x61A) return true;  // Arabic marks
  if (cp >= 0x64B && cp <= 0x65F) return true;
  if (cp >= 0x1AB0 && cp <= 0x1AFF) return true;
  if (cp >= 0x1DC0 && cp <= 0x1DFF) return true;
  if (cp >= 0x200B && cp <= 0x200F) return true;  // zero-width and direction marks
  if (cp >= 0x2028 && cp <= 0x202E) return true;
  if (cp >= 0x2060 && cp <= 0x206F) return true;
  if (cp >= 0x20D0 && cp <= 0x20FF) return true;  // combining marks for symbols
  if (cp >= 0xFE00 && cp <= 0xFE0F) return true;  // variation selectors
  if (cp >= 0xFE20 && cp <= 0xFE2F) return true;
  if (cp == 0xFEFF) return true;
  if (cp >= 0xFFF0 && cp <= 0xFFFB) return true;
  if (cp >= 0xE000 && cp <= 0xF8FF) return true;  // private use
  if (cp >= 0xE0000 && cp <= 0xE0FFF) return true;
  if (cp >= 0xF0000) return true;
  return false;
}

}  // namespace

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool is_ascii(std::string_view s) {
  const char* p = s.data();
  std::size_t n = s.size();
  std::uint64_t high = 0;  // the top bits of all octets, eight at a time
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    high |= word;
  }
  for (; n > 0; ++p, --n) high |= static_cast<unsigned char>(*p);
  return (high & 0x8080808080808080ull) == 0;
}

void append_octets_as_text(std::string& out, std::string_view octets) {
  if (is_ascii(octets)) {
    out.append(octets);
    return;
  }
  for (const char c : octets) {
    const auto octet = static_cast<unsigned char>(c);
    if (octet < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (octet >> 6));
      out += static_cast<char>(0x80 | (octet & 0x3F));
    }
  }
}

bool text_octets(std::string_view text, std::string& out, std::size_t* bad) {
  out.clear();
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t cp;
    const std::size_t len = decode_utf8(text, i, cp);
    if (len == 0 || cp > 0xFF) {
      if (bad != nullptr) *bad = i;
      return false;
    }
    out += static_cast<char>(cp);
    i += len;
  }
  return true;
}

std::string character_text(std::string_view text, std::size_t offset) {
  char32_t cp;
  const std::size_t len = offset < text.size() ? decode_utf8(text, offset, cp) : 0;
  char buf[32];
  if (len == 0) {
    const unsigned octet = offset < text.size() ? static_cast<unsigned char>(text[offset]) : 0;
    std::snprintf(buf, sizeof buf, "an octet 0x%02X that is not UTF-8", octet);
    return buf;
  }
  std::snprintf(buf, sizeof buf, " (U+%04X)", static_cast<unsigned>(cp));
  std::string out(1, '\'');
  out.append(text.substr(offset, len)).append(1, '\'').append(buf);
  return out;
}

void append_quoted(std::string& out, std::string_view s) {
  out += '"';
  std::size_t i = 0;
  while (i < s.size()) {
    char32_t cp;
    std::size_t len = decode_utf8(s, i, cp);
    if (len == 0) {
      cp = 0xFFFD;
      len = 1;
    }
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case 0:
        out += "\\0";
        break;
      default:
        if (needs_escape(cp)) {
          char buf[16];
          int n = std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
          out.append(buf, static_cast<std::size_t>(n));
        } else {
          append_utf8(out, cp);
        }
    }
    i += len;
  }
  out += '"';
}

std::string quote_literal(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  append_quoted(out, s);
  return out;
}

bool valid_utf8(std::string_view s, std::size_t* bad_offset) {
  std::size_t i = 0;
  while (i < s.size()) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t cp;
    std::size_t len = decode_utf8(s, i, cp);
    if (len == 0) {
      if (bad_offset) *bad_offset = i;
      return false;
    }
    i += len;
  }
  return true;
}

}  // namespace quorvex
