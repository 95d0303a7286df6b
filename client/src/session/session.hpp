// One gateway session: open the connection, register, then the frame loop that carries
// every visitor stream, until the connection ends or the gateway ends the session.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "session/handshake.hpp"
#include "session/session_timings.hpp"
#include "settings/shared_state.hpp"

namespace quillmar {

inline constexpr std::uint16_t DEFAULT_STREAM_PORT = 80;

struct SessionEnvironment {
  asio::any_io_executor pool;  // where stream tasks and the heartbeat run
  SessionTimings timings;
};

// Never fails; every end is an outcome. The supervisor may drop it at any wait (by
// cancellation): the stream tasks and the heartbeat it started run on by themselves.
asio::awaitable<SessionOutcome> run_session(SessionInputs inputs, SharedStatePtr shared,
                                            const PunchOptions& punch, ControlReceiver& control_rx,
                                            SessionEnvironment environment);

// The port of a KIND_OPEN payload's first line, DEFAULT_STREAM_PORT when it is no number.
std::uint16_t stream_port(std::string_view port_text);

}  // namespace quillmar
