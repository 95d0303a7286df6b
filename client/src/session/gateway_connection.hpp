// Opening the control connection: TCP within a deadline, TLS by the chosen mode with
// its plain fallback, and the certificate pin (trust on first use).
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <string>
#include <string_view>

#include "proto/result.hpp"
#include "proto/stream_halves.hpp"
#include "session/session_timings.hpp"
#include "settings/shared_state.hpp"

namespace quillmar {

inline constexpr std::size_t PIN_PREFIX_LEN = 12;

// The gateway connection as the session receives it: already split into halves.
struct Transport {
  SplitStream halves;
  bool tls = false;
};

// "host:port" to a connected TCP stream; TimedOut "连接网关超时" after the deadline.
asio::awaitable<Result<asio::ip::tcp::socket>> connect_gateway(std::string_view address,
                                                               std::chrono::milliseconds deadline);

// Follows the state's TLS mode; every failure has been printed when it returns one.
asio::awaitable<Result<Transport>> open_transport(std::string address, SharedStatePtr shared,
                                                  SessionTimings timings);

// Compares with the pin in the key file (read anew), storing it on first use.
bool check_gateway_pin(const std::string& fingerprint, SharedState& shared);

// True once the running session has been dropped by the supervisor (cancelled): an
// operation that fails then failed because of that, not because of the gateway, and
// the session reports nothing about it.
asio::awaitable<bool> session_dropped();

}  // namespace quillmar
