// The program main: start-up, the supervisor, and the exit code.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <string>
#include <vector>

#include "proto/result.hpp"
#include "session/session_timings.hpp"

namespace quillmar {

// The program entries pass only the arguments. The reconnection delays and the
// sessions' timings are the defaults for every user; a test program built from this
// library may pass scaled-down ones, which no option or environment variable of the
// real program reaches.
int run_client(const std::vector<std::string>& args, const SupervisorTimings& delays = {},
               const SessionTimings& session_timings = {});

// The console's listener on 127.0.0.1 at the port, listening, with room for a burst
// of connections that arrive before the console accepts them.
Result<asio::ip::tcp::acceptor> bind_console(asio::io_context& io, std::uint16_t port);

// The gateway's IP addresses as the system resolves "host:port" once, in the
// resolver's order; empty without a usable port or when resolving fails. A bracketed
// IPv6 literal is taken as it is; any other text is split at its last ':'.
std::vector<asio::ip::address> resolve_gateway(const std::string& gateway);

}  // namespace quillmar
