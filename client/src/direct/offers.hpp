// The two registrations of a direct connection, KIND_PUNCH_OFFER frames with stream
// id 0: the owner's (who may connect, and where this device is) and the
// visitor's (whom to reach, and where this device is).
#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "direct/direct_setup.hpp"
#include "proto/result.hpp"
#include "proto/shared_writer.hpp"
#include "settings/shared_state.hpp"

namespace quillmar {

// "{role}|{names}|{candidates}"; the third field runs to the end and holds "|" and ","
// itself. "visitor||" is the clearing form.
std::string offer_payload(std::string_view role, std::string_view names,
                          std::string_view candidates);

// "owner|" + the allow list joined by "," + "|" + the candidates for the first mapped
// port (0 when none). Gives the candidate text that was sent, or the write error;
// prints nothing.
asio::awaitable<Result<std::string>> send_owner_offer(SharedWriter& writer, SharedState& shared,
                                                      const std::vector<std::uint16_t>& ports,
                                                      const ProbeTargets& targets = {});

// "visitor|" + the visit target + "|" + the candidates for port 0; the same result.
asio::awaitable<Result<std::string>> send_visitor_offer(SharedWriter& writer, SharedState& shared,
                                                        const ProbeTargets& targets = {});

// Sends one KIND_PUNCH_OFFER with the payload.
asio::awaitable<Status> send_offer_frame(SharedWriter& writer, std::string payload);

}  // namespace quillmar
