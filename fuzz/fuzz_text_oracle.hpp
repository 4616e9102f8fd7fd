// Plain, independent transcriptions of the text rules the table loaders follow (strict
// UTF-8, Unicode white space, the strict decimal grammar and descriptor codes), used as
// oracles by the fuzz entries. They favour obviousness over speed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/error.hpp"
#include "lib/text.hpp"

namespace quorvex::fuzz::oracle {

// Length of the longest well-formed UTF-8 prefix of `s` (s.size() when all of it is).
inline std::size_t valid_utf8_prefix(std::string_view s);

// The code points of well-formed UTF-8 (no overlong forms, surrogates, values above
// U+10FFFF or cut sequences); nothing otherwise.
inline std::optional<std::u32string> decode_utf8(std::string_view s) {
  std::u32string out;
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len;
    char32_t cp;
    char32_t min;
    if (c < 0x80) {
      len = 1, cp = c, min = 0;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, cp = c & 0x07, min = 0x10000;
    } else {
      return std::nullopt;
    }
    if (s.size() - i < len) return std::nullopt;
    for (std::size_t k = 1; k < len; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (d & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    out.push_back(cp);
    i += len;
  }
  return out;
}

inline std::size_t valid_utf8_prefix(std::string_view s) {
  // The longest prefix that decodes: grow it one character at a time.
  std::size_t good = 0;
  while (good < s.size()) {
    std::size_t next = good + 1;
    while (next <= s.size() && next - good <= 4 && !decode_utf8(s.substr(good, next - good))) ++next;
    if (next > s.size() || next - good > 4) return good;
    good = next;
  }
  return good;
}

inline std::string encode_utf8(std::u32string_view s) {
  std::string out;
  for (char32_t cp : s) append_utf8(out, cp);
  return out;
}

// Unicode's White_Space property.
inline bool is_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

inline std::u32string_view trim(std::u32string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// The strict decimal grammar for unsigned numbers: an optional "+", then one or more
// digits, at most `max`; the first fault met from the left is the one reported.
inline std::optional<std::string> unsigned_fault(std::u32string_view s, std::uint64_t max,
                                                 std::uint64_t& out) {
  if (s.empty()) return "cannot parse integer from empty string";
  if (s.front() == U'+') s.remove_prefix(1);
  if (s.empty()) return "invalid digit found in string";
  std::uint64_t v = 0;
  for (char32_t c : s) {
    if (c < U'0' || c > U'9') return "invalid digit found in string";
    const std::uint64_t d = c - U'0';
    if (v > (max - d) / 10) return "number too large to fit in target type";
    v = v * 10 + d;
  }
  out = v;
  return std::nullopt;
}

// The same grammar for signed numbers: "+" or "-", then digits within [min, max].
inline std::optional<std::string> signed_fault(std::string_view s, std::int64_t min, std::int64_t max,
                                               std::int64_t& out) {
  if (s.empty()) return "cannot parse integer from empty string";
  const bool negative = s.front() == '-';
  if (s.front() == '+' || s.front() == '-') s.remove_prefix(1);
  if (s.empty()) return "invalid digit found in string";
  std::int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return "invalid digit found in string";
    const std::int64_t d = c - '0';
    if (negative) {
      if (v < (min + d) / 10) return "number too small to fit in target type";
      v = v * 10 - d;
    } else {
      if (v > (max - d) / 10) return "number too large to fit in target type";
      v = v * 10 + d;
    }
  }
  out = v;
  return std::nullopt;
}

// A descriptor code: white space trimmed, then every leading and trailing double quote
// removed, then an unsigned 32-bit number.
inline Result<std::uint32_t> descriptor_code(std::u32string_view text) {
  std::u32string_view s = trim(text);
  while (!s.empty() && s.front() == U'"') s.remove_prefix(1);
  while (!s.empty() && s.back() == U'"') s.remove_suffix(1);
  std::uint64_t v = 0;
  if (auto fault = unsigned_fault(s, 0xFFFFFFFFu, v)) {
    return fail(
        BufrError::table_text("bad descriptor code " + quote_literal(encode_utf8(text)) + ": " + *fault));
  }
  return static_cast<std::uint32_t>(v);
}

// The lines of a text: split at line feeds, one carriage return before a line feed
// dropped, trimmed; empty lines and lines beginning with "#" left out.
inline std::vector<std::u32string> kept_lines(std::u32string_view text) {
  std::vector<std::u32string> lines;
  while (!text.empty()) {
    const std::size_t nl = text.find(U'\n');
    std::u32string_view line = text.substr(0, nl);
    if (nl != std::u32string_view::npos && !line.empty() && line.back() == U'\r') line.remove_suffix(1);
    line = trim(line);
    if (!line.empty() && line.front() != U'#') lines.emplace_back(line);
    if (nl == std::u32string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return lines;
}

// Delimited text without any double quote, by the reader's rules: an optional byte-order
// mark; records end at LF, CR or CRLF; empty lines and (with a comment character) lines
// that begin with it are no records; every record has the field count of the first; the
// first record may be a header; data records must be UTF-8. `visit` sees each data
// record in order; the first failure, of the text or of `visit`, ends the reading.
inline Status delimited_records(std::string_view text, char delimiter, char comment, bool header,
                                const std::function<Status(const std::vector<std::string>&)>& visit) {
  std::size_t pos = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  std::uint64_t line = 1;
  std::uint64_t index = 0;
  std::optional<std::size_t> expected;
  while (pos < text.size()) {
    std::size_t end = pos;
    while (end < text.size() && text[end] != '\n' && text[end] != '\r') ++end;
    std::size_t next = end;
    if (next < text.size())
      next += (text[next] == '\r' && next + 1 < text.size() && text[next + 1] == '\n') ? 2 : 1;
    const std::string_view content = text.substr(pos, end - pos);
    if (!content.empty() && !(comment != '\0' && content.front() == comment)) {
      std::vector<std::string> fields;
      std::string_view rest = content;
      while (true) {
        const std::size_t d = rest.find(delimiter);
        fields.emplace_back(rest.substr(0, d));
        if (d == std::string_view::npos) break;
        rest.remove_prefix(d + 1);
      }
      const std::string where = "record " + std::to_string(index) + " (line";
      if (!expected) expected = fields.size();
      if (fields.size() != *expected) {
        return fail(BufrError::table_text(
            "CSV error: " + where + ": " + std::to_string(line) + ", byte: " + std::to_string(pos) +
            "): found record with " + std::to_string(fields.size()) +
            " fields, but the previous record has " + std::to_string(*expected) + " fields"));
      }
      if (!(header && index == 0)) {
        for (std::size_t f = 0; f < fields.size(); ++f) {
          const std::size_t good = valid_utf8_prefix(fields[f]);
          if (good == fields[f].size()) continue;
          return fail(BufrError::table_text(
              "CSV parse error: " + where + " " + std::to_string(line) + ", field: " + std::to_string(f) +
              ", byte: " + std::to_string(pos) + "): invalid utf-8: invalid UTF-8 in field " +
              std::to_string(f) + " near byte index " + std::to_string(good)));
        }
        QV_CHECK(visit(fields));
      }
      ++index;
    }
    pos = next;
    ++line;
  }
  return {};
}

}  // namespace quorvex::fuzz::oracle
