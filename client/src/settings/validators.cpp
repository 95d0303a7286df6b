#include "settings/validators.hpp"

#include <algorithm>

#include "proto/device_identity.hpp"
#include "proto/text.hpp"

namespace quillmar {
namespace {

bool in_name_alphabet(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool in_host_alphabet(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

}  // namespace

std::string normalize_name(std::string_view text) {
  // Invalid bytes become U+FFFD first, so each of them still maps to a single '-'.
  std::string valid = is_valid_utf8(text) ? std::string(text) : decode_utf8_lossy(text);
  std::string mapped;
  mapped.reserve(valid.size());
  std::size_t pos = 0;
  while (pos < valid.size()) {
    char32_t c = next_code_point(valid, pos);
    if (c >= 'A' && c <= 'Z') {
      mapped.push_back(static_cast<char>(c - 'A' + 'a'));
    } else if (c < 0x80 && in_name_alphabet(static_cast<char>(c))) {
      mapped.push_back(static_cast<char>(c));
    } else {
      mapped.push_back('-');
    }
  }
  std::size_t first = mapped.find_first_not_of('-');
  if (first == std::string::npos) return random_name();
  std::string name = mapped.substr(first, MAX_NAME_LEN);
  // Hyphens at the end go after the cut too: a name ending in one is no valid name, and
  // it would not survive the next load of the key file unchanged.
  name.erase(name.find_last_not_of('-') + 1);
  return name;
}

std::optional<std::string> check_device_name(std::string_view text) {
  std::string_view trimmed = trim(text);
  if (trimmed.empty()) return std::nullopt;
  std::string candidate = ascii_lower(trimmed);
  if (candidate.size() > 63) return std::nullopt;
  for (char c : candidate) {
    if (!in_name_alphabet(c)) return std::nullopt;
  }
  // normalize_name is the single definition of a name: whatever it would change
  // (edge hyphens, excess length, nothing but hyphens) is not a valid name.
  if (normalize_name(candidate) != candidate) return std::nullopt;
  return candidate;
}

bool is_valid_host(std::string_view text) {
  std::string_view host = trim(text);
  if (host.empty() || host.size() > MAX_HOST_LEN) return false;
  if (host == "0.0.0.0") return false;
  for (char c : host) {
    if (!in_host_alphabet(c)) return false;
  }
  auto edge = [](char c) { return c == '-' || c == '.'; };
  return !edge(host.front()) && !edge(host.back());
}

}  // namespace quillmar
