// The pairing watch of a direct relay on either side: a relay joined under one value
// of punch_generation ends when that value moves.
#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <string>

#include "proto/stream_halves.hpp"
#include "settings/shared_state.hpp"

namespace quillmar {

// Completes once punch_generation differs from the given value: it looks first, then
// after every interval.
asio::awaitable<void> watch_pairing(SharedStatePtr shared, std::uint64_t generation,
                                    std::chrono::milliseconds interval);

// Relays a and b both ways until both directions have ended, or until the pairing
// changes first: then the cut line is printed and the relay abandoned, which stops
// both directions and closes both streams. Run it on a strand.
asio::awaitable<void> relay_while_paired(SplitStream a, SplitStream b, SharedStatePtr shared,
                                         std::uint64_t generation,
                                         std::chrono::milliseconds interval, std::string cut_line);

}  // namespace quillmar
