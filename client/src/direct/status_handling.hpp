// The gateway session's part in direct connections: the offers at the
// welcome, the gateway's direct-connection status lines, and the session-control
// messages that change the settings in place. All of it runs inside the session,
// which reads no frame meanwhile; what it starts (the owner's listeners, the
// visitor's entry) runs on as tasks of its own and outlives the session. Nothing of
// the direct-connection state is reset when a session ends.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "direct/direct_setup.hpp"
#include "proto/frame.hpp"
#include "proto/result.hpp"
#include "proto/shared_writer.hpp"
#include "settings/shared_state.hpp"

namespace quillmar {

// What a gateway session lends its direct-connection handling, for the session's life.
struct PunchContext {
  SharedWriterPtr writer;
  SharedStatePtr shared;
  PunchOptions punch;                // the gateway's own addresses and the --on port
  std::vector<std::uint16_t> ports;  // the session's mapped ports, as in its hello
  std::string gateway;               // the gateway address text, "host:port"
  std::string domain;                // the service domain
  asio::any_io_executor pool;        // where the spawned tasks run, each on a strand
  DirectSetup setup;
};

// A step of the welcome: the visitor offer, then the owner offer, for the settings in
// force; with neither, the direct-connection state is cleared. A failed write is
// dropped: the session goes on and that offer's state stays as it was.
asio::awaitable<void> register_punch(PunchContext& context);

// A KIND_PUNCH_STATUS frame from the gateway; one with a stream id other than 0 is
// ignored. An unreadable line is the status "unknown" from the peer "?".
asio::awaitable<void> handle_punch_status(PunchContext& context, const Frame& frame);

// A SessionControl message, applied without reconnecting. An error is the offer that
// could not be written: the session must end as after a read error; the new setting
// is in SharedState and in the key file already.
asio::awaitable<Status> apply_punch_control(PunchContext& context, SessionControl message);

// Enters a request of the device now: newest first, one entry per device, at most
// MAX_PUNCH_REQUESTS; the list is locked for the whole update.
void record_punch_request(SharedState& shared, std::string_view name);

// The visitor's entry port: the --on port when given, else the larger of the status
// line's port and the first mapped port (0 when none).
std::uint16_t visitor_entry_port(std::uint16_t on_port, std::uint16_t status_port,
                                 const std::vector<std::uint16_t>& ports);

}  // namespace quillmar
