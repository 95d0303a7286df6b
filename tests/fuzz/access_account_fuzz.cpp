// The access list and the account status line: parsed entries are valid and distinct
// per port and read back the same from their own text; a status line that parses reads
// back the same from its own form; digests are always 64 lower-case hex digits.
#include <set>

#include "fuzz_target.hpp"
#include "proto/access.hpp"
#include "proto/text.hpp"

namespace quillmar::fuzz {
namespace {

constexpr std::size_t MAX_ACCESS_LINES = 128;

bool is_digest(std::string_view text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

void check_access_list(std::string_view text) {
  const auto entries = parse_access_list(text);
  require(entries.size() <= MAX_ACCESS_LINES, "more entries than lines read");
  std::set<std::uint16_t> ports;
  for (const auto& entry : entries) {
    require(entry.port != 0, "an access entry for port 0");
    require(ports.insert(entry.port).second, "two access entries for one port");
    require(is_digest(entry.hash), "an access digest that is not 64 lower-case hex digits");
  }
  const auto reread = parse_access_list(format_access_list(entries));
  require(reread.size() == entries.size(), "access entries lost in their own text");
  for (std::size_t i = 0; i < entries.size(); ++i) {
    require(reread[i].port == entries[i].port && reread[i].hash == entries[i].hash,
            "an access entry changed in its own text");
  }
}

std::string status_line(const AccountStatus& s) {
  return "v1|" + s.plan + "|" + std::to_string(s.usage_used) + "|" + std::to_string(s.usage_limit) +
         "|" + std::to_string(s.usage_reset_at) + "|" + std::to_string(s.max_mappings) + "|" +
         std::to_string(s.plan_ends_at);
}

void check_account_status(std::string_view text) {
  const auto status = parse_account_status(text);
  if (!status) return;
  require(!status->plan.empty() && status->plan.size() <= 24, "a plan name of the wrong length");
  const auto reread = parse_account_status(status_line(*status));
  require(reread && reread->plan == status->plan && reread->usage_used == status->usage_used &&
              reread->usage_limit == status->usage_limit &&
              reread->usage_reset_at == status->usage_reset_at &&
              reread->max_mappings == status->max_mappings &&
              reread->plan_ends_at == status->plan_ends_at,
          "an account status does not read back from its own line");
}

void access_account(Input input) {
  const std::string text = decode_utf8_lossy(as_text(input));
  check_access_list(text);
  check_account_status(text);
  require(is_digest(hash_access_password(text)), "a password digest of the wrong form");
}

}  // namespace
}  // namespace quillmar::fuzz

QUILLMAR_FUZZ_TARGET(access_account, quillmar::fuzz::access_account)
