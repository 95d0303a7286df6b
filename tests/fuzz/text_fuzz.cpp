// The text codecs every parser leans on: lossy UTF-8 decoding against an independent
// validator, trimming, the quoted form of progress lines (read back to the text), the
// console's JSON strings, decimal numbers against a reference reading, and splitting.
#include <optional>

#include "console/state_document.hpp"
#include "console_reply_check.hpp"
#include "fuzz_target.hpp"
#include "proto/text.hpp"

namespace quillmar::fuzz {
namespace {

// Well-formed UTF-8 as the Unicode standard defines it (no overlong forms, no
// surrogates, nothing above U+10FFFF), written independently of the decoder.
bool well_formed_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    std::size_t length = b < 0x80   ? 1
                         : b < 0xC2 ? 0
                         : b < 0xE0 ? 2
                         : b < 0xF0 ? 3
                         : b < 0xF5 ? 4
                                    : 0;
    if (length == 0 || i + length > text.size()) return false;
    char32_t c = length == 1 ? b : b & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
      const auto t = static_cast<unsigned char>(text[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      c = (c << 6) | (t & 0x3F);
    }
    if ((length == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) ||
        (length == 4 && (c < 0x10000 || c > 0x10FFFF)))
      return false;
    i += length;
  }
  return true;
}

// The text a quoted form stands for; none when it is no quoted form.
std::optional<std::string> unquoted(std::string_view quoted) {
  if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') return std::nullopt;
  quoted = quoted.substr(1, quoted.size() - 2);
  std::string out;
  for (std::size_t i = 0; i < quoted.size(); ++i) {
    if (quoted[i] == '"') return std::nullopt;
    if (quoted[i] != '\\') {
      out += quoted[i];
      continue;
    }
    if (++i == quoted.size()) return std::nullopt;
    switch (quoted[i]) {
      case '"':
      case '\\':
        out += quoted[i];
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case '0':
        out += '\0';
        break;
      case 'u': {
        const std::size_t close = quoted.find('}', i);
        if (i + 1 >= quoted.size() || quoted[i + 1] != '{' || close == std::string_view::npos)
          return std::nullopt;
        const std::string digits(quoted.substr(i + 2, close - i - 2));
        if (digits.empty() || digits.size() > 6 ||
            digits.find_first_not_of("0123456789abcdef") != std::string::npos)
          return std::nullopt;
        append_utf8(out, static_cast<char32_t>(std::stoul(digits, nullptr, 16)));
        i = close;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return out;
}

std::optional<std::uint64_t> reference_decimal(std::string_view text, std::uint64_t max) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

bool starts_or_ends_with_space(std::string_view text) {
  if (text.empty()) return false;
  std::size_t pos = 0;
  if (is_unicode_space(next_code_point(text, pos))) return true;
  std::size_t last = text.size() - 1;
  while (last > 0 && (static_cast<unsigned char>(text[last]) & 0xC0) == 0x80) --last;
  pos = last;
  return is_unicode_space(next_code_point(text, pos));
}

void check_decoding(std::string_view bytes) {
  const bool valid = is_valid_utf8(bytes);
  require(valid == well_formed_utf8(bytes), "is_valid_utf8 disagrees with the standard");
  const std::string decoded = decode_utf8_lossy(bytes);
  require(well_formed_utf8(decoded), "decoding gave invalid UTF-8");
  require(!valid || decoded == bytes, "decoding changed valid UTF-8");
}

void check_text_forms(std::string_view text) {
  const std::string_view trimmed = trim(text);
  require(
      trimmed.data() >= text.data() && trimmed.data() + trimmed.size() <= text.data() + text.size(),
      "trim left the text");
  require(!starts_or_ends_with_space(trimmed), "trim left white space at an end");
  require(trim_end(trim_start(text)) == trimmed, "trim differs from trimming both ends");

  const std::string quoted = quoted_form(text);
  require(unquoted(quoted) == std::string(text), "the quoted form does not read back: " + quoted);

  const std::string json = json_string(text);
  require(test::JsonChecker(json).valid(), "json_string is no JSON string: " + quoted_form(json));
  require(json.find('\\') == std::string::npos, "json_string kept a backslash");
  require(json.size() <= text.size() + 2, "json_string added characters");
}

void check_numbers_and_splits(std::string_view text) {
  for (std::uint64_t max : {std::uint64_t{65535}, std::uint64_t{UINT64_MAX}}) {
    require(parse_decimal(text, max) == reference_decimal(text, max),
            "parse_decimal differs from the reference for " + quoted_form(text));
  }
  std::string joined;
  bool first = true;
  for (auto piece : split(text, ',')) {
    if (!first) joined += ',';
    joined += piece;
    first = false;
  }
  require(joined == text, "split pieces do not join back");
  for (auto line : split_lines(text))
    require(line.find('\n') == std::string_view::npos, "a line with a line feed");
}

void text(Input input) {
  const std::string_view bytes = as_text(input);
  check_decoding(bytes);
  check_numbers_and_splits(bytes);
  check_text_forms(decode_utf8_lossy(bytes));
  const std::string hex = hex_lower(input);
  require(hex.size() == 2 * input.size() &&
              hex.find_first_not_of("0123456789abcdef") == std::string::npos,
          "hex_lower gave other than lower-case hex digits");
}

}  // namespace
}  // namespace quillmar::fuzz

QUILLMAR_FUZZ_TARGET(text, quillmar::fuzz::text)
