// Text helpers every part of the program shares: lossy UTF-8 decoding, Unicode
// white-space trimming, the quoted form used in progress lines, and number reading.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

// UTF-8 text with every invalid sequence replaced by U+FFFD (one per maximal
// invalid subpart, as the usual lossy decoders do).
std::string decode_utf8_lossy(std::string_view bytes);
std::string decode_utf8_lossy(std::span<const std::uint8_t> bytes);
bool is_valid_utf8(std::string_view bytes);

// Decodes one code point at pos of valid UTF-8 text and advances pos.
char32_t next_code_point(std::string_view text, std::size_t& pos);
void append_utf8(std::string& out, char32_t code_point);

// The Unicode White_Space property.
bool is_unicode_space(char32_t c);
std::string_view trim(std::string_view text);
std::string_view trim_start(std::string_view text);
std::string_view trim_end(std::string_view text);

std::string ascii_lower(std::string_view text);
bool equals_ignore_ascii_case(std::string_view a, std::string_view b);

// Double quotes around the text; backslash before '"' and '\'; \n \r \t \0 for those
// characters; other control characters as \u{hex}.
std::string quoted_form(std::string_view text);

// An optional '+', then one or more ASCII digits, value at most max; nothing else.
std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max);
std::optional<std::uint16_t> parse_u16(std::string_view text);

std::vector<std::string_view> split(std::string_view text, char separator);
// Lines cut at "\n", one "\r" before it dropped; the text after the last "\n" is a
// line too (so "a\n" gives "a" and "").
std::vector<std::string_view> split_lines(std::string_view text);

std::string hex_lower(std::span<const std::uint8_t> bytes);

inline std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}
inline std::string_view as_text(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace quillmar
