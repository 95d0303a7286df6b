// The console routes that change settings, and the direct-connection route.
//
// Each handler is a function from the request body and the route context to the reply
// bytes: it reads its fields with the body readers, updates SharedState (one lock at a
// time), saves the change into the key file at once and then sends one reload message.
// Every answer is a "200 OK" JSON reply; a refusal says "ok":false and changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "settings/shared_state.hpp"

namespace quillmar {

inline constexpr std::size_t MAX_ACCESS_PASSWORD_LEN = 128;  // UTF-8 bytes as received

// What a handler may touch. Built per connection; the senders are clones.
struct RouteContext {
  std::string domain;   // the public base domain (--domain)
  std::string gateway;  // the gateway address "host:port" (--gw)
  SharedStatePtr shared;
  ReloadSender reload_tx;
  ControlSender control_tx;
};

// Drops every entry whose port is not in the list.
void retain_ports(std::map<std::uint16_t, std::string>& map,
                  const std::vector<std::uint16_t>& ports);

std::string handle_state(RouteContext& ctx);
std::string handle_ports(std::string_view body, RouteContext& ctx);
std::string handle_access(std::string_view body, RouteContext& ctx);
std::string handle_invite(std::string_view body, RouteContext& ctx);
std::string handle_reconnect(RouteContext& ctx);
std::string handle_subdomain(std::string_view body, RouteContext& ctx);
std::string handle_trust_reset(RouteContext& ctx);
// GET and POST "/api/punch"; the 404 reply while punch_api_off is set.
std::string handle_punch(std::string_view method, std::string_view body, RouteContext& ctx);

}  // namespace quillmar
