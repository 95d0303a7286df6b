// Byte relays: joining two streams both ways, and the per-stream writer that delivers
// the gateway's frames for one visitor stream to the local service.
#pragma once

#include <asio/awaitable.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "proto/frame.hpp"
#include "proto/frame_queue.hpp"
#include "proto/stream_halves.hpp"

namespace quillmar {

inline constexpr std::size_t COPY_BUFFER_LEN = 65536;

// One direction of a relay: reads the source and writes everything to the destination
// until the source ends or either side fails, then shuts the destination's sending
// side down. Errors end the direction and are dropped. Owns both halves and releases
// them at its end. When cancelled it ends at once, without a further write or
// shutdown. Never throws.
asio::awaitable<void> copy_one_way(std::unique_ptr<ReadHalf> source,
                                   std::unique_ptr<WriteHalf> destination);

// Relays a to b and b to a as two tasks on the caller's executor and completes when
// both directions have ended; a failure ends only its own direction. Cancelling the
// call (for example as the losing side of `||`) stops both directions at once and
// releases every half, which closes both streams: nothing more is relayed. Never
// throws.
asio::awaitable<void> pipe_streams(SplitStream a, SplitStream b);

// The writer task of one visitor stream, owned by that stream's task: writes the first
// bytes, then the payload of every non-empty KIND_DATA frame from the queue. An empty
// KIND_DATA or a closed queue shuts the local sending side down and ends the task;
// KIND_HALF_CLOSE shuts it down and goes on waiting; KIND_CLOSE and KIND_ERROR end it;
// other kinds are ignored. A write error ends it. However it ends (cancellation
// included, at any wait), it releases the write half, so the local service sees the
// end of its input, and the queue's receiving end, so later puts fail. Never throws.
asio::awaitable<void> run_stream_writer(std::vector<std::uint8_t> first_bytes,
                                        std::unique_ptr<WriteHalf> half, FrameReceiver queue);

}  // namespace quillmar
