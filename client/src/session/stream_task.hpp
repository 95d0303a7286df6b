// The task of one visitor stream, spawned by the session for each accepted KIND_OPEN.
#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "proto/frame.hpp"
#include "proto/local_relay.hpp"
#include "proto/shared_writer.hpp"
#include "session/stream_table.hpp"

namespace quillmar {

struct StreamTaskInputs {
  std::uint32_t stream_id = 0;
  std::uint16_t port = 0;
  std::string host;
  std::vector<std::uint8_t> first_bytes;
  StreamTicket ticket = 0;  // the stream's own entry in the table
  LocalCutPtr cut;          // how the session ends the local connection when it is gone
};

// Owned by nobody (spawned detached, on the session's thread); ends when the local side
// ends, when its session is dropped (the cut), or at once when the local service cannot
// be reached. It relays (or answers "502"), then sends
// KIND_CLOSE and takes its own entry out of the table; an entry under the same id that
// belongs to a newer stream stays. Leaves behind only what the gateway was sent.
asio::awaitable<void> serve_stream(StreamTaskInputs inputs, StreamReceiver queue,
                                   SharedWriterPtr writer, StreamTablePtr table,
                                   std::chrono::nanoseconds connect_timeout);

}  // namespace quillmar
