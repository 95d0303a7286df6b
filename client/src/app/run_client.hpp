// The program main: start-up, the supervisor, and the exit code.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "proto/result.hpp"
#include "session/supervisor.hpp"

namespace quillmar {

// What tests replace in start-up: how the runtime's worker threads are started, and
// the environment the supervisor runs in.
struct StartupSeams {
  std::function<std::thread(std::function<void()>)> start_worker;  // empty: std::thread
  std::function<void(SupervisorEnvironment&)> supervisor;          // adjusts the real one
};

int run_client(const std::vector<std::string>& args, const StartupSeams& seams = {});

// The console's listener on 127.0.0.1 at the port, listening, with room for a burst
// of connections that arrive before the console accepts them.
Result<asio::ip::tcp::acceptor> bind_console(asio::io_context& io, std::uint16_t port);

// The gateway's IP addresses as the system resolves "host:port" once, in the
// resolver's order; empty without a usable port or when resolving fails. A bracketed
// IPv6 literal is taken as it is; any other text is split at its last ':'.
std::vector<asio::ip::address> resolve_gateway(const std::string& gateway);

}  // namespace quillmar
