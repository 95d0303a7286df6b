#include "proto/text.hpp"

#include <algorithm>

namespace quillmar {
namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

struct Lead {
  std::size_t length;
  std::uint8_t second_min;
  std::uint8_t second_max;
};

std::optional<Lead> lead_of(std::uint8_t b) {
  if (b < 0x80) return Lead{1, 0, 0};
  if (b >= 0xC2 && b <= 0xDF) return Lead{2, 0x80, 0xBF};
  if (b == 0xE0) return Lead{3, 0xA0, 0xBF};
  if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) return Lead{3, 0x80, 0xBF};
  if (b == 0xED) return Lead{3, 0x80, 0x9F};
  if (b == 0xF0) return Lead{4, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return Lead{4, 0x80, 0xBF};
  if (b == 0xF4) return Lead{4, 0x80, 0x8F};
  return std::nullopt;
}

// Length of the valid sequence at pos, or 0 with bad set to the bytes of the maximal
// invalid subpart to replace.
std::size_t valid_sequence_at(std::string_view s, std::size_t pos, std::size_t& bad) {
  auto lead = lead_of(static_cast<std::uint8_t>(s[pos]));
  bad = 1;
  if (!lead) return 0;
  for (std::size_t i = 1; i < lead->length; ++i) {
    if (pos + i >= s.size()) {
      bad = i;
      return 0;
    }
    auto b = static_cast<std::uint8_t>(s[pos + i]);
    std::uint8_t lo = i == 1 ? lead->second_min : 0x80;
    std::uint8_t hi = i == 1 ? lead->second_max : 0xBF;
    if (b < lo || b > hi) {
      bad = i;
      return 0;
    }
  }
  return lead->length;
}

struct CodeRange {
  char32_t first;
  char32_t last;
};

// Characters a progress line must not show as they are: format characters (invisible,
// or reordering the text around them, as the bidirectional overrides do), separators
// other than the plain space, private-use characters and noncharacters. Unassigned code
// points pass through: no table of them is kept.
constexpr CodeRange UNPRINTABLE[] = {
    {0x00A0, 0x00A0},   {0x00AD, 0x00AD},   {0x0600, 0x0605},    {0x061C, 0x061C},
    {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},    {0x08E2, 0x08E2},
    {0x1680, 0x1680},   {0x180E, 0x180E},   {0x2000, 0x200F},    {0x2028, 0x202F},
    {0x205F, 0x2064},   {0x2066, 0x206F},   {0x3000, 0x3000},    {0xE000, 0xF8FF},
    {0xFDD0, 0xFDEF},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},    {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},  {0x1D173, 0x1D17A},
    {0xE0001, 0xE0001}, {0xE0020, 0xE007F}, {0xF0000, 0x10FFFF},
};

bool is_unprintable(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;  // C0, DEL, C1
  if ((c & 0xFFFE) == 0xFFFE) return true;                // U+xxFFFE and U+xxFFFF
  for (const CodeRange& range : UNPRINTABLE) {
    if (c >= range.first && c <= range.last) return true;
  }
  return false;
}

}  // namespace

std::string decode_utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::size_t bad = 0;
    std::size_t n = valid_sequence_at(bytes, pos, bad);
    if (n > 0) {
      out.append(bytes.substr(pos, n));
      pos += n;
    } else {
      out.append(REPLACEMENT);
      pos += bad;
    }
  }
  return out;
}

std::string decode_utf8_lossy(std::span<const std::uint8_t> bytes) {
  return decode_utf8_lossy(as_text(bytes));
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::size_t bad = 0;
    std::size_t n = valid_sequence_at(bytes, pos, bad);
    if (n == 0) return false;
    pos += n;
  }
  return true;
}

char32_t next_code_point(std::string_view text, std::size_t& pos) {
  // Text from outside may still hold invalid bytes: they read as U+FFFD and are
  // stepped over whole, so the position never runs past the end.
  std::size_t bad = 0;
  std::size_t len = valid_sequence_at(text, pos, bad);
  if (len == 0) {
    pos += bad;
    return 0xFFFD;
  }
  auto b0 = static_cast<std::uint8_t>(text[pos]);
  char32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (std::size_t i = 1; i < len; ++i) {
    cp = (cp << 6) | (static_cast<std::uint8_t>(text[pos + i]) & 0x3F);
  }
  pos += len;
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trim_start(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t next = pos;
    if (!is_unicode_space(next_code_point(text, next))) break;
    pos = next;
  }
  return text.substr(pos);
}

std::string_view trim_end(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0) {
    std::size_t start = end - 1;
    while (start > 0 && (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t pos = start;
    char32_t c = next_code_point(text, pos);
    // Only a whole character that ends exactly here is looked at; stray bytes stay.
    if (pos != end || !is_unicode_space(c)) break;
    end = start;
  }
  return text.substr(0, end);
}

std::string_view trim(std::string_view text) { return trim_end(trim_start(text)); }

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool equals_ignore_ascii_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ascii_lower(a) == ascii_lower(b);
}

std::string quoted_form(std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string valid = is_valid_utf8(text) ? std::string(text) : decode_utf8_lossy(text);
  std::string out = "\"";
  std::size_t pos = 0;
  while (pos < valid.size()) {
    std::size_t start = pos;
    char32_t c = next_code_point(valid, pos);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case 0:
        out += "\\0";
        break;
      default:
        if (is_unprintable(c)) {
          char digits[8];
          std::size_t count = 0;
          do {
            digits[count++] = HEX[c & 0xF];
            c >>= 4;
          } while (c != 0);
          out += "\\u{";
          while (count > 0) out.push_back(digits[--count]);
          out += "}";
        } else {
          out.append(valid, start, pos - start);
        }
    }
  }
  out += "\"";
  return out;
}

std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<std::uint16_t> parse_u16(std::string_view text) {
  auto value = parse_decimal(text, 65535);
  if (!value) return std::nullopt;
  return static_cast<std::uint16_t>(*value);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

std::vector<std::string_view> split_lines(std::string_view text) {
  auto lines = split(text, '\n');
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    if (!lines[i].empty() && lines[i].back() == '\r') lines[i].remove_suffix(1);
  }
  return lines;
}

std::string hex_lower(std::span<const std::uint8_t> bytes) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (auto b : bytes) {
    out.push_back(HEX[b >> 4]);
    out.push_back(HEX[b & 0xF]);
  }
  return out;
}

}  // namespace quillmar
