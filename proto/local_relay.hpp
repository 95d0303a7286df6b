// One visitor stream's connection to its local service: connect within the limit,
// then relay; or answer the visitor with the "502" reply when the service is down.
#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <string_view>
#include <vector>

#include "proto/async_queue.hpp"
#include "proto/frame.hpp"
#include "proto/result.hpp"
#include "proto/shared_writer.hpp"

namespace quillmar {

inline constexpr std::chrono::seconds LOCAL_CONNECT_TIMEOUT{8};
inline constexpr std::size_t LOCAL_READ_BUFFER = 65536;

// Sends one KIND_DATA per local read (at most 65,536 bytes), then an empty KIND_DATA;
// the stream's writer task carries the queue's frames to the local service and is
// aborted when the local side ends. TimedOut "connect timeout" after the limit.
asio::awaitable<Status> relay_to_local(
    std::string_view host, std::uint16_t port, std::uint32_t stream_id,
    std::vector<std::uint8_t> first_bytes, Receiver<Frame> queue, SharedWriter& writer,
    std::chrono::nanoseconds connect_timeout = LOCAL_CONNECT_TIMEOUT);

}  // namespace quillmar
