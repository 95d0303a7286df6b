#include "proto/access.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <array>

#include "proto/text.hpp"

namespace quillmar {
namespace {

// Only the first lines of an access list are read, so a huge text costs little.
constexpr std::size_t MAX_ACCESS_LINES = 128;
constexpr std::size_t DIGEST_HEX_LEN = 64;
constexpr std::size_t MAX_PLAN_LEN = 24;

bool is_hex_digest(std::string_view text) {
  return text.size() == DIGEST_HEX_LEN && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

bool is_plan(std::string_view text) {
  return !text.empty() && text.size() <= MAX_PLAN_LEN &&
         std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-';
         });
}

}  // namespace

std::string sha256_hex(std::string_view bytes) {
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  // SHA-256 of the default provider fails only when memory runs out. The empty text then
  // stands for "no digest": it matches no pin and no access list keeps it.
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
      length != digest.size()) {
    return {};
  }
  return hex_lower(digest);
}

std::string hash_access_password(std::string_view password) {
  std::string input;
  input.reserve(ACCESS_PASSWORD_LABEL.size() + 1 + password.size());
  input.append(ACCESS_PASSWORD_LABEL);
  input.push_back('\0');
  input.append(password);
  return sha256_hex(input);
}

std::vector<AccessEntry> parse_access_list(std::string_view text) {
  std::vector<AccessEntry> entries;
  auto lines = split_lines(text);
  if (lines.size() > MAX_ACCESS_LINES) lines.resize(MAX_ACCESS_LINES);
  for (std::string_view raw : lines) {
    std::string_view line = trim(raw);
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    auto port = parse_decimal(line.substr(0, eq), 65535);
    if (!port || *port == 0) continue;
    std::string hash = ascii_lower(trim(line.substr(eq + 1)));
    if (!is_hex_digest(hash)) continue;
    auto same_port = [&](const AccessEntry& e) { return e.port == *port; };
    if (std::any_of(entries.begin(), entries.end(), same_port)) continue;
    entries.push_back(AccessEntry{static_cast<std::uint16_t>(*port), std::move(hash)});
  }
  return entries;
}

std::string format_access_list(const std::vector<AccessEntry>& entries) {
  std::string out;
  for (const AccessEntry& e : entries) {
    if (e.port == 0 || !is_hex_digest(e.hash)) continue;
    if (!out.empty()) out.push_back('\n');
    out += std::to_string(e.port) + "=" + ascii_lower(e.hash);
  }
  return out;
}

std::optional<AccountStatus> parse_account_status(std::string_view text) {
  auto fields = split(trim(text), '|');
  if (fields.size() != 7 || fields[0] != "v1" || !is_plan(fields[1])) return std::nullopt;
  auto used = parse_decimal(fields[2], UINT64_MAX);
  auto limit = parse_decimal(fields[3], UINT64_MAX);
  auto reset_at = parse_decimal(fields[4], UINT64_MAX);
  auto max_mappings = parse_decimal(fields[5], UINT32_MAX);
  auto ends_at = parse_decimal(fields[6], UINT64_MAX);
  if (!used || !limit || !reset_at || !max_mappings || !ends_at) return std::nullopt;
  AccountStatus status;
  status.plan = std::string(fields[1]);
  status.usage_used = *used;
  status.usage_limit = *limit;
  status.usage_reset_at = *reset_at;
  status.max_mappings = static_cast<std::uint32_t>(*max_mappings);
  status.plan_ends_at = *ends_at;
  return status;
}

}  // namespace quillmar
