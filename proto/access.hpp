// Access-password digests, the access-list text and the account status line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

inline constexpr std::string_view ACCESS_PASSWORD_LABEL = "Zidazevuze access passkey v12";

struct AccessEntry {
  std::uint16_t port = 0;
  std::string hash;  // 64 lower-case hex characters
};

// SHA-256 over the label, one zero byte and the password; 64 lower-case hex characters.
std::string hash_access_password(std::string_view password);
std::vector<AccessEntry> parse_access_list(std::string_view text);
std::string format_access_list(const std::vector<AccessEntry>& entries);

// SHA-256 of the bytes as 64 lower-case hex characters (also the certificate pin); the
// empty text only when the digest cannot be computed (memory exhausted).
std::string sha256_hex(std::string_view bytes);

struct AccountStatus {
  std::string plan;
  std::uint64_t usage_used = 0;
  std::uint64_t usage_limit = 0;
  std::uint64_t usage_reset_at = 0;
  std::uint32_t max_mappings = 0;
  std::uint64_t plan_ends_at = 0;
};

// "v1|plan|used|limit|reset_at|max_mappings|plan_ends_at"; nullopt when invalid.
std::optional<AccountStatus> parse_account_status(std::string_view text);

}  // namespace quillmar
