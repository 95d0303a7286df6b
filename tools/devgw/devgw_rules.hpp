// The gateway stand-in's registration rules: reading a device's hello, deciding
// between welcome and refusal, and the texts of the welcome, the refusals and the
// account line. Pure functions; the sessions own the sockets and the registry.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "proto/result.hpp"

namespace quillmar::devgw {

inline constexpr std::size_t MAX_DEVICE_NAME_LEN = 40;
inline constexpr std::size_t MAX_TOKEN_LEN = 256;
inline constexpr std::size_t MAX_PLAN_LEN = 24;

// What a device's KIND_HELLO carries: "name\nports\ntoken".
struct Hello {
  std::string name;
  std::vector<std::uint16_t> ports;  // in the order sent; may be empty
  std::string token;
};

// A hello the gateway cannot register is InvalidData; its message starts "bad hello: "
// and is sent back as the refusal.
Result<Hello> parse_hello(std::span<const std::uint8_t> payload);

// 1 to 40 characters of a-z, 0-9, '_' and '-', neither first nor last a '-'.
bool is_device_name(std::string_view name);
// 1 to 24 characters of ASCII letters, digits, '_' and '-'.
bool is_plan_name(std::string_view plan);

// What the gateway enforces at registration; 0 or empty switches a rule off.
struct Policy {
  std::string invite_code;
  std::uint32_t max_mappings = 0;
  std::vector<std::uint16_t> blocked_ports;
  std::uint64_t daily_quota = 0;  // bytes per device and day
};

// Who asks and what the gateway already knows about the name and the token.
struct Applicant {
  const Hello& hello;
  const std::optional<std::string>& invite;    // the KIND_INVITE text, when one came
  std::optional<std::string_view> name_owner;  // token that owns the name, if any
  std::uint64_t used_today = 0;                // the token's traffic today
};

// The refusal text for this applicant, or nullopt to welcome it. The checks run in
// this order: invite code, name ownership, blocked ports, mapping limit, traffic quota.
std::optional<std::string> registration_refusal(const Applicant& applicant, const Policy& policy);

// Refusal and notice texts; the client recognises them by their prefixes.
inline constexpr std::string_view INVITE_MISSING_TEXT = "需要接入码（invite code required）";
inline constexpr std::string_view INVITE_WRONG_TEXT = "接入码不对（invalid invite code）";
std::string slug_taken_text(std::string_view name);
std::string blocked_ports_text(const std::vector<std::uint16_t>& ports);
std::string mapping_limit_text(std::size_t asked, std::uint32_t max_mappings);
// Begins "quota:" and never mentions mappings, so it reads as the daily quota.
std::string quota_text(std::uint64_t used, std::uint64_t limit);

std::string welcome_text(std::uint64_t pubport, std::uint64_t pubtls);

struct AccountFigures {
  std::string plan;
  std::uint64_t used = 0;
  std::uint64_t limit = 0;
  std::uint64_t reset_at = 0;
  std::uint32_t max_mappings = 0;
  std::uint64_t plan_ends_at = 0;
};
// "v1|plan|used|limit|reset_at|max_mappings|plan_ends_at"
std::string account_line(const AccountFigures& figures);

// The next midnight UTC after the given Unix time, in Unix seconds.
std::uint64_t next_utc_midnight(std::uint64_t now);

// "80, 22"
std::string join_ports(const std::vector<std::uint16_t>& ports, std::string_view separator);
// "22,445" or "22, 445" into ports; nullopt when any item is no port from 1 to 65535.
std::optional<std::vector<std::uint16_t>> parse_port_list(std::string_view text);

}  // namespace quillmar::devgw
