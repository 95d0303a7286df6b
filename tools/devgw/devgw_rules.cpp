#include "devgw/devgw_rules.hpp"

#include <algorithm>

#include "proto/text.hpp"

namespace quillmar::devgw {
namespace {

IoError bad_hello(std::string_view what) {
  return IoError::make(ErrorKind::InvalidData, "bad hello: " + std::string(what));
}

bool is_port_text(std::string_view text, std::uint16_t& port, bool zero_allowed) {
  auto value = parse_u16(text);
  if (!value || (*value == 0 && !zero_allowed)) return false;
  port = *value;
  return true;
}

}  // namespace

bool is_device_name(std::string_view name) {
  if (name.empty() || name.size() > MAX_DEVICE_NAME_LEN) return false;
  if (name.front() == '-' || name.back() == '-') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
  });
}

bool is_plan_name(std::string_view plan) {
  if (plan.empty() || plan.size() > MAX_PLAN_LEN) return false;
  return std::all_of(plan.begin(), plan.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
  });
}

Result<Hello> parse_hello(std::span<const std::uint8_t> payload) {
  std::string_view text = as_text(payload);
  if (!is_valid_utf8(text)) return bad_hello("the text is not UTF-8");
  auto lines = split(text, '\n');
  if (lines.size() != 3)
    return bad_hello("expected three lines (name, ports, token), got " +
                     std::to_string(lines.size()));

  Hello hello;
  hello.name = std::string(lines[0]);
  if (!is_device_name(hello.name))
    return bad_hello("device name " + quoted_form(hello.name) + " is not valid");

  if (!lines[1].empty()) {
    for (auto item : split(lines[1], ',')) {
      std::uint16_t port = 0;
      if (!is_port_text(item, port, true))
        return bad_hello("port " + quoted_form(item) + " is not a number from 0 to 65535");
      hello.ports.push_back(port);
    }
  }

  hello.token = std::string(lines[2]);
  if (hello.token.empty()) return bad_hello("the token is empty");
  if (hello.token.size() > MAX_TOKEN_LEN) return bad_hello("the token is longer than 256 bytes");
  if (std::any_of(hello.token.begin(), hello.token.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
    return bad_hello("the token holds control characters");
  }
  return hello;
}

std::string slug_taken_text(std::string_view name) { return "slug-taken: " + std::string(name); }

std::string blocked_ports_text(const std::vector<std::uint16_t>& ports) {
  return "blocked ports: " + join_ports(ports, ", ");
}

std::string mapping_limit_text(std::size_t asked, std::uint32_t max_mappings) {
  return "quota: 映射数量超出套餐上限（本次 " + std::to_string(asked) + " 个，套餐最多 " +
         std::to_string(max_mappings) + " 个）";
}

std::string quota_text(std::uint64_t used, std::uint64_t limit) {
  return "quota: 今日流量已用完（" + std::to_string(used) + " / " + std::to_string(limit) +
         " 字节），UTC 0 点重置";
}

std::optional<std::string> registration_refusal(const Applicant& applicant, const Policy& policy) {
  const Hello& hello = applicant.hello;
  if (!policy.invite_code.empty()) {
    if (!applicant.invite) return std::string(INVITE_MISSING_TEXT);
    if (*applicant.invite != policy.invite_code) return std::string(INVITE_WRONG_TEXT);
  }
  if (applicant.name_owner && *applicant.name_owner != hello.token)
    return slug_taken_text(hello.name);

  std::vector<std::uint16_t> blocked;
  for (auto port : hello.ports) {
    bool is_blocked = std::find(policy.blocked_ports.begin(), policy.blocked_ports.end(), port) !=
                      policy.blocked_ports.end();
    if (is_blocked && std::find(blocked.begin(), blocked.end(), port) == blocked.end())
      blocked.push_back(port);
  }
  if (!blocked.empty()) return blocked_ports_text(blocked);

  if (policy.max_mappings != 0 && hello.ports.size() > policy.max_mappings) {
    return mapping_limit_text(hello.ports.size(), policy.max_mappings);
  }
  if (policy.daily_quota != 0 && applicant.used_today >= policy.daily_quota) {
    return quota_text(applicant.used_today, policy.daily_quota);
  }
  return std::nullopt;
}

std::string welcome_text(std::uint64_t pubport, std::uint64_t pubtls) {
  return "|pubport=" + std::to_string(pubport) + "|pubtls=" + std::to_string(pubtls);
}

std::string account_line(const AccountFigures& f) {
  return "v1|" + f.plan + "|" + std::to_string(f.used) + "|" + std::to_string(f.limit) + "|" +
         std::to_string(f.reset_at) + "|" + std::to_string(f.max_mappings) + "|" +
         std::to_string(f.plan_ends_at);
}

std::uint64_t next_utc_midnight(std::uint64_t now) {
  constexpr std::uint64_t DAY = 24 * 60 * 60;
  return (now / DAY + 1) * DAY;
}

std::string join_ports(const std::vector<std::uint16_t>& ports, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (i != 0) out += separator;
    out += std::to_string(ports[i]);
  }
  return out;
}

std::optional<std::vector<std::uint16_t>> parse_port_list(std::string_view text) {
  std::vector<std::uint16_t> ports;
  if (trim(text).empty()) return ports;
  for (auto item : split(text, ',')) {
    std::uint16_t port = 0;
    if (!is_port_text(trim(item), port, false)) return std::nullopt;
    ports.push_back(port);
  }
  return ports;
}

}  // namespace quillmar::devgw
