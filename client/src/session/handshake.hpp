// Registering with the gateway: the hello, invite and access frames, and the one reply
// that accepts the session or refuses it.
#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "direct/status_handling.hpp"
#include "proto/shared_writer.hpp"
#include "proto/stream_halves.hpp"
#include "settings/shared_state.hpp"

namespace quillmar {

enum class SessionOutcome {
  OUTCOME_RETRY = 0,       // every other end: ordinary reconnect delay
  OUTCOME_NAME_TAKEN = 1,  // the device name belongs to another device
  OUTCOME_QUOTA = 2,       // the daily traffic quota is used up
};

// What the supervisor lends each session.
struct SessionInputs {
  std::string gateway;
  std::string domain;
  std::string sub;
  std::string token;
  std::vector<std::uint16_t> ports;
  std::string invite;
};

// nullopt when all three frames were written; otherwise the session's outcome.
asio::awaitable<std::optional<SessionOutcome>> send_handshake(SharedWriter& writer,
                                                              const SessionInputs& inputs,
                                                              SharedState& shared);

// Reads the reply without a deadline. nullopt: welcomed (direct-connection offers
// registered, banner printed, state set).
asio::awaitable<std::optional<SessionOutcome>> handle_handshake_reply(ReadHalf& reader,
                                                                      const SessionInputs& inputs,
                                                                      SharedState& shared,
                                                                      PunchContext& punch);

std::uint64_t welcome_number(std::string_view text, std::string_view key);
std::optional<std::string> mapping_limit_notice(std::string_view text);
std::optional<std::vector<std::uint16_t>> parse_blocked_ports(std::string_view text);

void print_ready_banner(const SessionInputs& inputs, SharedState& shared);

// The host a port is relayed to: its configured target, else "127.0.0.1".
std::string target_host_for(SharedState& shared, std::uint16_t port);

}  // namespace quillmar
