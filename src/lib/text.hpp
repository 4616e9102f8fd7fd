// Text forms shared by messages and representations.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvex {

// Descriptor code in decimal, zero-filled to at least six digits (1001 -> "001001").
std::string code_text(std::uint32_t code);
void append_code_text(std::string& out, std::uint32_t code);

// A text between double quotes with backslash escapes: \" \\ \t \r \n \0, other
// control and non-printable characters as \u{hex}. Invalid UTF-8 octets are shown as
// U+FFFD.
std::string quote_literal(std::string_view utf8);
void append_quoted(std::string& out, std::string_view utf8);

// Appends the UTF-8 form of the code point `cp` (at most U+10FFFF).
void append_utf8(std::string& out, char32_t cp);

// Whether every octet of `s` is below 0x80.
bool is_ascii(std::string_view s);

// The octets of a text field as characters: each octet is the character of the same number
// (ISO 8859-1), so that every octet string has one text and every text of characters up to
// U+00FF one octet string. Appends the text's UTF-8 form.
void append_octets_as_text(std::string& out, std::string_view octets);
// The inverse: the octets of `text` (UTF-8) into `out`; false when it holds a character beyond
// U+00FF or is not UTF-8, with `bad` (if given) the offset of the first such character.
bool text_octets(std::string_view text, std::string& out, std::size_t* bad = nullptr);
// The character at `offset` of `text` as "'c' (U+00XX)", or "an octet 0xXX that is not UTF-8".
std::string character_text(std::string_view text, std::size_t offset);

// True when `s` is well-formed UTF-8 (no overlong forms, surrogates or cut sequences).
// On failure, `bad_offset` receives the offset of the first octet that is not valid.
bool valid_utf8(std::string_view s, std::size_t* bad_offset = nullptr);

}  // namespace quorvex
