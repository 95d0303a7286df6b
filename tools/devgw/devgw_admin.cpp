#include "devgw/devgw_admin.hpp"

#include "proto/frame.hpp"
#include "proto/text.hpp"

namespace quillmar::devgw {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

struct KindName {
  std::string_view name;
  std::uint8_t kind;
};

constexpr KindName KIND_NAMES[] = {
    {"hello", KIND_HELLO},
    {"welcome", KIND_WELCOME},
    {"invite", KIND_INVITE},
    {"access", KIND_ACCESS},
    {"account", KIND_ACCOUNT},
    {"open", KIND_OPEN},
    {"data", KIND_DATA},
    {"close", KIND_CLOSE},
    {"half_close", KIND_HALF_CLOSE},
    {"heartbeat", KIND_HEARTBEAT},
    {"punch_offer", KIND_PUNCH_OFFER},
    {"punch_status", KIND_PUNCH_STATUS},
    {"punch_result", KIND_PUNCH_RESULT},
    {"error", KIND_ERROR},
};

}  // namespace

Result<std::string> unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (++i == text.size())
      return IoError::make(ErrorKind::InvalidInput, "a lone backslash ends the text");
    switch (text[i]) {
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case '0':
        out.push_back('\0');
        break;
      case '\\':
        out.push_back('\\');
        break;
      case 'x': {
        int high = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
        int low = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
        if (high < 0 || low < 0)
          return IoError::make(ErrorKind::InvalidInput, "\\x needs two hexadecimal digits");
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        break;
      }
      default:
        return IoError::make(ErrorKind::InvalidInput,
                             "unknown escape \\" + std::string(1, text[i]));
    }
  }
  return out;
}

std::string_view take_word(std::string_view& text) {
  std::size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    text = {};
    return {};
  }
  text.remove_prefix(start);
  std::size_t end = text.find(' ');
  std::string_view word = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end);
  std::size_t next = text.find_first_not_of(' ');
  text.remove_prefix(next == std::string_view::npos ? text.size() : next);
  return word;
}

std::optional<std::string> take_target(std::string_view& text) {
  std::size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos || text[start] != '@') return std::nullopt;
  std::string_view rest = text;
  std::string_view word = take_word(rest);
  text = rest;
  return std::string(word.substr(1));
}

std::optional<std::uint64_t> parse_byte_count(std::string_view text) {
  std::uint64_t unit = 1;
  if (!text.empty()) {
    switch (text.back()) {
      case 'k':
      case 'K':
        unit = 1ULL << 10;
        break;
      case 'm':
      case 'M':
        unit = 1ULL << 20;
        break;
      case 'g':
      case 'G':
        unit = 1ULL << 30;
        break;
      default:
        break;
    }
    if (unit != 1) text.remove_suffix(1);
  }
  auto count = parse_decimal(text, UINT64_MAX / unit);
  if (!count) return std::nullopt;
  return *count * unit;
}

std::optional<std::uint8_t> parse_frame_kind(std::string_view text) {
  if (auto number = parse_decimal(text, 255)) return static_cast<std::uint8_t>(*number);
  std::string name = ascii_lower(text);
  if (name.starts_with("kind_")) name.erase(0, 5);
  for (auto& c : name) {
    if (c == '-') c = '_';
  }
  for (const auto& entry : KIND_NAMES) {
    if (entry.name == name) return entry.kind;
  }
  return std::nullopt;
}

}  // namespace quillmar::devgw
