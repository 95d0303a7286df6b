// The task of one visitor stream, spawned by the session for each accepted KIND_OPEN.
#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "async_queue.hpp"
#include "frame.hpp"
#include "shared_writer.hpp"
#include "stream_table.hpp"

namespace quillmar {

struct StreamTaskInputs {
  std::uint32_t stream_id = 0;
  std::uint16_t port = 0;
  std::string host;
  std::vector<std::uint8_t> first_bytes;
};

// Relays (or answers "502"), then sends KIND_CLOSE and takes the id's entry out of
// the table, whichever stream holds the id by then. Ends when the local side ends.
asio::awaitable<void> serve_stream(StreamTaskInputs inputs, Receiver<Frame> queue,
                                   SharedWriterPtr writer, std::shared_ptr<StreamTable> table,
                                   std::chrono::nanoseconds connect_timeout);

}  // namespace quillmar
