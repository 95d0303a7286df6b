// The program main: start-up, the supervisor, and the exit code.
#pragma once

#include <asio/ip/address.hpp>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "session/supervisor.hpp"

namespace quillmar {

// What tests replace in start-up: how the runtime's worker threads are started, and
// the environment the supervisor runs in.
struct StartupSeams {
  std::function<std::thread(std::function<void()>)> start_worker;  // empty: std::thread
  std::function<void(SupervisorEnvironment&)> supervisor;          // adjusts the real one
};

int run_client(const std::vector<std::string>& args, const StartupSeams& seams = {});

// The gateway's IP addresses as the system resolves "host:port" once, in the
// resolver's order; empty without a usable port or when resolving fails. A bracketed
// IPv6 literal is taken as it is; any other text is split at its last ':'.
std::vector<asio::ip::address> resolve_gateway(const std::string& gateway);

}  // namespace quillmar
