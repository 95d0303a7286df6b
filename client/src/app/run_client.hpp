// The program main: start-up, the supervisor, and the exit code.
#pragma once

#include <asio/ip/address.hpp>
#include <string>
#include <vector>

namespace quillmar {

int run_client(const std::vector<std::string>& args);

// The gateway's IP addresses as the system resolves "host:port" once, in the
// resolver's order; empty without a usable port or when resolving fails. A bracketed
// IPv6 literal is taken as it is; any other text is split at its last ':'.
std::vector<asio::ip::address> resolve_gateway(const std::string& gateway);

}  // namespace quillmar
