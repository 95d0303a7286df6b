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
  // The workers' executor, for tasks that are not the session's own; the session's
  // reader, heartbeat and stream tasks run where the session runs.
  asio::any_io_executor pool;
  SessionTimings timings;
};

// Never fails; every end is an outcome. The supervisor may drop it at any wait (by
// cancellation): the heartbeat it started runs on by itself, and its stream tasks end,
// their local connections closed. Must run on an executor that runs one handler at a
// time (an io_context run by one thread): its tasks share it without locks.
asio::awaitable<SessionOutcome> run_session(SessionInputs inputs, SharedStatePtr shared,
                                            const PunchOptions& punch, ControlReceiver& control_rx,
                                            SessionEnvironment environment);

// The port of a KIND_OPEN payload's first line, DEFAULT_STREAM_PORT when it is no number.
std::uint16_t stream_port(std::string_view port_text);

}  // namespace quillmar
