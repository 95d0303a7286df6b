// The gateway's public front door as the visitor's fallback: a local
// connection that does not go straight to the owner goes to the owner's public site,
// over TLS when the welcome named a TLS port and the certificate verifies, else plain.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <string>
#include <string_view>

#include "settings/shared_state.hpp"

namespace quillmar {

struct FrontDoor {
  std::string host;  // the gateway address up to its last ':'
  std::string name;  // "{owner}.{domain}": the TLS server name of the owner's public site
};

// The gateway address text up to its last ':', or the whole text without one.
std::string front_door_host(std::string_view gateway);

// Task body, one per local connection that does not go direct; owns the connection.
// Tries the TLS front door, then the plain one, each connect within the limit; the
// TLS handshake has none. Relays until both directions end: a front-door relay is
// not cut by a pairing change. Without a usable plain port the local connection
// closes after a line.
asio::awaitable<void> serve_through_front_door(asio::ip::tcp::socket local, FrontDoor door,
                                               SharedStatePtr shared,
                                               std::chrono::milliseconds connect_timeout);

}  // namespace quillmar
