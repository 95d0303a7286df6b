// Connecting to a host and port within a deadline, name lookup included, listening, and
// sleeping.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <optional>
#include <string>

#include "proto/result.hpp"

namespace quillmar {

asio::awaitable<void> sleep_for(std::chrono::nanoseconds duration);

// Resolves the host (an IP literal is used directly) and tries the addresses in order.
// Gives the connection, the last attempt's error, or nullopt when the deadline passed
// first. The attempt runs as a task of its own, so a slow name lookup never holds the
// caller past the deadline; a connection made too late is dropped.
asio::awaitable<std::optional<Result<asio::ip::tcp::socket>>> connect_host(
    std::string host, std::uint16_t port, std::chrono::nanoseconds deadline);

// A TCP listener bound at the endpoint, or the error of the step that failed (a port in
// use is AddrInUse, from the bind or the listen). Everywhere but on Windows it takes
// SO_REUSEADDR, so that a port left in TIME_WAIT can be bound again; on Windows the
// same option would let another program share the port.
Result<asio::ip::tcp::acceptor> listen_tcp(const asio::any_io_executor& executor,
                                           const asio::ip::tcp::endpoint& endpoint);

}  // namespace quillmar
