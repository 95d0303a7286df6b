// The console's body readers over any body text: each gives a value that keeps its
// promise (ports from 1 to 65535 without repeats, one valid host per listed port, string
// fields without quotes or backslashes, trimmed codes within their length, valid device
// names) or a message, and never more than it may.
#include <set>

#include "console/body_readers.hpp"
#include "fuzz_target.hpp"
#include "proto/text.hpp"
#include "settings/validators.hpp"

namespace quillmar::fuzz {
namespace {

void check_ports_and_targets(std::string_view body) {
  auto ports = collect_ports(body);
  if (!ports.ok()) return;
  std::set<std::uint16_t> seen;
  for (auto port : ports.value()) {
    require(port != 0, "port 0 collected");
    require(seen.insert(port).second, "a port collected twice");
  }
  auto targets = parse_targets(body, ports.value());
  if (!targets.ok()) return;
  require(targets.value().size() == seen.size(), "not one target per port");
  for (const auto& [port, host] : targets.value()) {
    require(seen.count(port) == 1, "a target for a port that was not listed");
    require(is_valid_host(host), "an invalid target host: " + quoted_form(host));
    require(ascii_lower(host) == host, "a target host with upper case");
  }
}

void check_fields(std::string_view body) {
  for (const char* key : {"password", "host", "sub", "invite"}) {
    auto field = json_string_field(body, key);
    if (field.ok())
      require(field.value().find_first_of("\"\\") == std::string::npos,
              "a string field holding a quote or backslash");
  }
  if (auto invite = parse_invite_field(body); invite.ok()) {
    require(!invite.value().empty(), "an empty invite code");
    require(invite.value().size() <= MAX_INVITE_LEN, "an invite code above the limit");
    require(trim(invite.value()) == invite.value(), "an untrimmed invite code");
  }
  if (auto sub = parse_subdomain_field(body); sub.ok()) {
    require(check_device_name(sub.value()) == sub.value(), "an invalid wanted name");
    require(sub.value().size() >= MIN_WANTED_NAME_LEN, "a wanted name too short");
  }
}

void check_direct_fields(std::string_view body) {
  std::vector<std::string> invalid;
  if (auto visit = parse_visit_field(body, invalid); visit && !visit->empty())
    require(check_device_name(*visit) == *visit, "an invalid visit target");
  auto allow = parse_allow_body(body, invalid);
  require(allow.size() <= 32, "more than 32 allowed names");
  std::set<std::string> names;
  for (const auto& name : allow) {
    require(check_device_name(name) == name, "an invalid allowed name");
    require(names.insert(name).second, "an allowed name twice");
  }
  for (const auto& name : invalid) require(!name.empty(), "an empty refused name");
}

void console_body(Input input) {
  // Bodies reach the readers decoded, invalid sequences replaced.
  const std::string body = decode_utf8_lossy(as_text(input));
  check_ports_and_targets(body);
  check_fields(body);
  check_direct_fields(body);
}

}  // namespace
}  // namespace quillmar::fuzz

QUILLMAR_FUZZ_TARGET(console_body, quillmar::fuzz::console_body)
