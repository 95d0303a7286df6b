// The client's main task: starts the console, the GUI thread and the Ctrl-C watcher,
// then runs gateway sessions one after another with the reconnection delays, until
// Ctrl-C or an exit from the tray.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "session/handshake.hpp"
#include "session/session_timings.hpp"
#include "settings/key_file.hpp"
#include "settings/shared_state.hpp"

namespace quillmar {

// Everything start-up hands over, by value.
struct SupervisorContext {
  std::string domain;
  std::string gateway;
  std::string current_sub;
  Creds creds;
  PunchOptions punch;
  std::optional<asio::ip::tcp::acceptor> console_listener;
  SharedStatePtr shared;
  ReloadSender reload_tx;
  ControlSender control_tx;
  ExitSender exit_tx;
  ControlReceiver control_rx;
  ReloadReceiver reload_rx;
  ExitReceiver exit_rx;
  std::uint16_t console_port = 0;
  bool auto_rename = false;
};

using SessionRunner = std::function<asio::awaitable<SessionOutcome>(
    SessionInputs, SharedStatePtr, const PunchOptions&, ControlReceiver&)>;

// Where tasks run and what the supervisor starts; tests replace the delays, the
// session and the long-lived parts.
struct SupervisorEnvironment {
  asio::any_io_executor pool;  // the worker threads' executor, for spawned tasks
  SupervisorTimings timings;
  SessionTimings session_timings;
  SessionRunner session;  // empty: the real gateway session
  bool start_console = true;
  bool start_gui = true;
  // Set: receives the only sender of the Ctrl-C channel in place of the real watcher.
  std::function<void(Sender<Signal>)> ctrl_c_source;
  std::function<void(std::chrono::nanoseconds)> on_delay;  // observes each wait
};

asio::awaitable<void> supervise(SupervisorContext context, SupervisorEnvironment environment);

// Twice the value while the value is below the limit; otherwise the value.
std::chrono::nanoseconds doubled_below(std::chrono::nanoseconds value,
                                       std::chrono::nanoseconds limit);

}  // namespace quillmar
